// The streamed record writer, read back by the walk every load uses: which records it writes for
// bytes added in pieces, and that any bytes it is given read back at their addresses.

#include "records/record_stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <memory>
#include <optional>
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

// Intel HEX: with `segments`, segment addresses and a CS:IP start address.
StreamLayout Layout(std::size_t perRecord, int addressBytes = 2, bool segments = false,
                    std::optional<std::uint64_t> start = {}) {
  StreamLayout layout;
  layout.BytesPerRecord = perRecord;
  layout.AddressBytes = addressBytes;
  layout.SegmentAddresses = layout.StartIsSegment = segments;
  layout.StartAddress = start;
  return layout;
}

struct Piece {
  std::uint64_t Address;
  std::size_t Count;  // 0: the record being filled is ended by hand
};

using Pieces = std::vector<Piece>;
using Shapes = std::vector<std::string>;

std::string Streamed(FileFormat format, const StreamLayout& layout, const Pieces& pieces) {
  std::string text;
  RecordStream stream(format, layout, [&](std::string_view piece) { text += piece; });
  for (const Piece& piece : pieces) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < piece.Count; ++i) {
      bytes.push_back(ByteAt(piece.Address + i));
    }
    piece.Count == 0 ? stream.EndRecord() : stream.Add(piece.Address, bytes);
  }
  stream.Finish();
  return text;
}

// Each record written as the walk reads it, "TYPE ADDRESS LENGTH" for data and "TYPE VALUE" for the
// others; or the error the stream throws. (The data bytes: AnyBytesReadBackAtTheirAddresses.)
Shapes ShapesWritten(FileFormat format, const StreamLayout& layout, const Pieces& pieces) {
  Shapes shapes;
  std::string text;
  try {
    text = Streamed(format, layout, pieces);
  } catch (const RecordError& error) {
    return {error.what()};
  }
  RecordWalk walk(format, [&](const WalkedLine& line) {
    const Record& record = *line.Parsed;
    std::string shape = (format == FileFormat::SRecord ? "S" : "0") + std::string(1, record.Type);
    if (record.Kind != RecordKind::Data) {
      std::uint64_t value = record.Address;  // Intel HEX start records: their 4 data bytes
      for (std::size_t i = 0; record.Length == 4 && i < 4; ++i) {
        value = (i == 0 ? 0 : value << 8) | record.Data[i];
      }
      shapes.push_back(shape + " " + text::HexDigits(value, 4));
      return;
    }
    shapes.push_back(shape + " " + text::HexDigits(line.Address, 4) + " " +
                     std::to_string(record.Length));
  });
  walk.Feed(text);
  walk.Finish();
  return shapes;
}

TEST(RecordStream, WritesTheRecordsTheBytesNeedOrRefusesThem) {
  const auto ihex = FileFormat::IntelHex;
  const auto srec = FileFormat::SRecord;
  const struct {
    FileFormat format;
    StreamLayout layout;
    Pieces pieces;
    Shapes shapes;
  } cases[] = {
      // Bytes that follow on join their record up to its length, unless it was ended by hand.
      {ihex, Layout(4), Pieces{{0x0FFE, 6}, {0x1004, 3}, {0, 0}, {0x1007, 2}, {0x2000, 1}},
       Shapes{"00 0FFE 4", "00 1002 4", "00 1006 1", "00 1007 2", "00 2000 1", "01 0000"}},
      // No record over a 64 KiB boundary; an extended address only where the offset needs one;
      // a linear start address.
      {ihex, Layout(16, 2, false, 0x08000123),
       Pieces{{0xFFF8, 16}, {0x1FFFF, 1}, {0, 2}, {0xFFFFFFFF, 1}},
       Shapes{"00 FFF8 8", "04 0001", "00 10000 8", "00 1FFFF 1", "04 0000", "00 0000 2", "04 FFFF",
              "00 FFFFFFFF 1", "05 8000123", "01 0000"}},
      {ihex, Layout(16, 2, true, 0x12340010), Pieces{{0x12340, 2}, {0xFFFFF, 1}, {0x100000, 1}},
       Shapes{"02 1000", "00 12340 2", "02 F000", "00 FFFFF 1", "04 0010", "00 100000 1",
              "03 12340010", "01 0000"}},
      {srec, Layout(3), Pieces{{0x10, 7}, {0xFFFF, 1}},
       Shapes{"S0 0000", "S1 0010 3", "S1 0013 3", "S1 0016 1", "S1 FFFF 1", "S9 0000"}},
      {srec, Layout(16, 3, false, 0x12345), Pieces{{0xFFFFF0, 16}},
       Shapes{"S0 0000", "S2 FFFFF0 16", "S8 12345"}},
      // A record longer than its type holds is cut to what it holds.
      {srec, Layout(255, 4), Pieces{{0x100, 300}},
       Shapes{"S0 0000", "S3 0100 250", "S3 01FA 50", "S7 0000"}},
      {srec, {}, Pieces{{0xFFFF, 2}}, Shapes{"address 10000 does not fit in S1 records"}},
      {srec, {}, Pieces{{0x12345, 1}}, Shapes{"address 12345 does not fit in S1 records"}},
      {srec, Layout(16, 4), Pieces{{0xFFFFFFFF, 2}},
       Shapes{"address 100000000 does not fit in a record file"}},
      {srec, Layout(16, 2, false, 0x10000), Pieces{},
       Shapes{"start address 10000 does not fit in an S9 record"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ShapesWritten(c.format, c.layout, c.pieces), c.shapes);
  }
}

// Runs of bytes in any order and pieces, in every record length, read back by the editor's
// reader at their addresses, and nothing else marked.
TEST(RecordStream, AnyBytesReadBackAtTheirAddresses) {
  std::mt19937 random(5);
  for (int round = 0; round < 60; ++round) {
    const FileFormat format = round % 2 == 0 ? FileFormat::IntelHex : FileFormat::SRecord;
    const std::uint64_t base = std::array<std::uint64_t, 3>{0, 0x1FFF0, 0xFFFF0000}[round % 3];
    StreamLayout layout = Layout(0, SWidthFor(base + kWindowSize - 1), round % 4 == 0);
    layout.BytesPerRecord = 1 + random() % MostDataBytes(format, layout.AddressBytes);
    layout.LowerCase = round % 5 == 0;
    Pieces runs;  // window offsets, cut into pieces below
    for (std::size_t at = random() % 7000; at < kWindowSize; at += random() % 7000) {
      runs.push_back({at, std::min<std::size_t>(1 + random() % 700, kWindowSize - at)});
      at += runs.back().Count;
    }
    std::shuffle(runs.begin(), runs.end(), random);
    Pieces pieces;
    for (const auto& [from, count] : runs) {
      for (std::size_t at = from; at < from + count; at += pieces.back().Count) {
        pieces.push_back({base + at, std::min<std::size_t>(1 + random() % 90, from + count - at)});
      }
    }
    auto bytes = std::make_unique<std::array<std::uint8_t, kWindowSize>>();
    auto marks = std::make_unique<MarkedBytes>();
    RecordReader reader(format, base, *bytes, *marks);
    reader.Feed(Streamed(format, layout, pieces));
    reader.Finish();
    for (std::size_t at = 0; at < kWindowSize; ++at) {
      const bool given = std::any_of(
          runs.begin(), runs.end(), [&](const Piece& run) { return at - run.Address < run.Count; });
      ASSERT_EQ(marks->test(at), given) << round << " " << at;
      ASSERT_TRUE(!given || (*bytes)[at] == ByteAt(base + at)) << round << " " << at;
    }
  }
}

}  // namespace
}  // namespace lbe::records
