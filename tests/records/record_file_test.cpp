#include "records/record_file.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "temp_folder.h"
#include "text/hex_text.h"

namespace lbe::records {
namespace {

using testing::GetFile;
using testing::PutFile;

constexpr FileFormat kHex = FileFormat::IntelHex;
constexpr FileFormat kSrec = FileFormat::SRecord;

struct Window {
  std::array<std::uint8_t, kWindowSize> Bytes{};
  MarkedBytes Marks;
  RecordStyle Style;
  std::vector<std::string> Notes;
};

// Feeds the text in pieces of `piece` characters, so that lines arrive split anywhere.
Window Read(FileFormat format, std::string_view text, std::uint64_t base = 0,
            std::size_t piece = 7) {
  Window window;
  RecordReader reader(format, base, window.Bytes, window.Marks);
  for (std::size_t at = 0; at < text.size(); at += piece) {
    reader.Feed(text.substr(at, piece));
  }
  reader.Finish();
  window.Style = reader.Style();
  window.Notes = reader.Notes();
  return window;
}

struct Saved {
  std::string Text;        // the whole file after the save
  std::uint64_t Replaced;  // the length of the stretch the save replaced
};

// A save of window addresses from..to into `text`; with `readBacks`, the rewrite reads the text
// back where it needs what it did not keep, and counts the reads there.
Saved Rewrite(FileFormat format, const std::string& text, const Window& window, std::int32_t from,
              std::int32_t to, std::uint64_t base = 0, int* readBacks = nullptr) {
  RecordRewrite rewrite(format, base, window.Bytes, window.Marks, from, to);
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
  return {result, rewrite.ReplaceLength()};
}

// Fails unless `saved` reads back to the bytes a save of from..to meant: those of `after` inside
// the span, those of `before` outside it.
void ExpectSavedAsMeant(FileFormat format, const std::string& saved, std::uint64_t base,
                        const Window& before, const Window& after, std::int32_t from,
                        std::int32_t to) {
  const Window back = Read(format, saved, base, 4096);
  for (std::int32_t at = 0; at < static_cast<std::int32_t>(kWindowSize); ++at) {
    const Window& meant = at >= from && at <= to ? after : before;
    ASSERT_EQ(back.Marks[at], meant.Marks[at]) << at;
    ASSERT_TRUE(!meant.Marks[at] || back.Bytes[at] == meant.Bytes[at]) << at;
  }
}

// The line of a record of `bytes` after its start, its checksum worked out here.
std::string Checksummed(std::string line, const std::vector<std::uint8_t>& bytes, bool intel) {
  unsigned sum = 0;
  for (const std::uint8_t byte : bytes) {
    sum += byte;
    text::AppendHexDigits(line, byte, 2);
  }
  text::AppendHexDigits(line, (intel ? 0x100 - sum : ~sum) & 0xFF, 2);
  return line;
}

// An Intel HEX record of `type` at a 16-bit offset.
std::string I(std::uint32_t address, int type, std::vector<std::uint8_t> data) {
  data.insert(data.begin(),
              {static_cast<std::uint8_t>(data.size()), static_cast<std::uint8_t>(address >> 8),
               static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(type)});
  return Checksummed(":", data, true);
}

// An S-record of `type`: S2 and S3 have 3 and 4 address bytes, the others 2.
std::string S(int type, std::uint32_t address, std::vector<std::uint8_t> data) {
  for (int i = 0; i < (type == 3 ? 4 : type == 2 ? 3 : 2); ++i) {
    data.insert(data.begin(), static_cast<std::uint8_t>(address >> (8 * i)));
  }
  data.insert(data.begin(), static_cast<std::uint8_t>(data.size() + 1));
  return Checksummed("S" + std::to_string(type), data, false);
}

std::string Lines(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) {
    text += line + "\n";
  }
  return text;
}

const std::string kEnd = ":00000001FF";
using Typed = std::vector<std::pair<std::int32_t, int>>;  // a value, or -1: no longer marked

TEST(RecordFormat, ByNameAndByWord) {
  const auto raw = FileFormat::Raw;
  const std::pair<std::string_view, FileFormat> names[] = {{"rom.hex", kHex},
                                                           {"ROM.IHX", kHex},
                                                           {"a/b.IHex", kHex},
                                                           {"boot.S19", kSrec},
                                                           {"boot.s28", kSrec},
                                                           {"boot.s37", kSrec},
                                                           {"b.srec", kSrec},
                                                           {"boot.MOT", kSrec},
                                                           {"hex", raw},
                                                           {"rom.hex.bin", raw},
                                                           {"game.PRG", FileFormat::Prg},
                                                           {"prg", raw}};
  for (const auto& [name, format] : names) {
    EXPECT_EQ(FormatOfName(name), format) << name;
  }
  EXPECT_EQ(FormatNamed("ihex"), kHex);
  EXPECT_EQ(FormatNamed("srec"), kSrec);
  EXPECT_EQ(FormatNamed("raw"), raw);
  EXPECT_EQ(FormatNamed("prg"), FileFormat::Prg);
  EXPECT_EQ(FormatNamed("IHEX"), std::nullopt);
}

// What the world writes loads, in pieces of any size, with a note where something is missing.
TEST(RecordReader, OpensEverydayFiles) {
  const std::string data = I(0x10, 0, {0x41}) + "\n";
  const struct {
    FileFormat format;
    std::string text;
    bool noted;
  } cases[] = {
      {kHex, data, true},
      {kSrec, S(1, 0x10, {0x41}) + "\n", true},
      {kHex, data + ":00000001FF\r\n" + std::string(100, '\x1A'), false},
      {kHex, data + ":00000001FF" + std::string(3, '\x1A'), false},
      {kHex, data + ":00000001FF\n\x1A\n\x1A\x1A", false},
      {kHex, data + ":00000001FF\x1A\r\n", false},
      {kHex, I(0x10, 0, {0x41}) + "\r:00000001FF\r", false},
      {kSrec, "s104001041aa\ns9030000fc\n", false},
      {kHex, data + data + ":00000001FF\n", false},  // equal duplicates
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 30));
    for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, c.text.size()}) {
      const Window window = Read(c.format, c.text, 0, piece);
      EXPECT_EQ(window.Bytes[0x10], 0x41);
      EXPECT_EQ(window.Marks.count(), 1u);
      EXPECT_EQ(window.Notes,
                c.noted
                    ? std::vector<std::string>{"no end record: the file may have been cut short"}
                    : std::vector<std::string>{});
    }
  }
}

// A file that does not parse or contradicts itself is refused, naming the line and the fault.
TEST(RecordReader, RefusesAFaultNamingItsLine) {
  const std::string data = I(0x10, 0, {0x41}) + "\n";
  const struct {
    FileFormat format;
    std::string text;
    std::uint64_t line;
    std::string message;
  } cases[] = {
      {kHex, ":0100000041BF\n:00000001FF\n", 1, "checksum BF typed, BE computed"},
      {kHex, ":0100000041BE\n:0200000041BD\n", 2,
       "the line is too short: its length field says 2 bytes, it holds 1"},
      {kHex, ":0100000041BE00\n", 1,
       "the line is too long: its length field says 1 bytes, it holds 2"},
      {kHex, ":0100000041B\n", 1, "an odd number of hexadecimal digits (11)"},
      {kHex, ":00000001\n", 1, "the line is too short for a record"},
      {kHex, ":01000000G1BE\n", 1, "'G' in column 10 is not a hexadecimal digit"},
      {kHex, ":01000000g1BE\n", 1, "'g' in column 10 is not a hexadecimal digit"},
      {kHex, ":01000000@1BE\n", 1, "'@' in column 10 is not a hexadecimal digit"},
      {kHex, ":01000000`1BE\n", 1, "'`' in column 10 is not a hexadecimal digit"},
      {kHex, ":01000000/1BE\n", 1, "'/' in column 10 is not a hexadecimal digit"},
      {kHex, ":01000000:1BE\n", 1, "':' in column 10 is not a hexadecimal digit"},
      {kHex,
       ":01000000\xC1"
       "1BE\n",
       1, "byte C1 in column 10 is not a hexadecimal digit"},
      {kSrec, "S10400004GBA\n", 1, "'G' in column 10 is not a hexadecimal digit"},
      {kHex, "\n0100000041BE\n", 2, "the line does not start with ':'"},
      {kHex, ":00000006FA\n", 1, "unknown record type 06"},
      {kHex, ":02FFFF00AABB9B\n:00000001FF\n", 1, "the data runs past address FFFF"},
      {kHex, ":020000040001F8\n", 1, "checksum F8 typed, F9 computed"},
      {kHex, ":00000001FF\n:0100000041BE\n", 2, "text after the end record"},
      {kHex, ":0100000401FA\n", 1, "a record of type 4 holds 2 data bytes, this one 1"},
      {kHex, std::string(600, '0'), 1, "the line is longer than any record"},
      {kHex, data + "\n" + I(0x0E, 0, {1, 2, 0x42}) + "\n", 3,
       "address 0010 is given 42 here and 41 on line 1"},
      {kHex, I(0x1234, 4, {0, 1}) + "\n", 1,
       "the address field of a type 04 record is 1234; it must be 0000"},
      {kHex, I(0x0001, 2, {0, 1}) + "\n", 1,
       "the address field of a type 02 record is 0001; it must be 0000"},
      {kHex, I(0x0100, 5, {0, 0, 1, 0}) + "\n", 1,
       "the address field of a type 05 record is 0100; it must be 0000"},
      {kHex, I(0, 5, {0, 0, 1, 0}) + "\n" + I(0, 3, {0, 0, 1, 0}) + "\n", 2,
       "a second start address record; the first is on line 1"},
      {kHex, data + ":00000001FF\n\x1A\n" + data, 4, "text after the end-of-file mark (Ctrl-Z)"},
      {kHex, data + ":00000001FF\x1A\n\n" + data, 4, "text after the end-of-file mark (Ctrl-Z)"},
      {kSrec, "S0030000FC\nS104000041BA\nS5030002FA\nS9030000FC\n", 3,
       "the count record says 2 data records, the file has 1 before it"},
      {kSrec, "S105FFFF0102F9\nS9030000FC\n", 1, "the data runs past address FFFF"},
      {kSrec, "S104000041BA\nS4030000FC\n", 2, "unknown record type S4"},
      {kSrec, "S104000041BB\nS9030000FC\n", 1, "checksum BB typed, BA computed"},
      {kSrec, "S1040000BA\nS9030000FC\n", 1,
       "the line is too short: its length field says 4 bytes, it holds 3"},
      {kSrec, ":104000041BA\n", 1, "the line does not start with 'S'"},
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
  const Window window = Read(kHex, text, 0x10000, 3);
  MarkedBytes expected;
  expected.set(0x10).set(0x11).set(0x20);
  EXPECT_EQ(window.Marks, expected);
  EXPECT_EQ(window.Bytes[0x10], 0x03);
  EXPECT_EQ(window.Bytes[0x11], 0x04);
  EXPECT_EQ(window.Bytes[0x20], 0xAA);
  EXPECT_EQ(window.Style.AddressBytes, 4);
  EXPECT_EQ(window.Style.BytesPerRecord, 2u);
}

// A file written afresh from a loaded one (a rescue copy) has its case and line ends; an
// S-record file its first record's letter.
TEST(RecordReader, AFileWrittenAfreshLooksLikeTheOneRead) {
  const struct {
    FileFormat format;
    std::string text;
    std::string written;
  } cases[] = {
      {kHex, ":020010000102eb\r\n:00000001ff\r\n\x1A", ":020010000102eb\r\n:00000001ff\r\n"},
      {kSrec, "S0030000FC\rs10400105299\rS9030000FC\r", "S0030000FC\rS10400105299\rS9030000FC\r"},
  };
  for (const auto& c : cases) {
    const Window window = Read(c.format, c.text);
    EXPECT_EQ(WriteRecordFile(c.format, window.Style, 0, window.Bytes, window.Marks), c.written);
  }
}

// Saves into record files: each the file, the bytes typed (a value, or -1 for a byte no longer
// marked) and the exact file it leaves. That file reads back to the bytes the save meant, and a
// save of the same again changes nothing.
TEST(RecordRewrite, ChangesOnlyTheRecordsWhoseBytesChanged) {
  const struct {
    const char* name;
    FileFormat format;
    std::string text;
    Typed typed;
    std::string expected;
    std::uint64_t base = 0;
    std::int32_t from = 0, to = 0xFFFF;
  } cases[] = {
      {"bytes across two records", kHex,
       Lines({I(0x10, 0, {1, 2, 3, 4}), I(0x14, 0, {5, 6, 7, 8}), kEnd}),
       Typed{{0x13, 0xEE}, {0x14, 0xFF}},
       Lines({I(0x10, 0, {1, 2, 3, 0xEE}), I(0x14, 0, {0xFF, 6, 7, 8}), kEnd})},
      {"a new byte goes after the record below it, other records kept past an address record", kHex,
       Lines(
           {I(0x10, 0, {1, 2}), I(0, 4, {0, 1}), I(0x10, 0, {1, 2}), I(0, 5, {0, 0, 1, 0}), kEnd}),
       Typed{{0x11, 0xAA}, {0x20, 0x55}},
       Lines({I(0x10, 0, {1, 0xAA}), I(0x20, 0, {0x55}), I(0, 4, {0, 1}), I(0x10, 0, {1, 2}),
              I(0, 5, {0, 0, 1, 0}), kEnd})},
      {"outside the span nothing changes", kHex, Lines({I(0x10, 0, {1, 2}), kEnd}),
       Typed{{0x11, 0xAA}, {0x20, 0x55}}, Lines({I(0x10, 0, {1, 2}), kEnd}), 0, 0x12, 0x1F},
      {"a byte in a gap goes after the record below it, one below every record before the lowest",
       kHex, Lines({I(0x30, 0, {3}), I(0x10, 0, {1, 2}), kEnd}),
       Typed{{0x20, 0x99}, {0x21, 0x98}, {0x08, 0x77}},
       Lines({I(0x30, 0, {3}), I(0x08, 0, {0x77}), I(0x10, 0, {1, 2}), I(0x20, 0, {0x99, 0x98}),
              kEnd})},
      {"a window across 64 KiB with linear address records", kHex,
       Lines({I(0, 4, {0, 0}), I(0xFFF8, 0, {1, 2, 3, 4, 5, 6, 7, 8}), I(0, 4, {0, 1}),
              I(0x0000, 0, {9, 10, 11, 12}), kEnd}),
       Typed{{0x12, 0x55}, {0x0A, 0x66}, {0x14, 0x44}},
       Lines({I(0, 4, {0, 0}), I(0xFFF8, 0, {1, 2, 0x66, 4, 5, 6, 7, 8}), I(0, 4, {0, 1}),
              I(0x0000, 0, {9, 10, 0x55, 12}), I(0x0004, 0, {0x44}), kEnd}),
       0xFFF0},
      {"a window across 64 KiB with segment address records", kHex,
       Lines({I(0, 2, {0, 0}), I(0xFFF8, 0, {1, 2, 3, 4, 5, 6, 7, 8}), I(0, 2, {0x10, 0}),
              I(0x0000, 0, {9, 10, 11, 12}), kEnd}),
       Typed{{0x12, 0x55}},
       Lines({I(0, 2, {0, 0}), I(0xFFF8, 0, {1, 2, 3, 4, 5, 6, 7, 8}), I(0, 2, {0x10, 0}),
              I(0x0000, 0, {9, 10, 0x55, 12}), kEnd}),
       0xFFF0, 0x10, 0x20},
      {"a gap past 64 KiB: the address state is set back for the record after it", kHex,
       Lines({I(0x8000, 0, {1, 2}), I(0x0100, 0, {3}), kEnd}), Typed{{0xFFF8, 0x42}},
       Lines({I(0x8000, 0, {1, 2}), I(0, 4, {0, 1}), I(0x7FF8, 0, {0x42}), I(0, 4, {0, 0}),
              I(0x0100, 0, {3}), kEnd}),
       0x8000},
      {"an address record after the gap's records sets the state itself", kHex,
       Lines({I(0x8000, 0, {1, 2}), I(0, 4, {0, 2}), I(0x0000, 0, {3}), kEnd}),
       Typed{{0xFFF8, 0x42}},
       Lines({I(0x8000, 0, {1, 2}), I(0, 4, {0, 1}), I(0x7FF8, 0, {0x42}), I(0, 4, {0, 2}),
              I(0x0000, 0, {3}), kEnd}),
       0x8000},
      {"a gap goes after the highest record below the window, wherever it stands", kHex,
       Lines({I(0x0100, 0, {1}), I(0x0200, 0, {2}), I(0x0000, 0, {3}), kEnd}), Typed{{0x10, 0x42}},
       Lines({I(0x0100, 0, {1}), I(0x0200, 0, {2}), I(0x8010, 0, {0x42}), I(0x0000, 0, {3}), kEnd}),
       0x8000},
      {"a record that lost a byte is cut, the rest of it kept", kHex,
       Lines({I(0x10, 0, {1, 2, 3, 4}), kEnd}), Typed{{0x11, -1}},
       Lines({I(0x10, 0, {1}), I(0x12, 0, {3, 4}), kEnd}), 0, 0x11, 0x11},
      {"a span starting inside a record writes the record whole at its address", kHex,
       Lines({I(0x10, 0, {1, 2, 3, 4}), kEnd}), Typed{{0x12, 0x33}, {0x11, 0x22}},
       Lines({I(0x10, 0, {1, 2, 0x33, 4}), kEnd}), 0, 0x12, 0x20},
      {"S1 data keeps S1 and S9 though S3 records are elsewhere", kSrec,
       Lines({S(0, 0, {}), S(1, 0x100, {1, 2}), S(3, 0x20000, {3}), S(9, 0, {})}),
       Typed{{0x101, 0xBB}, {0x200, 0xCC}},
       Lines({S(0, 0, {}), S(1, 0x100, {1, 0xBB}), S(1, 0x200, {0xCC}), S(3, 0x20000, {3}),
              S(9, 0, {})})},
      {"a cut record and a new one: the count record counts both, the new one goes before it",
       kSrec, Lines({S(0, 0, {}), S(1, 0x10, {1, 2, 3, 4}), S(5, 1, {}), S(9, 0, {})}),
       Typed{{0x11, -1}, {0x40, 0x77}},
       Lines({S(0, 0, {}), S(1, 0x10, {1}), S(1, 0x12, {3, 4}), S(1, 0x40, {0x77}), S(5, 3, {}),
              S(9, 0, {})})},
      {"a file of no data: the new record goes after the header, before the end", kSrec,
       Lines({S(0, 0, {0x41}), S(9, 0, {})}), Typed{{0x10, 0x42}},
       Lines({S(0, 0, {0x41}), S(1, 0x10, {0x42}), S(9, 0, {})})},
      {"no end record: a gap at the end goes at the end", kSrec, Lines({S(1, 0x10, {1})}),
       Typed{{0x11, 2}}, Lines({S(1, 0x10, {1}), S(1, 0x11, {2})})},
      {"lower-case digits and CR LF ends are kept", kHex, ":020010000102eb\r\n:00000001ff\r\n\x1A",
       Typed{{0x11, 0xAB}}, ":0200100001ab42\r\n:00000001ff\r\n\x1A"},
      {"a changed line keeps its lower-case letter and CR end", kSrec,
       "S0030000FC\rs1050010ab023d\rS9030000FC\r", Typed{{0x11, 0xCD}},
       "S0030000FC\rs1050010abcd72\rS9030000FC\r"},
      {"a CR LF cut between pieces is one line end; a last line without one stays without", kHex,
       ":0100100041AE\r\n:0100110042AC", Typed{{0x12, 0x43}},
       ":0100100041AE\r\n:0100110042AC\r\n:0100120043AA"},
      {"a run of Ctrl-Z glued to the last record stays at the end", kHex,
       I(0x10, 0, {0x41}) + "\x1a\x1a\x1a", Typed{{0x20, 0x42}},
       Lines({I(0x10, 0, {0x41})}) + I(0x20, 0, {0x42}) + "\x1a\x1a\x1a"},
      {"a CR LF file, the run glued, a byte typed above", kHex,
       I(0x08, 0, {0x40}) + "\r\n" + I(0x10, 0, {0x41}) + "\x1a", Typed{{0x11, 0x42}},
       I(0x08, 0, {0x40}) + "\r\n" + I(0x10, 0, {0x41}) + "\r\n" + I(0x11, 0, {0x42}) + "\x1a"},
      {"a header alone, the run glued to it", kSrec, S(0, 0, {0x41}) + "\x1a", Typed{{0x10, 0x42}},
       Lines({S(0, 0, {0x41})}) + S(1, 0x10, {0x42}) + "\x1a"},
      {"a header alone without a line end", kSrec, S(0, 0, {0x41}), Typed{{0x10, 0x42}},
       Lines({S(0, 0, {0x41})}) + S(1, 0x10, {0x42})},
      {"the run ends its line, a blank line after it", kHex, I(0x10, 0, {0x41}) + "\x1a\r\n\r\n",
       Typed{{0x20, 0x42}}, I(0x10, 0, {0x41}) + "\r\n" + I(0x20, 0, {0x42}) + "\x1a\r\n\r\n"},
      {"the record the run is glued to changes", kHex, I(0x10, 0, {0x41}) + "\x1a\x1a",
       Typed{{0x10, 0x42}}, I(0x10, 0, {0x42}) + "\x1a\x1a"},
      {"the count record the run is glued to changes", kSrec,
       Lines({S(1, 0x10, {0x41})}) + S(5, 1, {}) + "\x1a", Typed{{0x11, 0x42}},
       Lines({S(1, 0x10, {0x41}), S(1, 0x11, {0x42})}) + S(5, 2, {}) + "\x1a"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Window before = Read(c.format, c.text, c.base);
    Window after = before;
    for (const auto& [at, value] : c.typed) {
      after.Marks[static_cast<std::size_t>(at)] = value >= 0;
      after.Bytes[static_cast<std::size_t>(at)] = static_cast<std::uint8_t>(value);
    }
    const std::string saved = Rewrite(c.format, c.text, after, c.from, c.to, c.base).Text;
    EXPECT_EQ(saved, c.expected);
    EXPECT_EQ(Rewrite(c.format, saved, after, c.from, c.to, c.base).Replaced, 0u);
    ExpectSavedAsMeant(c.format, saved, c.base, before, after, c.from, c.to);
  }
}

// A record split early and the count record at the end of a long file: the text between them
// is read back rather than kept, and the file comes out the same.
TEST(RecordRewrite, ReadsBackWhatItDidNotKeep) {
  Window window;
  for (std::size_t at = 0x100; at < kWindowSize; ++at) {
    window.Bytes[at] = static_cast<std::uint8_t>(at);
    window.Marks.set(at);
  }
  std::string text = WriteRecordFile(kSrec, {}, 0, window.Bytes, window.Marks);
  text.replace(text.size() - 11, 11, "S5030FF0FD\nS9030000FC\n");  // 0xFF0 data records
  window.Bytes[0x100] = 0xAB;
  window.Marks.reset(0x101);
  int readBacks = 0;
  const std::string kept = Rewrite(kSrec, text, window, 0x100, 0x101).Text;
  EXPECT_EQ(Rewrite(kSrec, text, window, 0x100, 0x101, 0, &readBacks).Text, kept);
  EXPECT_EQ(readBacks, 1);
  EXPECT_TRUE(kept.starts_with("S0030000FC\nS1040100AB4F\nS1110102"));
  EXPECT_TRUE(kept.ends_with("\nS5030FF1FC\nS9030000FC\n"));
}

// A random image whose marked bytes come in runs with gaps between them.
Window RandomWindow(std::mt19937& random) {
  Window window;
  for (auto& byte : window.Bytes) {
    byte = static_cast<std::uint8_t>(random());
  }
  bool marking = false;
  for (std::size_t at = 0; at < kWindowSize; ++at) {
    if (random() % 300 == 0) {
      marking = !marking;
    }
    window.Marks[at] = marking;
  }
  return window;
}

// Whatever was saved over whatever was there, the file reads back to the bytes the save meant.
TEST(RecordRewrite, ReadsBackToTheSavedWindow) {
  std::mt19937 random(7);
  for (int round = 0; round < 40; ++round) {
    const auto format = round % 2 == 0 ? kHex : kSrec;
    const std::uint64_t base = round % 4 < 2 ? 0 : 0x12345;
    const Window before = RandomWindow(random);
    const Window after = RandomWindow(random);
    RecordStyle style;
    style.BytesPerRecord = 1 + random() % 40;
    style.AddressBytes = 2 + static_cast<int>(random() % 3);
    const std::string text = WriteRecordFile(format, style, base, before.Bytes, before.Marks);
    const auto from = static_cast<std::int32_t>(random() % kWindowSize);
    const auto to = static_cast<std::int32_t>(from + random() % (kWindowSize - from));
    SCOPED_TRACE(::testing::Message() << "round " << round << " span " << from << ".." << to);
    ExpectSavedAsMeant(format, Rewrite(format, text, after, from, to, base).Text, base, before,
                       after, from, to);
  }
}

// The second reading must be of the text the survey read.
TEST(RecordRewrite, RefusesATextThatChangedBetweenItsTwoReadings) {
  const Window window = Read(kHex, ":0100100041AE\n:00000001FF\n");
  RecordRewrite rewrite(kHex, 0, window.Bytes, window.Marks, 0, 0xFFFF);
  rewrite.Survey(":0100100041AE\n:00000001FF\n");
  rewrite.FinishSurvey();
  rewrite.Feed(":0100100041AE\n:0100110042AC\n:00000001FF\n");
  EXPECT_THROW(rewrite.Finish(), RecordError);
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
  for (const auto& [format, name] : {std::pair{kHex, "ihex"}, std::pair{kSrec, "srec"}}) {
    SCOPED_TRACE(name);
    const Window window = RandomWindow(random);
    const std::string ours = WriteRecordFile(format, {}, 0x20000, window.Bytes, window.Marks);
    PutFile("ours.txt", {ours.begin(), ours.end()});
    ASSERT_EQ(Shell(std::string("objcopy -I ") + name + " -O binary ours.txt ours.bin"), 0);
    std::size_t lowest = 0;
    while (!window.Marks[lowest]) {
      ++lowest;
    }
    const std::vector<std::uint8_t> flat = GetFile("ours.bin");
    for (std::size_t at = lowest; at < kWindowSize; ++at) {
      if (window.Marks[at]) {
        ASSERT_LT(at - lowest, flat.size());
        ASSERT_EQ(flat[at - lowest], window.Bytes[at]) << at;
      }
    }
    // objcopy's own records, gaps and all, loaded here.
    ASSERT_EQ(Shell(std::string("objcopy -I ") + name + " -O " + name + " ours.txt theirs.txt"), 0);
    const std::vector<std::uint8_t> theirs = GetFile("theirs.txt");
    const Window loaded = Read(format, std::string(theirs.begin(), theirs.end()), 0x20000, 1000);
    EXPECT_EQ(loaded.Marks, window.Marks);
    for (std::size_t at = 0; at < kWindowSize; ++at) {
      if (window.Marks[at]) {
        ASSERT_EQ(loaded.Bytes[at], window.Bytes[at]) << at;
      }
    }
  }
}

}  // namespace
}  // namespace lbe::records
