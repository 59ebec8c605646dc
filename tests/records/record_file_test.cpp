#include "records/record_file.h"

#include <gtest/gtest.h>

#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "temp_folder.h"

namespace lbe::records {
namespace {

using testing::GetFile;
using testing::PutFile;

struct Window {
  std::array<std::uint8_t, kWindowSize> Bytes{};
  HeldBytes Held;
  RecordStyle Style;
};

// Feeds the text in pieces of `piece` characters, so that lines arrive split anywhere.
Window Read(FileFormat format, std::string_view text, std::uint64_t base = 0,
            std::size_t piece = 7) {
  Window window;
  RecordReader reader(format, base, window.Bytes, window.Held);
  for (std::size_t at = 0; at < text.size(); at += piece) {
    reader.Feed(text.substr(at, piece));
  }
  reader.Finish();
  window.Style = reader.Style();
  return window;
}

// The file after a save of window addresses from..to into `text`; with `readBacks`, the rewrite
// reads the text back where it needs what it did not keep, and counts the reads there.
std::string Rewrite(FileFormat format, const std::string& text, const Window& window,
                    std::int32_t from, std::int32_t to, std::uint64_t base = 0,
                    int* readBacks = nullptr) {
  RecordRewrite rewrite(format, base, window.Bytes, window.Held, from, to);
  if (readBacks != nullptr) {
    rewrite.ReadBackWith([&](std::uint64_t offset, std::size_t length) {
      ++*readBacks;
      return text.substr(offset, length);
    });
  }
  for (std::size_t at = 0; at < text.size(); at += 5) {
    rewrite.Survey(std::string_view(text).substr(at, 5));
  }
  rewrite.FinishSurvey();
  for (std::size_t at = 0; at < text.size(); at += 5) {
    rewrite.Feed(std::string_view(text).substr(at, 5));
  }
  rewrite.Finish();
  std::string result = text;
  result.replace(rewrite.ReplaceOffset(), rewrite.ReplaceLength(), rewrite.NewText());
  return result;
}

TEST(RecordFormat, ByNameAndByWord) {
  const auto ihex = FileFormat::IntelHex;
  const auto srec = FileFormat::SRecord;
  const auto raw = FileFormat::Raw;
  const std::pair<std::string_view, FileFormat> names[] = {
      {"rom.hex", ihex},  {"ROM.IHX", ihex},   {"a/b.IHex", ihex}, {"boot.S19", srec},
      {"boot.s28", srec}, {"boot.s37", srec},  {"b.srec", srec},   {"boot.MOT", srec},
      {"hex", raw},       {"rom.hex.bin", raw}};
  for (const auto& [name, format] : names) {
    EXPECT_EQ(FormatOfName(name), format) << name;
  }
  EXPECT_EQ(FormatNamed("ihex"), ihex);
  EXPECT_EQ(FormatNamed("srec"), srec);
  EXPECT_EQ(FormatNamed("raw"), raw);
  EXPECT_EQ(FormatNamed("IHEX"), std::nullopt);
}

TEST(RecordReader, MalformedRecordsNameTheirLineAndFault) {
  const auto ihex = FileFormat::IntelHex;
  const auto srec = FileFormat::SRecord;
  const struct {
    FileFormat format;
    std::string text;
    std::uint64_t line;
    std::string message;
  } cases[] = {
      {ihex, ":0100000041BF\n:00000001FF\n", 1, "checksum BF typed, BE computed"},
      {ihex, ":0100000041BE\n:0200000041BD\n", 2,
       "the line is too short: its length field says 2 bytes, it holds 1"},
      {ihex, ":0100000041BE00\n", 1,
       "the line is too long: its length field says 1 bytes, it holds 2"},
      {ihex, ":0100000041B\n", 1, "an odd number of hexadecimal digits (11)"},
      {ihex, ":00000001\n", 1, "the line is too short for a record"},
      {ihex, ":01000000G1BE\n", 1, "'G' in column 10 is not a hexadecimal digit"},
      {ihex, "\n0100000041BE\n", 2, "the line does not start with ':'"},
      {ihex, ":00000006FA\n", 1, "unknown record type 06"},
      {ihex, ":02FFFF00AABB9B\n:00000001FF\n", 1, "the data runs past address FFFF"},
      {ihex, ":020000040001F8\n", 1, "checksum F8 typed, F9 computed"},
      {ihex, ":00000001FF\n:0100000041BE\n", 2, "text after the end record"},
      {ihex, ":0100000401FA\n", 1, "a record of type 4 holds 2 data bytes, this one 1"},
      {ihex, std::string(600, '0'), 1, "the line is longer than any record"},
      {srec, "S0030000FC\nS104000041BA\nS5030002FA\nS9030000FC\n", 3,
       "the count record says 2 data records, the file has 1 before it"},
      {srec, "S105FFFF0102F9\nS9030000FC\n", 1, "the data runs past address FFFF"},
      {srec, "S104000041BA\nS4030000FC\n", 2, "unknown record type S4"},
      {srec, "S104000041BB\nS9030000FC\n", 1, "checksum BB typed, BA computed"},
      {srec, "S1040000BA\nS9030000FC\n", 1,
       "the line is too short: its length field says 4 bytes, it holds 3"},
      {srec, ":104000041BA\n", 1, "the line does not start with 'S'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 40));
    try {
      Read(c.format, c.text);
      ADD_FAILURE() << "loaded";
    } catch (const RecordError& error) {
      EXPECT_EQ(error.Line(), c.line);
      EXPECT_EQ(error.what(), c.message);
    }
  }
}

TEST(RecordReader, ExtendedAddressesAndTheWindowBase) {
  // 0x10010 by a linear base, 0x10020 by a segment base, 0x00010 outside a window at 0x10000.
  const std::string text =
      ":020010000102EB\n:020000040001F9\n:020010000304E7\n:020000021000EC\n"
      ":01002000AA35\n:0400000500000100F6\n:00000001FF\n";
  const Window window = Read(FileFormat::IntelHex, text, 0x10000, 3);
  HeldBytes expected;
  expected.set(0x10).set(0x11).set(0x20);
  EXPECT_EQ(window.Held, expected);
  EXPECT_EQ(window.Bytes[0x10], 0x03);
  EXPECT_EQ(window.Bytes[0x11], 0x04);
  EXPECT_EQ(window.Bytes[0x20], 0xAA);
  EXPECT_EQ(window.Style.AddressBytes, 4);
  EXPECT_EQ(window.Style.BytesPerRecord, 2u);
}

TEST(RecordRewrite, KeepsOtherRecordsToTheByte) {
  const std::string text =
      ":020010000102EB\n:020000040001F9\n:020010000102EB\n:0400000500000100F6\n:00000001FF\n";
  Window window = Read(FileFormat::IntelHex, text);
  window.Bytes[0x11] = 0xAA;
  window.Bytes[0x20] = 0x55;
  window.Held.set(0x20);
  EXPECT_EQ(Rewrite(FileFormat::IntelHex, text, window, 0, 0xFFFF),
            ":0200100001AA43\n:01002000558A\n:020000040001F9\n:020010000102EB\n"
            ":0400000500000100F6\n:00000001FF\n");
  // Outside the saved span nothing changes, and a save of what the file says changes nothing.
  EXPECT_EQ(Rewrite(FileFormat::IntelHex, text, window, 0x12, 0x1F), text);
  const Window loaded = Read(FileFormat::IntelHex, text);
  RecordRewrite unchanged(FileFormat::IntelHex, 0, loaded.Bytes, loaded.Held, 0, 0xFFFF);
  unchanged.Survey(text);
  unchanged.FinishSurvey();
  unchanged.Feed(text);
  unchanged.Finish();
  EXPECT_EQ(unchanged.ReplaceLength(), 0u);
  EXPECT_EQ(unchanged.NewText(), "");
}

TEST(RecordRewrite, NewRecordsGoBeforeTheCountAndTheCountAgrees) {
  const std::string text = "S0030000FC\nS107001001020304DE\nS5030001FB\nS9030000FC\n";
  Window window = Read(FileFormat::SRecord, text);
  window.Bytes[0x40] = 0x77;
  window.Held.set(0x40);
  EXPECT_EQ(Rewrite(FileFormat::SRecord, text, window, 0x40, 0x40),
            "S0030000FC\nS107001001020304DE\nS10400407744\nS5030002FA\nS9030000FC\n");
}

// A record split early and the count record at the end of a long file: the text between them
// is read back rather than kept, and the file comes out the same.
TEST(RecordRewrite, ReadsBackWhatItDidNotKeep) {
  Window window;
  for (std::size_t at = 0x100; at < kWindowSize; ++at) {
    window.Bytes[at] = static_cast<std::uint8_t>(at);
    window.Held.set(at);
  }
  std::string text = WriteRecordFile(FileFormat::SRecord, {}, 0, window.Bytes, window.Held);
  text.replace(text.size() - 11, 11, "S5030FF0FD\nS9030000FC\n");  // 0xFF0 data records
  window.Bytes[0x100] = 0xAB;
  window.Held.reset(0x101);
  int readBacks = 0;
  const std::string kept = Rewrite(FileFormat::SRecord, text, window, 0x100, 0x101);
  EXPECT_EQ(Rewrite(FileFormat::SRecord, text, window, 0x100, 0x101, 0, &readBacks), kept);
  EXPECT_EQ(readBacks, 1);
  EXPECT_TRUE(kept.starts_with("S0030000FC\nS1040100AB4F\nS1110102"));
  EXPECT_TRUE(kept.ends_with("\nS5030FF1FC\nS9030000FC\n"));
}

TEST(RecordRewrite, LowerCaseAndCrLfAreKept) {
  const std::string text = ":020010000102eb\r\n:00000001ff\r\n\x1A";
  Window window = Read(FileFormat::IntelHex, text);
  EXPECT_TRUE(window.Style.LowerCase);
  EXPECT_EQ(window.Style.Ending, LineEnd::CrLf);
  window.Bytes[0x11] = 0xAB;
  EXPECT_EQ(Rewrite(FileFormat::IntelHex, text, window, 0, 0xFFFF),
            ":0200100001ab42\r\n:00000001ff\r\n\x1A");
  EXPECT_EQ(WriteRecordFile(FileFormat::IntelHex, window.Style, 0, window.Bytes, window.Held),
            ":0200100001ab42\r\n:00000001ff\r\n");
}

// A random image whose held bytes come in runs with gaps between them.
Window RandomWindow(std::mt19937& random) {
  Window window;
  for (auto& byte : window.Bytes) {
    byte = static_cast<std::uint8_t>(random());
  }
  bool held = false;
  for (std::size_t at = 0; at < kWindowSize; ++at) {
    if (random() % 300 == 0) {
      held = !held;
    }
    window.Held[at] = held;
  }
  return window;
}

// Whatever was saved over whatever was there, the file reads back to the bytes the save meant:
// the new held bytes inside the span, the old ones outside it.
TEST(RecordRewrite, ReadsBackToTheSavedWindow) {
  std::mt19937 random(7);
  for (int round = 0; round < 40; ++round) {
    const auto format = round % 2 == 0 ? FileFormat::IntelHex : FileFormat::SRecord;
    const std::uint64_t base = round % 4 < 2 ? 0 : 0x12345;
    const Window before = RandomWindow(random);
    const Window after = RandomWindow(random);
    RecordStyle style;
    style.BytesPerRecord = 1 + random() % 40;
    style.AddressBytes = 2 + static_cast<int>(random() % 3);
    const std::string text = WriteRecordFile(format, style, base, before.Bytes, before.Held);
    const auto from = static_cast<std::int32_t>(random() % kWindowSize);
    const auto to = static_cast<std::int32_t>(from + random() % (kWindowSize - from));
    SCOPED_TRACE(::testing::Message() << "round " << round << " span " << from << ".." << to);
    const Window saved = Read(format, Rewrite(format, text, after, from, to, base), base, 4096);
    for (std::int32_t at = 0; at < static_cast<std::int32_t>(kWindowSize); ++at) {
      const Window& meant = at >= from && at <= to ? after : before;
      ASSERT_EQ(saved.Held[at], meant.Held[at]) << at;
      if (meant.Held[at]) {
        ASSERT_EQ(saved.Bytes[at], meant.Bytes[at]) << at;
      }
    }
  }
}

// One record's line, its checksum worked out here: Intel HEX of `type` at a 16-bit offset.
std::string I(std::uint32_t address, int type, const std::vector<std::uint8_t>& data) {
  std::vector<std::uint8_t> bytes = {
      static_cast<std::uint8_t>(data.size()), static_cast<std::uint8_t>(address >> 8),
      static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(type)};
  bytes.insert(bytes.end(), data.begin(), data.end());
  unsigned sum = 0;
  std::string line = ":";
  char digits[3];
  for (const std::uint8_t byte : bytes) {
    sum += byte;
    std::snprintf(digits, sizeof digits, "%02X", byte);
    line += digits;
  }
  std::snprintf(digits, sizeof digits, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
  return line + digits;
}

// An S-record line of `type` (1, 2, 3: 2, 3, 4 address bytes; 5: a count, 9: an end).
std::string S(int type, std::uint32_t address, const std::vector<std::uint8_t>& data) {
  const int width = type == 2 || type == 8 ? 3 : type == 3 || type == 7 ? 4 : 2;
  std::vector<std::uint8_t> bytes = {static_cast<std::uint8_t>(data.size() + width + 1)};
  for (int i = width - 1; i >= 0; --i) {
    bytes.push_back(static_cast<std::uint8_t>(address >> (8 * i)));
  }
  bytes.insert(bytes.end(), data.begin(), data.end());
  unsigned sum = 0;
  std::string line = "S" + std::to_string(type);
  char digits[3];
  for (const std::uint8_t byte : bytes) {
    sum += byte;
    std::snprintf(digits, sizeof digits, "%02X", byte);
    line += digits;
  }
  std::snprintf(digits, sizeof digits, "%02X", ~sum & 0xFF);
  return line + digits;
}

std::string Lines(const std::vector<std::string>& lines, std::string_view ending = "\n") {
  std::string text;
  for (const std::string& line : lines) {
    text += line;
    text += ending;
  }
  return text;
}

// Saves into record files: each the file, the bytes typed (a value, or -1 for a byte no longer
// held), the span saved and the exact file it leaves. A save of the same again leaves the file
// as it is, and the file reads back to the bytes the save meant.
TEST(RecordRewrite, ChangesOnlyTheRecordsWhoseBytesChanged) {
  const auto ihex = FileFormat::IntelHex;
  const auto srec = FileFormat::SRecord;
  const std::string end = ":00000001FF";
  const struct {
    const char* name;
    FileFormat format;
    std::uint64_t base;
    std::vector<std::string> lines;
    std::vector<std::pair<std::int32_t, int>> typed;
    std::int32_t from;
    std::int32_t to;
    std::vector<std::string> expected;
  } cases[] = {
      {"a byte in a record",
       ihex,
       0,
       {I(0x10, 0, {1, 2, 3, 4}), I(0x14, 0, {5, 6, 7, 8}), end},
       {{0x15, 0xAA}},
       0,
       0xFFFF,
       {I(0x10, 0, {1, 2, 3, 4}), I(0x14, 0, {5, 0xAA, 7, 8}), end}},
      {"bytes across two records",
       ihex,
       0,
       {I(0x10, 0, {1, 2, 3, 4}), I(0x14, 0, {5, 6, 7, 8}), end},
       {{0x13, 0xEE}, {0x14, 0xFF}},
       0,
       0xFFFF,
       {I(0x10, 0, {1, 2, 3, 0xEE}), I(0x14, 0, {0xFF, 6, 7, 8}), end}},
      {"a byte in a gap goes after the record below it, unsorted file",
       ihex,
       0,
       {I(0x30, 0, {3}), I(0x10, 0, {1, 2}), end},
       {{0x20, 0x99}, {0x21, 0x98}},
       0,
       0xFFFF,
       {I(0x30, 0, {3}), I(0x10, 0, {1, 2}), I(0x20, 0, {0x99, 0x98}), end}},
      {"a byte below every record goes before the lowest",
       ihex,
       0,
       {I(0x30, 0, {3}), I(0x10, 0, {1, 2}), end},
       {{0x08, 0x77}},
       0,
       0xFFFF,
       {I(0x30, 0, {3}), I(0x08, 0, {0x77}), I(0x10, 0, {1, 2}), end}},
      {"a window across 64 KiB with linear address records",
       ihex,
       0xFFF0,
       {I(0, 4, {0, 0}), I(0xFFF8, 0, {1, 2, 3, 4, 5, 6, 7, 8}), I(0, 4, {0, 1}),
        I(0x0000, 0, {9, 10, 11, 12}), end},
       {{0x12, 0x55}, {0x0A, 0x66}, {0x14, 0x44}},
       0,
       0xFFFF,
       {I(0, 4, {0, 0}), I(0xFFF8, 0, {1, 2, 0x66, 4, 5, 6, 7, 8}), I(0, 4, {0, 1}),
        I(0x0000, 0, {9, 10, 0x55, 12}), I(0x0004, 0, {0x44}), end}},
      {"a window across 64 KiB with segment address records",
       ihex,
       0xFFF0,
       {I(0, 2, {0, 0}), I(0xFFF8, 0, {1, 2, 3, 4, 5, 6, 7, 8}), I(0, 2, {0x10, 0}),
        I(0x0000, 0, {9, 10, 11, 12}), end},
       {{0x12, 0x55}},
       0x10,
       0x20,
       {I(0, 2, {0, 0}), I(0xFFF8, 0, {1, 2, 3, 4, 5, 6, 7, 8}), I(0, 2, {0x10, 0}),
        I(0x0000, 0, {9, 10, 0x55, 12}), end}},
      {"a gap past 64 KiB: the address state is set back for the record after it",
       ihex,
       0x8000,
       {I(0x8000, 0, {1, 2}), I(0x0100, 0, {3}), end},
       {{0xFFF8, 0x42}},
       0,
       0xFFFF,
       {I(0x8000, 0, {1, 2}), I(0, 4, {0, 1}), I(0x7FF8, 0, {0x42}), I(0, 4, {0, 0}),
        I(0x0100, 0, {3}), end}},
      {"an address record after the gap's records sets the state itself",
       ihex,
       0x8000,
       {I(0x8000, 0, {1, 2}), I(0, 4, {0, 2}), I(0x0000, 0, {3}), end},
       {{0xFFF8, 0x42}},
       0,
       0xFFFF,
       {I(0x8000, 0, {1, 2}), I(0, 4, {0, 1}), I(0x7FF8, 0, {0x42}), I(0, 4, {0, 2}),
        I(0x0000, 0, {3}), end}},
      {"a gap goes after the highest record below the window, wherever it stands",
       ihex,
       0x8000,
       {I(0x0100, 0, {1}), I(0x0200, 0, {2}), I(0x0000, 0, {3}), end},
       {{0x10, 0x42}},
       0,
       0xFFFF,
       {I(0x0100, 0, {1}), I(0x0200, 0, {2}), I(0x8010, 0, {0x42}), I(0x0000, 0, {3}), end}},
      {"a record that lost a byte is cut, the rest of it kept",
       ihex,
       0,
       {I(0x10, 0, {1, 2, 3, 4}), end},
       {{0x11, -1}},
       0x11,
       0x11,
       {I(0x10, 0, {1}), I(0x12, 0, {3, 4}), end}},
      {"a span starting inside a record writes the record whole at its address",
       ihex,
       0,
       {I(0x10, 0, {1, 2, 3, 4}), end},
       {{0x12, 0x33}, {0x11, 0x22}},
       0x12,
       0x20,
       {I(0x10, 0, {1, 2, 0x33, 4}), end}},
      {"S1 data keeps S1 and S9 though S3 records are elsewhere",
       srec,
       0,
       {S(0, 0, {}), S(1, 0x100, {1, 2}), S(3, 0x20000, {3}), S(9, 0, {})},
       {{0x101, 0xBB}, {0x200, 0xCC}},
       0,
       0xFFFF,
       {S(0, 0, {}), S(1, 0x100, {1, 0xBB}), S(1, 0x200, {0xCC}), S(3, 0x20000, {3}), S(9, 0, {})}},
      {"a cut record: the count record counts the kept head",
       srec,
       0,
       {S(0, 0, {}), S(1, 0x10, {1, 2, 3, 4}), S(5, 1, {}), S(9, 0, {})},
       {{0x11, -1}},
       0,
       0xFFFF,
       {S(0, 0, {}), S(1, 0x10, {1}), S(1, 0x12, {3, 4}), S(5, 2, {}), S(9, 0, {})}},
      {"a file of no data: the new record goes after the header, before the end",
       srec,
       0,
       {S(0, 0, {0x41}), S(9, 0, {})},
       {{0x10, 0x42}},
       0,
       0xFFFF,
       {S(0, 0, {0x41}), S(1, 0x10, {0x42}), S(9, 0, {})}},
      {"no end record: a gap at the end goes at the end",
       srec,
       0,
       {S(1, 0x10, {1})},
       {{0x11, 2}},
       0,
       0xFFFF,
       {S(1, 0x10, {1}), S(1, 0x11, {2})}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string text = Lines(c.lines);
    const Window before = Read(c.format, text, c.base);
    Window after = before;
    for (const auto& [at, value] : c.typed) {
      after.Held[static_cast<std::size_t>(at)] = value >= 0;
      after.Bytes[static_cast<std::size_t>(at)] = static_cast<std::uint8_t>(value);
    }
    const std::string saved = Rewrite(c.format, text, after, c.from, c.to, c.base);
    EXPECT_EQ(saved, Lines(c.expected));
    EXPECT_EQ(Rewrite(c.format, saved, after, c.from, c.to, c.base), saved);
    const Window back = Read(c.format, saved, c.base);
    for (std::int32_t at = 0; at < static_cast<std::int32_t>(kWindowSize); ++at) {
      const Window& meant = at >= c.from && at <= c.to ? after : before;
      ASSERT_EQ(back.Held[at], meant.Held[at]) << at;
      ASSERT_TRUE(!meant.Held[at] || back.Bytes[at] == meant.Bytes[at]) << at;
    }
  }
}

// A changed record keeps its line's look: lower-case digits and record letter, and CR-only ends.
TEST(RecordRewrite, KeepsTheLookOfTheLine) {
  std::string line = S(1, 0x10, {0xAB, 2});
  for (char& c : line) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  const std::string text = "S0030000FC\r" + line + "\r" + "S9030000FC\r";
  Window window = Read(FileFormat::SRecord, text);
  EXPECT_EQ(window.Style.Ending, LineEnd::Cr);
  EXPECT_FALSE(window.Style.LowerLetter);  // the first record's
  window.Bytes[0x11] = 0xCD;
  std::string expected = S(1, 0x10, {0xAB, 0xCD});
  for (char& c : expected) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  EXPECT_EQ(Rewrite(FileFormat::SRecord, text, window, 0, 0xFFFF),
            "S0030000FC\r" + expected + "\rS9030000FC\r");
  // A CR LF cut between two pieces is one line end; records added after a last line without a
  // line end leave the file without one.
  const std::string crLf = ":0100100041AE\r\n:0100110042AC";
  window = Read(FileFormat::IntelHex, crLf, 0, 14);
  EXPECT_EQ(window.Style.Ending, LineEnd::CrLf);
  window.Bytes[0x12] = 0x43;
  window.Held.set(0x12);
  EXPECT_EQ(Rewrite(FileFormat::IntelHex, crLf, window, 0, 0xFFFF), crLf + "\r\n:0100120043AA");
}

// A file that ends in a run of Ctrl-Z straight after its last record, with no line end between
// them, as DOS and CP/M tools leave it: a save that adds records or changes the last one leaves
// a file that loads again, holds the bytes meant, and still ends in the same run.
TEST(RecordRewrite, CtrlZPaddingGluedToTheLastRecordStaysAtTheEnd) {
  const auto ihex = FileFormat::IntelHex;
  const auto srec = FileFormat::SRecord;
  const struct {
    const char* name;
    FileFormat format;
    std::string text;
    std::string padding;
    std::int32_t at;
    std::uint8_t value;
  } cases[] = {
      {"Intel HEX, no end record, a byte typed above the last record", ihex, I(0x10, 0, {0x41}),
       "\x1a", 0x11, 0x42},
      {"Intel HEX, a run of three, a byte in a gap above", ihex, I(0x10, 0, {0x41}), "\x1a\x1a\x1a",
       0x20, 0x42},
      {"Intel HEX, CR LF file, a byte typed above", ihex,
       I(0x08, 0, {0x40}) + "\r\n" + I(0x10, 0, {0x41}), "\x1a", 0x11, 0x42},
      {"S-record, no end record, a byte typed above", srec, S(1, 0x10, {0x41}), "\x1a", 0x11, 0x42},
      {"S-record, a header and no data, the run glued to it", srec, S(0, 0, {0x41}), "\x1a", 0x10,
       0x42},
      {"S-record, a header and no data, no line end, no run", srec, S(0, 0, {0x41}), "", 0x10,
       0x42},
      {"Intel HEX, the run ends its line, a blank line after it", ihex, I(0x10, 0, {0x41}),
       "\x1a\r\n\r\n", 0x20, 0x42},
      {"Intel HEX, the last record itself changes", ihex, I(0x10, 0, {0x41}), "\x1a\x1a", 0x10,
       0x42},
      {"S-record, the count record after the data changes", srec,
       Lines({S(1, 0x10, {0x41})}) + S(5, 1, {}), "\x1a", 0x11, 0x42},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string text = c.text + c.padding;
    Window window = Read(c.format, text);
    window.Bytes[static_cast<std::size_t>(c.at)] = c.value;
    window.Held.set(static_cast<std::size_t>(c.at));
    const std::string saved = Rewrite(c.format, text, window, 0, 0xFFFF);
    EXPECT_TRUE(saved.ends_with(c.padding)) << saved;
    Window back;
    try {
      back = Read(c.format, saved);
    } catch (const RecordError& error) {
      ADD_FAILURE() << "the saved file does not load: line " << error.Line() << ": "
                    << error.what();
      continue;
    }
    EXPECT_EQ(back.Held, window.Held);
    EXPECT_EQ(back.Bytes[static_cast<std::size_t>(c.at)], c.value);
    EXPECT_EQ(back.Bytes[0x10], c.at == 0x10 ? c.value : 0x41);
  }
}

// The second reading must be of the text the survey read.
TEST(RecordRewrite, RefusesATextThatChangedBetweenItsTwoReadings) {
  const Window window = Read(FileFormat::IntelHex, ":0100100041AE\n:00000001FF\n");
  RecordRewrite rewrite(FileFormat::IntelHex, 0, window.Bytes, window.Held, 0, 0xFFFF);
  rewrite.Survey(":0100100041AE\n:00000001FF\n");
  rewrite.FinishSurvey();
  rewrite.Feed(":0100100041AE\n:0100110042AC\n:00000001FF\n");
  EXPECT_THROW(rewrite.Finish(), RecordError);
}

// What the world writes loads, with a note where something is missing; what contradicts itself
// is refused, naming the line.
TEST(RecordReader, OpensEverydayFilesAndRefusesContradictions) {
  const auto ihex = FileFormat::IntelHex;
  const auto srec = FileFormat::SRecord;
  const std::string data = I(0x10, 0, {0x41}) + "\n";
  const struct {
    FileFormat format;
    std::string text;
    bool noted;
  } opening[] = {
      {ihex, data, true},
      {srec, S(1, 0x10, {0x41}) + "\n", true},
      {ihex, data + ":00000001FF\r\n" + std::string(100, '\x1A'), false},
      {ihex, data + ":00000001FF" + std::string(3, '\x1A'), false},
      {ihex, data + ":00000001FF\n\x1A\n\x1A\x1A", false},
      {ihex, data + ":00000001FF\x1A\r\n", false},
      {ihex, I(0x10, 0, {0x41}) + "\r:00000001FF\r", false},
      {srec,
       "s1040010"
       "41aa\ns9030000fc\n",
       false},
      {ihex, data + data + ":00000001FF\n", false},  // equal duplicates
  };
  for (const auto& c : opening) {
    SCOPED_TRACE(c.text.substr(0, 30));
    for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, c.text.size()}) {
      Window window;
      RecordReader reader(c.format, 0, window.Bytes, window.Held);
      for (std::size_t at = 0; at < c.text.size(); at += piece) {
        reader.Feed(std::string_view(c.text).substr(at, piece));
      }
      reader.Finish();
      EXPECT_EQ(window.Bytes[0x10], 0x41);
      EXPECT_EQ(window.Held.count(), 1u);
      EXPECT_EQ(reader.Notes(), c.noted ? std::vector<std::string>{std::string(
                                              "no end record: the file may have been cut short")}
                                        : std::vector<std::string>{});
    }
  }
  const struct {
    FileFormat format;
    std::string text;
    std::uint64_t line;
    std::string message;
  } refused[] = {
      {ihex, data + "\n" + I(0x0E, 0, {1, 2, 0x42}) + "\n", 3,
       "address 0010 is given 42 here and 41 on line 1"},
      {ihex, I(0x1234, 4, {0, 1}) + "\n", 1,
       "the address field of a type 04 record is 1234; it must be 0000"},
      {ihex, I(0x0001, 2, {0, 1}) + "\n", 1,
       "the address field of a type 02 record is 0001; it must be 0000"},
      {ihex, I(0x0100, 5, {0, 0, 1, 0}) + "\n", 1,
       "the address field of a type 05 record is 0100; it must be 0000"},
      {ihex, I(0, 5, {0, 0, 1, 0}) + "\n" + I(0, 3, {0, 0, 1, 0}) + "\n", 2,
       "a second start address record; the first is on line 1"},
      {ihex, data + ":00000001FF\n\x1A\n" + data, 4, "text after the end-of-file mark (Ctrl-Z)"},
      {ihex, data + ":00000001FF\x1A\n\n" + data, 4, "text after the end-of-file mark (Ctrl-Z)"},
      {srec, S(1, 0x10, {0x41}) + "\n" + S(1, 0x10, {0x43}) + "\n", 2,
       "address 0010 is given 43 here and 41 on line 1"},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.text.substr(0, 40));
    try {
      Read(c.format, c.text);
      ADD_FAILURE() << "loaded";
    } catch (const RecordError& error) {
      EXPECT_EQ(error.Line(), c.line);
      EXPECT_EQ(error.what(), c.message);
    }
  }
}

int Shell(const std::string& command) {
  return std::system((command + " 2>&1").c_str());
}

// GNU objcopy is the oracle: what it writes reads here to the same bytes, and what is written
// here it converts back to the same bytes.
TEST(RecordFileObjcopy, RoundTripsBothWays) {
  if (Shell("objcopy --version >/dev/null") != 0) {
    GTEST_SKIP() << "no objcopy";
  }
  testing::TemporaryWorkingFolder folder;
  std::mt19937 random(11);
  const struct {
    FileFormat format;
    const char* name;
  } formats[] = {{FileFormat::IntelHex, "ihex"}, {FileFormat::SRecord, "srec"}};
  for (const auto& f : formats) {
    SCOPED_TRACE(f.name);
    const Window window = RandomWindow(random);
    const std::string ours = WriteRecordFile(f.format, {}, 0x20000, window.Bytes, window.Held);
    PutFile("ours.txt", {ours.begin(), ours.end()});
    ASSERT_EQ(Shell(std::string("objcopy -I ") + f.name + " -O binary ours.txt ours.bin"), 0);
    std::size_t lowest = 0;
    while (!window.Held[lowest]) {
      ++lowest;
    }
    const std::vector<std::uint8_t> flat = GetFile("ours.bin");
    for (std::size_t at = lowest; at < kWindowSize; ++at) {
      if (window.Held[at]) {
        ASSERT_LT(at - lowest, flat.size());
        ASSERT_EQ(flat[at - lowest], window.Bytes[at]) << at;
      }
    }
    // objcopy's own records, gaps and all, loaded here.
    ASSERT_EQ(Shell(std::string("objcopy -I ") + f.name + " -O " + f.name + " ours.txt theirs.txt"),
              0);
    const std::vector<std::uint8_t> theirs = GetFile("theirs.txt");
    const Window loaded = Read(f.format, std::string(theirs.begin(), theirs.end()), 0x20000, 1000);
    EXPECT_EQ(loaded.Held, window.Held);
    for (std::size_t at = 0; at < kWindowSize; ++at) {
      if (window.Held[at]) {
        ASSERT_EQ(loaded.Bytes[at], window.Bytes[at]) << at;
      }
    }
  }
}

}  // namespace
}  // namespace lbe::records
