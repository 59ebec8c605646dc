// The streamed record writer, read back by the walk every load uses: which records it writes for
// bytes added in pieces, and that any bytes it is given read back at their addresses.

#include "records/record_stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "records/record_walk.h"
#include "text/hex_text.h"

namespace lbe::records {
namespace {

// The byte the tests put at `address`, so that a byte that lands elsewhere shows.
std::uint8_t ByteAt(std::uint64_t address) {
  return static_cast<std::uint8_t>(address * 7 + (address >> 8));
}

std::vector<std::uint8_t> BytesFrom(std::uint64_t address, std::size_t count) {
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i < count; ++i) {
    bytes.push_back(ByteAt(address + i));
  }
  return bytes;
}

struct Piece {
  std::uint64_t Address;
  std::size_t Count;
};

std::string Streamed(FileFormat format, const StreamLayout& layout,
                     const std::vector<Piece>& pieces) {
  std::string text;
  RecordStream stream(format, layout, [&](std::string_view piece) { text += piece; });
  for (const Piece& piece : pieces) {
    stream.Add(piece.Address, BytesFrom(piece.Address, piece.Count));
  }
  stream.Finish();
  return text;
}

// Each record of `text` as "TYPE ADDRESS LENGTH" (data: its absolute address, checked to hold
// ByteAt's bytes), "TYPE VALUE" (address and start records) or "TYPE" (header, end).
std::vector<std::string> Shapes(FileFormat format, const std::string& text) {
  std::vector<std::string> shapes;
  RecordWalk walk(format, [&](const WalkedLine& line) {
    if (line.Parsed == nullptr) {
      return;
    }
    const Record& record = *line.Parsed;
    const std::string type =
        (format == FileFormat::SRecord ? "S" : "0") + std::string(1, record.Type);
    if (record.Kind == RecordKind::Data) {
      for (std::size_t i = 0; i < record.Length; ++i) {
        EXPECT_EQ(record.Data[i], ByteAt(line.Address + i)) << text::HexDigits(line.Address + i, 4);
      }
      shapes.push_back(type + " " + text::HexDigits(line.Address, 4) + " " +
                       std::to_string(record.Length));
    } else if (record.Kind == RecordKind::StartAddress) {
      shapes.push_back(type + " " +
                       text::HexDigits(static_cast<std::uint64_t>(record.Data[0]) << 24 |
                                           record.Data[1] << 16 | record.Data[2] << 8 |
                                           record.Data[3],
                                       8));
    } else if (record.Kind == RecordKind::ExtendedLinear ||
               record.Kind == RecordKind::ExtendedSegment ||
               (record.Kind == RecordKind::End && format == FileFormat::SRecord)) {
      shapes.push_back(type + " " + text::HexDigits(record.Address, 4));
    } else {
      shapes.push_back(type);
    }
  });
  walk.Feed(text);
  walk.Finish();
  EXPECT_TRUE(walk.EndSeen());
  return shapes;
}

TEST(RecordStream, WritesTheRecordsTheBytesNeed) {
  const auto ihex = FileFormat::IntelHex;
  const auto srec = FileFormat::SRecord;
  StreamLayout four;
  four.BytesPerRecord = 4;
  StreamLayout segments;
  segments.SegmentAddresses = true;
  StreamLayout s1;
  s1.BytesPerRecord = 3;
  StreamLayout s2;
  s2.AddressBytes = 3;
  s2.StartAddress = 0x12345;
  StreamLayout linearStart;
  linearStart.StartAddress = 0x08000123;
  StreamLayout segmentStart;
  segmentStart.SegmentAddresses = true;
  segmentStart.StartAddress = 0x12340010;
  segmentStart.StartIsSegment = true;
  const struct {
    const char* what;
    FileFormat format;
    StreamLayout layout;
    std::vector<Piece> pieces;
    std::vector<std::string> shapes;
  } cases[] = {
      {"bytes that run on join their record, cut at its length",
       ihex,
       four,
       {{0x0FFE, 6}, {0x1004, 3}, {0x2000, 1}},
       {"00 0FFE 4", "00 1002 4", "00 1006 1", "00 2000 1", "01"}},
      {"a record ends at a 64 KiB boundary, and the next needs an extended address",
       ihex,
       {},
       {{0xFFF8, 16}},
       {"00 FFF8 8", "04 0001", "00 10000 8", "01"}},
      {"the last offset of a 64 KiB page needs no other extended address",
       ihex,
       {},
       {{0xFFFF, 1}, {0x1FFFF, 1}},
       {"00 FFFF 1", "04 0001", "00 1FFFF 1", "01"}},
      {"a lower address after a higher one needs its extended address again",
       ihex,
       {},
       {{0x10000, 2}, {0x0, 2}, {0x1FFFE, 1}},
       {"04 0001", "00 10000 2", "04 0000", "00 0000 2", "04 0001", "00 1FFFE 1", "01"}},
      {"extended segment addresses up to FFFFF, linear ones above",
       ihex,
       segments,
       {{0x12340, 2}, {0xFFFFF, 1}, {0x100000, 1}},
       {"02 1000", "00 12340 2", "02 F000", "00 FFFFF 1", "04 0010", "00 100000 1", "01"}},
      {"the highest address a record file holds",
       ihex,
       {},
       {{0xFFFFFFFF, 1}},
       {"04 FFFF", "00 FFFFFFFF 1", "01"}},
      {"a linear start address before the end record",
       ihex,
       linearStart,
       {{0x10, 1}},
       {"00 0010 1", "05 08000123", "01"}},
      {"a CS:IP start address as it was given", ihex, segmentStart, {}, {"03 12340010", "01"}},
      {"S1 records after an empty header, cut at their length",
       srec,
       s1,
       {{0x10, 7}, {0xFFFF, 1}},
       {"S0", "S1 0010 3", "S1 0013 3", "S1 0016 1", "S1 FFFF 1", "S9 0000"}},
      {"S2 records with the start address in their end record",
       srec,
       s2,
       {{0xFFFFF0, 16}},
       {"S0", "S2 FFFFF0 16", "S8 12345"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Shapes(c.format, Streamed(c.format, c.layout, c.pieces)), c.shapes);
  }
  // A record ended by hand: the bytes that follow on start one of their own.
  std::string text;
  RecordStream stream(ihex, {}, [&](std::string_view piece) { text += piece; });
  stream.Add(0x10, BytesFrom(0x10, 2));
  stream.EndRecord();
  stream.Add(0x12, BytesFrom(0x12, 20));
  stream.Finish();
  EXPECT_EQ(Shapes(ihex, text),
            (std::vector<std::string>{"00 0010 2", "00 0012 16", "00 0022 4", "01"}));
}

TEST(RecordStream, RefusesAddressesItsRecordsCannotHold) {
  StreamLayout s1;
  StreamLayout s3;
  s3.AddressBytes = 4;
  StreamLayout s1Start;
  s1Start.StartAddress = 0x10000;
  const struct {
    FileFormat format;
    StreamLayout layout;
    std::vector<Piece> pieces;
    std::string error;
  } cases[] = {
      {FileFormat::SRecord, s1, {{0xFFFF, 2}}, "address 10000 does not fit in S1 records"},
      {FileFormat::SRecord, s1, {{0x12345, 1}}, "address 12345 does not fit in S1 records"},
      {FileFormat::SRecord,
       s3,
       {{0xFFFFFFFF, 2}},
       "address 100000000 does not fit in a record file"},
      {FileFormat::IntelHex,
       {},
       {{0xFFFFFFF0, 17}},
       "address 100000000 does not fit in a record file"},
      {FileFormat::SRecord, s1Start, {}, "start address 10000 does not fit in an S9 record"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    try {
      Streamed(c.format, c.layout, c.pieces);
      ADD_FAILURE() << "no error";
    } catch (const RecordError& error) {
      EXPECT_EQ(error.what(), c.error);
      EXPECT_EQ(error.Line(), 0u);
    }
  }
}

TEST(RecordStream, MostDataBytesOfARecord) {
  EXPECT_EQ(MostDataBytes(FileFormat::IntelHex, 2), 255u);
  EXPECT_EQ(MostDataBytes(FileFormat::IntelHex, 4), 255u);
  EXPECT_EQ(MostDataBytes(FileFormat::SRecord, 2), 252u);
  EXPECT_EQ(MostDataBytes(FileFormat::SRecord, 3), 251u);
  EXPECT_EQ(MostDataBytes(FileFormat::SRecord, 4), 250u);
  // A record longer than that is cut to it, and each one written parses.
  for (const int width : {2, 3, 4}) {
    StreamLayout layout;
    layout.AddressBytes = width;
    layout.BytesPerRecord = 255;
    const std::vector<std::string> shapes =
        Shapes(FileFormat::SRecord, Streamed(FileFormat::SRecord, layout, {{0x100, 300}}));
    ASSERT_EQ(shapes.size(), 4u);
    EXPECT_EQ(shapes[1], "S" + std::to_string(width - 1) + " 0100 " +
                             std::to_string(MostDataBytes(FileFormat::SRecord, width)));
  }
}

// Runs of bytes in any order and pieces, in every record length, read back by the editor's
// reader at their addresses, and nothing else held.
TEST(RecordStream, AnyBytesReadBackAtTheirAddresses) {
  std::mt19937 random(5);
  for (int round = 0; round < 60; ++round) {
    const FileFormat format = round % 2 == 0 ? FileFormat::IntelHex : FileFormat::SRecord;
    const std::uint64_t base = std::array<std::uint64_t, 3>{0, 0x1FFF0, 0xFFFF0000}[round % 3];
    StreamLayout layout;
    layout.AddressBytes = SWidthFor(base + kWindowSize - 1);
    layout.BytesPerRecord = 1 + random() % MostDataBytes(format, layout.AddressBytes);
    layout.SegmentAddresses = round % 4 == 0;
    layout.LowerCase = round % 5 == 0;
    auto expected = std::make_unique<std::array<std::uint8_t, kWindowSize>>();
    auto expectedHeld = std::make_unique<HeldBytes>();
    std::vector<Piece> pieces;
    for (int run = 0; run < 20; ++run) {
      const std::size_t from = random() % kWindowSize;
      const std::size_t count = std::min<std::size_t>(1 + random() % 700, kWindowSize - from);
      bool clear = true;
      for (std::size_t at = from; at < from + count; ++at) {
        clear = clear && !expectedHeld->test(at);
      }
      if (!clear) {
        continue;
      }
      for (std::size_t at = from; at < from + count;) {
        const std::size_t piece = std::min<std::size_t>(1 + random() % 90, from + count - at);
        pieces.push_back({base + at, piece});
        at += piece;
      }
      for (std::size_t at = from; at < from + count; ++at) {
        expectedHeld->set(at);
        (*expected)[at] = ByteAt(base + at);
      }
    }
    const std::string text = Streamed(format, layout, pieces);
    auto bytes = std::make_unique<std::array<std::uint8_t, kWindowSize>>();
    auto held = std::make_unique<HeldBytes>();
    RecordReader reader(format, base, *bytes, *held);
    reader.Feed(text);
    reader.Finish();
    ASSERT_EQ(*held, *expectedHeld) << round;
    for (std::size_t at = 0; at < kWindowSize; ++at) {
      if (held->test(at)) {
        ASSERT_EQ((*bytes)[at], (*expected)[at]) << round << " " << at;
      }
    }
  }
}

}  // namespace
}  // namespace lbe::records
