#include "listing/listing.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace lbe::listing {
namespace {

using namespace std::string_literals;

// The bytes 3E 00 D3 FE 21 00 00 11, whose sum 0x241 gives the checksum 41.
constexpr std::array<std::uint8_t, 8> kBytes = {0x3E, 0x00, 0xD3, 0xFE, 0x21, 0x00, 0x00, 0x11};

struct LineCase {
  std::string text;
  std::optional<std::uint32_t> address;  // as the parse reads it
  std::string fault;                     // empty: a good line holding kBytes
};

TEST(Listing, EveryAcceptedFormReadsTheSameBytes) {
  const LineCase cases[] = {
      {"0100 3E00D3FE21000011:41", 0x0100, ""},
      {"0100 3E 00 D3 FE 21 00 00 11 : 41", 0x0100, ""},
      {"0100: 3E 00 D3 FE 21 00 00 11 41", 0x0100, ""},
      {"0100:3E 00 D3 FE 21 00 00 11 - 41", 0x0100, ""},
      {"0100 3E00 D3FE 2100 0011  41", 0x0100, ""},
      {"0100 3E00D3FE21000011 41", 0x0100, ""},
      {"0100- 3E 00 D3 FE 21 00 00 11 = 41", 0x0100, ""},
      {"0100 3E 00 D3 FE 21 00 00 11 | 41", 0x0100, ""},
      {"0100 3e00d3fe21000011:41", 0x0100, ""},
      {"  \t0100\t3E00D3FE21000011 :\t41 \t\f", 0x0100, ""},
      {"0100 3E00D3FE21000011:41 ; the loader", 0x0100, ""},
      {"0100 3E 00 D3 FE 21 00 00 11 41 # the loader", 0x0100, ""},
      {"8 3E00D3FE21000011:41", 0x0008, ""},
      {"ffff0008 3E00D3FE21000011:41", 0xFFFF0008, ""},
      {"00010000: 3E00D3FE21000011:41", 0x10000, ""},
      {"SUM  3E00D3FE21000011:41", std::nullopt, ""},
      {"Sum: 3E 00 D3 FE 21 00 00 11 - 41", std::nullopt, ""},
  };
  for (const LineCase& c : cases) {
    SCOPED_TRACE(c.text);
    const ListingLine line = ParseListingLine(c.text);
    EXPECT_FALSE(line.Skipped);
    EXPECT_EQ(line.Fault, "");
    EXPECT_EQ(line.Address, c.address);
    EXPECT_EQ(line.Bytes, kBytes);
  }
  const ListingLine ones = ParseListingLine("FFF8 FFFFFFFFFFFFFFFF:F8");
  EXPECT_EQ(ones.Fault, "");
  EXPECT_EQ(ones.Bytes[7], 0xFF);
}

TEST(Listing, BlankAndCommentLinesAreSkipped) {
  for (const std::string text :
       {"", "   \t ", "# a comment", "; a comment", "  ;", "\t# 0100", "\x1A", " \x1A"}) {
    SCOPED_TRACE(text);
    const ListingLine line = ParseListingLine(text);
    EXPECT_TRUE(line.Skipped);
    EXPECT_EQ(line.Fault, "");
  }
}

TEST(Listing, EveryFaultKindHasItsMessage) {
  const LineCase cases[] = {
      {"0100 3E00D3FE21000011:A5", 0x0100, "checksum A5 typed, 41 computed"},
      {"0108 3E 00 D3 FE 21 00 00 11 : a6", 0x0108, "checksum A6 typed, 41 computed"},
      {"0100 3E00D3FE210000:41", 0x0100,
       "7 bytes, 8 expected; perhaps a byte 11 left out: the checksum cannot tell where"},
      {"0100 3E 00 D3 FE 21 00 00 11", 0x0100,  // 11 taken as checksum
       "7 bytes, 8 expected; perhaps a byte E1 left out: the checksum cannot tell where"},
      {"0100 3E00D3FE2100001122:41", 0x0100, "9 bytes, 8 expected"},
      {"0100 3E00D3FE2100001:41", 0x0100,
       "15 hexadecimal digits, 16 expected; perhaps 0104 is 21 (a digit left out), or 0107 is 11 "
       "(a digit left out), or 0102 is D1 (a digit left out), and 1 more like these"},
      {"0100 3:41", 0x0100, "1 hexadecimal digit, 16 expected"},
      {"0100 3E:41", 0x0100, "1 byte, 8 expected"},
      {"0100", 0x0100, "0 bytes, 8 expected"},
      {"0100:", 0x0100, "0 bytes, 8 expected"},
      {"0100 : 41", 0x0100, "1 byte, 8 expected"},
      {"0100 3E00D3FE21000011", 0x0100, "checksum missing"},
      {"0100 3E00D3FE21000011:", 0x0100, "checksum missing"},
      {"0100 3E00D3FE21000011 - ; later", 0x0100, "checksum missing"},
      {"0100 3E00D3FE21000011 ; 41", 0x0100, "checksum missing"},
      {"0100 3E00D3FE21000011:4", 0x0100, "checksum of 1 digit, 2 expected"},
      {"0100 3E00D3FE21000011:041", 0x0100, "checksum of 3 digits, 2 expected"},
      {"0100: 3E 00 D3 FE 21 00 00 11 41F", 0x0100, "checksum of 3 digits, 2 expected"},
      {"0100 3E00 D3FE 2100 0011 4", 0x0100, "checksum of 1 digit, 2 expected"},
      {"sum 3E00D3FE21000011:4", std::nullopt, "total of 1 digit, 2 expected"},
      {"SUM: 3E 00 D3 FE 21 00 00 41", std::nullopt,
       "7 column sums, 8 expected; perhaps a byte 11 left out: the checksum cannot tell where"},
      {"SUMS 3E00D3FE21000011:41", std::nullopt, "not a hexadecimal digit 'S'"},
      {"0100 3E00D3FE21000011:41 42", 0x0100, "unexpected '4' after the checksum"},
      {"0100 3E00D3FE21000011:41:", 0x0100, "unexpected ':' after the checksum"},
      {"0100 3E00D3FE21000011:4O", 0x0100, "checksum of 1 digit, 2 expected; 'O' is perhaps 0"},
      {"0100 3E00D3FE21000011:O1", 0x0100, "not a hexadecimal digit 'O' (perhaps 0)"},
      {"O100 3E00D3FE21000011:41", std::nullopt,
       "not a hexadecimal digit 'O'; read as 0, the line checks out"},
      {"01O0 3E00D3FE21000011:41", std::nullopt,
       "not a hexadecimal digit 'O'; read as 0, the line checks out"},
      {"0100 3E O0 D3 FE 21 00 00 11:41", 0x0100,
       "not a hexadecimal digit 'O'; read as 0, the line checks out"},
      {"0100 3E00D3FE21000011h:41", 0x0100, "not a hexadecimal digit 'h'"},
      {"010g 3E00D3FE21000011:41", std::nullopt, "not a hexadecimal digit 'g'"},
      {"0100 3E00D3FE2100001G:41", 0x0100, "not a hexadecimal digit 'G'"},
      {"0100 3E00D3FE2100001@:41", 0x0100, "not a hexadecimal digit '@'"},
      {"0100 3E00D3FE2100001`:41", 0x0100, "not a hexadecimal digit '`'"},
      {"0100 3E00D3FE2100001/:41", 0x0100, "not a hexadecimal digit '/'"},
      {"0100 3E00D3FE21000011:4g", 0x0100, "checksum of 1 digit, 2 expected"},
      {":0100 3E00D3FE21000011:41", std::nullopt, "not a hexadecimal digit ':'"},
      {"$0100 3E00D3FE21000011:41", std::nullopt, "not a hexadecimal digit '$'"},
      {"01003E00D3FE21000011:41", std::nullopt, "address of 20 digits, at most 8 expected"},
      {"100000000 3E00D3FE21000011:41", std::nullopt, "address of 9 digits, at most 8 expected"},
      // What cannot be shown as itself is shown escaped.
      {"0100 3E\x01", 0x0100, "not a hexadecimal digit '\\x01'"},
      {"0100 3E\t\x7F", 0x0100, "not a hexadecimal digit '\\x7F'"},
      {"0100 '", 0x0100, "not a hexadecimal digit '\\''"},
      {"\x1A\x1A", std::nullopt, "not a hexadecimal digit '\\x1A'"},
      {"0100 \\", 0x0100, "not a hexadecimal digit '\\\\'"},
      {"0100 \xFF\xFE", 0x0100, "not a hexadecimal digit '\\xFF'"},
      {"0100 \xE3\x81", 0x0100, "not a hexadecimal digit '\\xE3'"},
      {"0100 \xE2\x80\x8B"
       "3E",
       0x0100, "not a hexadecimal digit '\\u{200B}'"},
      {"0100 \xE2\x80\xAE"
       "3E",
       0x0100, "not a hexadecimal digit '\\u{202E}'"},
      {"\xEF\xBB\xBF"
       "0100",
       std::nullopt, "not a hexadecimal digit '\\u{FEFF}'"},
      {"0100 \xEF\xBC\x93"
       "E",
       0x0100, "not a hexadecimal digit '\xEF\xBC\x93'"},  // full width 3
      {"0100 \xC3\xA9", 0x0100, "not a hexadecimal digit '\xC3\xA9'"},
      // Binary garbage.
      {"\x00\x00\x89PNG"s, std::nullopt, "not a hexadecimal digit '\\x00'"},
      {"\x7F"
       "ELF\x02\x01\x01"s,
       std::nullopt, "not a hexadecimal digit '\\x7F'"},
      {"00\x00 3E00D3FE21000011:41"s, std::nullopt, "not a hexadecimal digit '\\x00'"},
  };
  for (const LineCase& c : cases) {
    SCOPED_TRACE(c.text);
    const ListingLine line = ParseListingLine(c.text);
    EXPECT_FALSE(line.Skipped);
    EXPECT_EQ(line.Fault, c.fault);
    EXPECT_EQ(line.Address, c.address);
  }
}

TEST(Listing, AddressTextHasAtLeastFourDigits) {
  EXPECT_EQ(ListingAddressText(0x8), "0008");
  EXPECT_EQ(ListingAddressText(0xFFF8), "FFF8");
  EXPECT_EQ(ListingAddressText(0x10000), "10000");
  EXPECT_EQ(ListingAddressText(0x100000000), "100000000");
}

// A listing checked in one piece, and in pieces of every size from 1 to 7 bytes: the faults
// (as "LINE: text") must not depend on where the pieces were cut.
struct Checked {
  std::vector<std::string> faults;
  std::uint64_t lines = 0;
  std::vector<std::uint8_t> bytes;
};

Checked CheckListing(const std::string& listing, std::size_t piece = 0, bool keepBytes = true,
                     ListingStyle style = ListingStyle::Lbe) {
  Checked checked;
  ListingCheck check(
      keepBytes,
      [&](const ListingFault& fault) {
        checked.faults.push_back(std::to_string(fault.LineNumber) + ": " + fault.Text);
      },
      style);
  if (piece == 0) {
    check.Feed(listing);
  } else {
    for (std::size_t i = 0; i < listing.size(); i += piece) {
      check.Feed(std::string_view(listing).substr(i, piece));
    }
  }
  check.Finish();
  EXPECT_EQ(check.Faults(), checked.faults.size());
  checked.lines = check.Lines();
  checked.bytes = check.Bytes();
  return checked;
}

Checked CheckInEveryCut(const std::string& listing) {
  const Checked whole = CheckListing(listing);
  for (std::size_t piece = 1; piece <= 7; ++piece) {
    const Checked cut = CheckListing(listing, piece);
    EXPECT_EQ(cut.faults, whole.faults) << "pieces of " << piece;
    EXPECT_EQ(cut.lines, whole.lines) << "pieces of " << piece;
    EXPECT_EQ(cut.bytes, whole.bytes) << "pieces of " << piece;
  }
  return whole;
}

const std::string kLine0 = "0000 0000000000000000:00";
const std::string kLine8 = "0008 0102030405060708:24";
const std::string kLine10 = "0010 FFFFFFFFFFFFFFFF:F8";
const std::string kLine18 = "0018 0000000000000001:01";

TEST(ListingCheck, LineEndsBlankLinesAndALastLineWithoutItsEnd) {
  struct {
    std::string listing;
    std::uint64_t lines;
  } cases[] = {
      {kLine0 + "\n" + kLine8 + "\n" + kLine10 + "\n", 3},
      {kLine0 + "\r\n" + kLine8 + "\r\n" + kLine10 + "\r\n", 3},
      {kLine0 + "\r" + kLine8 + "\r" + kLine10 + "\r", 3},
      {kLine0 + "\r\n" + kLine8 + "\n" + kLine10, 3},
      {"# loader\n\n" + kLine0 + "\n   \n; more\r\n" + kLine8 + "\n" + kLine10 + "\n\n", 3},
      {"\xEF\xBB\xBF" + kLine0 + "\n" + kLine8 + "\n" + kLine10, 3},
      {"\xEF\xBB\xBF# made by hand\r\n" + kLine0 + "\r\n" + kLine8 + "\r\n" + kLine10, 3},
      {"", 0},
      {"\n\r\n\r", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.listing);
    const Checked checked = CheckInEveryCut(c.listing);
    EXPECT_EQ(checked.faults, std::vector<std::string>{});
    EXPECT_EQ(checked.lines, c.lines);
    EXPECT_EQ(checked.bytes.size(), c.lines * 8);
    if (c.lines == 3) {
      EXPECT_EQ(checked.bytes[8], 0x01);
      EXPECT_EQ(checked.bytes[23], 0xFF);
    }
  }
}

TEST(ListingCheck, FaultsCarryTheirLineNumbersAndAddresses) {
  struct {
    std::string listing;
    std::vector<std::string> faults;
  } cases[] = {
      // A gap, a repeat and an address out of order are each reported once.
      {kLine0 + "\n" + kLine10 + "\n" + kLine18 + "\n", {"2: 0010: line 0008 missing"}},
      {kLine0 + "\n" + kLine8 + "\n" + kLine8 + "\n" + kLine10 + "\n",
       {"3: 0008: line 0008 repeated"}},
      {kLine8 + "\n" + kLine0 + "\n",  //
       {"2: 0000: address 0010 expected, 0000 found"}},
      // A line without a readable address keeps the count going.
      {kLine0 + "\nO008 0102030405060708:24\n" + kLine10 + "\n",
       {"2: not a hexadecimal digit 'O'; read as 0, the line checks out"}},
      // Skipped lines count for the line numbers only.
      {"# x\n\n" + kLine0 + "\r\n\r\n0008 0102030405060708:31\r\n",
       {"5: 0008: checksum 31 typed, 24 computed; perhaps 0008 is 0E, not 01, or 0009 is 0F, not "
        "02"}},
      // A wrong checksum and a wrong address on one line are two faults.
      {kLine0 + "\n0010 0102030405060708:31",
       {"2: 0010: checksum 31 typed, 24 computed; perhaps 0010 is 0E, not 01, or 0011 is 0F, not "
        "02",
        "2: 0010: address 0008 expected, 0010 found"}},
      // A byte-order mark counts only at the very start.
      {kLine0 + "\n\xEF\xBB\xBF" + kLine8 + "\n", {"2: not a hexadecimal digit '\\u{FEFF}'"}},
      {"\n\xEF\xBB\xBF" + kLine8 + "\n", {"2: not a hexadecimal digit '\\u{FEFF}'"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.listing);
    const Checked checked = CheckInEveryCut(c.listing);
    EXPECT_EQ(checked.faults, c.faults);
    EXPECT_EQ(checked.bytes, std::vector<std::uint8_t>{}) << "bytes kept after a fault";
  }
}

// A listing of 6 good lines 0000 to 0028, each holding kBytes, with one line typed other than
// `was`: the one report each mistake gives, with its likely fixes.
TEST(ListingCheck, OneReportPerTypo) {
  const std::string good = "3E00D3FE21000011:41";
  const auto listing = [&](const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
      text += (line.size() == 4 ? line + " " + good : line) + "\n";
    }
    return text;
  };
  const struct {
    std::vector<std::string> lines;
    std::string fault;
  } cases[] = {
      {{"0000", "0008", "0070", "0018", "0020", "0028"},
       "3: 0070: address 0010 expected, 0070 found"},
      {{"0800", "0008", "0010", "0018"},
       "2: 0008: address 0808 expected, 0008 found; perhaps the line before is 0000, not 0800"},
      {{"0000", "0108", "0110", "0118"},
       "2: 0108: address 0008 expected, 0108 found; perhaps the line before is 0100, not 0000"},
      {{"0000", "0008", "0018", "0020", "0028"}, "3: 0018: line 0010 missing"},
      {{"0000", "0008", "0020", "0028"}, "3: 0020: lines 0010 to 0018 missing"},
      {{"0000", "0008", "0008", "0010", "0018"}, "3: 0008: line 0008 repeated"},
      {{"0000", "0008", "0008 3E00D3FE21000012:42", "0010"},
       "3: 0008: line 0008 repeated with other bytes"},
      {{"0000", "0008", "0018", "0010", "0020", "0028"}, "3: 0018: lines 0010 and 0018 swapped"},
      {{"0008", "0000", "0010", "0018"}, "2: 0000: lines 0000 and 0008 swapped"},
      {{"0000", "0008", "0010", "0010"}, "4: 0010: line 0010 repeated"},
      {{"0000", "0008", "0010: 3E 00 D3 FE 21 00 00 11 41F", "0018"},
       "3: 0010: checksum of 3 digits, 2 expected"},
      {{"0000", "0008", "0010 3E00D3FE2100D011:41", "0018"},
       "3: 0010: checksum 41 typed, 11 computed; perhaps 0012 is 03, not D3 (0 and D look alike), "
       "or 0016 is 00, not D0 (0 and D look alike)"},
      {{"0000", "0008", "0010 E300D3FE21000011:41", "0018"},
       "3: 0010: checksum 41 typed, E6 computed; perhaps 0010 is 3E, not E3 (digits swapped)"},
      {{"0000", "0008", "0010 3E00D3FE21000011:47", "0018"},
       "3: 0010: checksum 47 typed, 41 computed; perhaps the checksum is 41, not 47 (1 and 7 look "
       "alike), or 0014 is 27, not 21 (7 and 1 look alike), or 0017 is 17, not 11 (7 and 1 look "
       "alike)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(listing(c.lines));
    EXPECT_EQ(CheckInEveryCut(listing(c.lines)).faults, std::vector<std::string>{c.fault});
  }
}

// One line typed otherwise, once in each way a typist errs, amid good lines: its one report.
TEST(ListingCheck, TheFixOfEachMistake) {
  const struct {
    std::string typed;
    std::string fault;
  } cases[] = {
      {"0010 3E00D3FE2100001B:48",
       "3: 0010: checksum 48 typed, 4B computed; perhaps the checksum is 4B, not 48 (B and 8 look "
       "alike), or 0017 is 18, not 1B (8 and B look alike)"},
      {"0010 30E0D3FE21000011:41",
       "3: 0010: checksum 41 typed, 13 computed; perhaps 0010 and 0011 are 3E 00, not 30 E0 "
       "(digits swapped), or 0011 is 0E, not E0 (digits swapped)"},
      {"0010 3E00D3E21000011:41",
       "3: 0010: 15 hexadecimal digits, 16 expected; perhaps 0013 is FE (a digit left out)"},
      {"0010 3E00D3FFE21000011:41",
       "3: 0010: 17 hexadecimal digits, 16 expected; perhaps 0013 is FE (F typed twice)"},
      {"0010 3E00D3FE210011:41",
       "3: 0010: 7 bytes, 8 expected; perhaps a byte 00 left out: the checksum cannot tell "
       "where"},
      {"0010 3E00D3FE2100000011:41",
       "3: 0010: 9 bytes, 8 expected; perhaps 00 at 0015 typed twice"},
      {"0010 3E3100D3FE21000011:41", "3: 0010: 9 bytes, 8 expected"},  // not typed twice
      {"0010 3E00D3FE21000011:14",
       "3: 0010: checksum 14 typed, 41 computed; perhaps the checksum is 41, not 14 (digits "
       "swapped)"},
      {"0010 0000000000000000:D0",
       "3: 0010: checksum D0 typed, 00 computed; perhaps 0010 is D0, not 00 (D and 0 look alike), "
       "or 0011 is D0, not 00 (D and 0 look alike), or the checksum is 00, not D0 (0 and D look "
       "alike), and 6 more like these"},
      {"0010 3E00D3FE21000012:41",
       "3: 0010: checksum 41 typed, 42 computed; 6 changes of one digit fit: too many to tell "
       "which"},
      {"0010 3E00D3FE2l000011:41",
       "3: 0010: not a hexadecimal digit 'l'; read as 1, the line checks out"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.typed);
    const std::string listing = "0000 3E00D3FE21000011:41\n0008 3E00D3FE21000011:41\n" + c.typed +
                                "\n0018 3E00D3FE21000011:41\n";
    EXPECT_EQ(CheckInEveryCut(listing).faults, std::vector<std::string>{c.fault});
  }
}

// A listing whose blocks outgrow what a sum row settles does not hold their faults back.
TEST(ListingCheck, FaultsOfALongBlockDoNotWait) {
  std::size_t reported = 0;
  ListingCheck check(false, [&](const ListingFault&) { ++reported; });
  check.Feed(kLine0 + "\nSUM 0000000000000000:00\n");
  for (int line = 1; line <= 300; ++line) {
    check.Feed(ListingAddressText(8 * static_cast<unsigned>(line)) + " 0000000000000000:01\n");
  }
  EXPECT_GE(reported, 300u - kLongestBlock);
  check.Finish();
  EXPECT_EQ(reported, 300u);

  // Nor do empty sum rows after a row that fell short and waits for the next line.
  reported = 0;
  ListingCheck rows(false, [&](const ListingFault&) { ++reported; });
  rows.Feed(kLine8 + "\n" + kLine10 + "\nSUM 0001020304050608:1D\n");
  for (int row = 0; row < 2000; ++row) {
    rows.Feed("SUM 0000000000000000:00\n");
  }
  EXPECT_GE(reported, 2000u);
  rows.Finish();
  EXPECT_EQ(reported, 2001u);
}

// Lines 0008 and 0010 and their sum row, one of the three typed otherwise: the last report.
TEST(ListingCheck, SumRowsCheckTheirBlock) {
  const std::string row = "SUM 0001020304050607:1C";
  const struct {
    std::string listing;
    std::string lastFault;  // empty: no fault
  } cases[] = {
      {kLine0 + "\nSUM 0000000000000000:00\n" + kLine8 + "\n" + kLine10 + "\n" + row, ""},
      {kLine8 + "\n" + kLine10 + "\nsum: 00 01 02 03 04 05 06 07 1C\n" + kLine18, ""},
      {"0008 0102030405060709:24\n" + kLine10 + "\n" + row,
       "1: 0008: checksum 24 typed, 25 computed; by the sum row, 000F is 08, not 09 (8 and 9 look "
       "alike)"},
      {"0008 010203040506070A:24\n" + kLine10 + "\n" + row,
       "1: 0008: checksum 24 typed, 26 computed; by the sum row, 000F is 08, not 0A"},
      {"0008 0102030405060708:2B\n" + kLine10 + "\n" + row,
       "1: 0008: checksum 2B typed, 24 computed; the column sums prove the bytes right: the "
       "checksum is 24, not 2B"},
      {"0008 0201030405060708:24\n" + kLine10 + "\n" + row,
       "3: SUM 0008-0017: column +0 00 typed, 01 computed, column +1 01 typed, 00 computed; every "
       "line's sum checks out: perhaps 0008 and 0009 are 01 02, not 02 01 (exchanged)"},
      {"0008 0201030405060708:24\n0010 0302030405060708:26\n"
       "SUM 040406080A0C0E10:4A",
       "3: SUM 0008-0017: column +0 04 typed, 05 computed, column +1 04 typed, 03 computed; every "
       "line's sum checks out: bytes of a line swapped between these columns?"},
      {kLine8 + "\n" + kLine10 + "\nSUM 0001020304050608:1C",
       "3: SUM 0008-0017: column +7 08 typed, 07 computed; the total agrees with the lines, so the "
       "sum row is mistyped"},
      {kLine8 + "\n" + kLine10 + "\nSUM 0001020304050607:1D",
       "3: SUM 0008-0017: total 1D typed, 1C computed"},
      {kLine0 + "\nSUM 0000000000000000:00\n" + kLine8 + "\n" + kLine10 +
           "\nSUM FFFFFF0304050607:16\n" + kLine18 + "\nSUM 0000000000000001:01",
       "5: SUM 0008-0017: columns +0, +1 and +2 wrong"},
      // Short by a line's worth, its lines sound: a line left out where no address shows it.
      {kLine8 + "\n" + kLine10 + "\nSUM FFFFFF0304050607:16",
       "3: SUM 0008-0017: line 0000 or 0018 missing; by the sum row it holds FFFEFD0000000000"},
      {kLine8 + "\n" + row + "\n" + row, "3: SUM: no lines since the last sum row"},
      {kLine8 + "\n0010 FFFF:F8\n" + row,
       "2: 0010: 2 bytes, 8 expected; by the sum row it holds FFFFFFFFFFFFFFFF"},
      {kLine8 + "\n0010 FFFFFFFFFFFFFFF:F8\n" + row,
       "2: 0010: 15 hexadecimal digits, 16 expected; by the sum row, 0010 is FF (a digit left "
       "out)"},
      // A line missing or typed twice is one mistake, the row's part in it said by the line.
      {kLine0 + "\n" + kLine10 + "\n" + kLine18 + "\nSUM 0001020304050608:1D",
       "2: 0010: line 0008 missing; by the sum row it holds 0102030405060708"},
      {kLine8 + "\n" + kLine8 + "\n" + kLine10 + "\n" + row, "2: 0008: line 0008 repeated"},
      {kLine8 + "\n" + kLine10 + "\n" + kLine10 + "\n" + row, "3: 0010: line 0010 repeated"},
      // The line before the last left out: the last line and the row's shortfall show it.
      {kLine0 + "\n" + kLine10 + "\n" + row,
       "2: 0010: line 0008 missing; by the sum row it holds 0102030405060708"},
      // At the listing's ends no address shows a line left out: the first or last row does.
      {kLine0 + "\nSUM 0000000000000000:00\n" + kLine8 + "\n" + row,
       "4: SUM 0008-000F: line 0010 missing; by the sum row it holds FFFFFFFFFFFFFFFF"},
      {kLine18 + "\nSUM FFFFFFFFFFFFFF00:F9\n0020 0000000000000000:00\nSUM 0000000000000000:00",
       "2: SUM 0018-001F: line 0010 missing; by the sum row it holds FFFFFFFFFFFFFFFF"},
      {kLine8 + "\n" + kLine8 + "\n" + kLine10 + "\nSUM 0001020304050608:1D",
       "4: SUM 0008-0017: line 0000 or 0018 missing; by the sum row it holds FFFEFDFCFBFAF9F9"},
      // Bytes and checksum both mistyped: the row cannot put the line right alone.
      {"0008 0102030405060709:20\n" + kLine10 + "\n" + row,
       "3: SUM 0008-0017: column +7 07 typed, 08 computed"},
      {kLine8 + "\n0010 0000000000000:00\nSUM 0102030405060708:24",
       "2: 0010: 13 hexadecimal digits, 16 expected; by the sum row it holds 0000000000000000"},
      // Two uncertain lines: the row cannot tell which, and the columns go unchecked.
      {"0008 0102030405060708:25\n0010 FFFF:F8\n" + row, "2: 0010: 2 bytes, 8 expected"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.listing);
    const Checked checked = CheckInEveryCut(c.listing);
    EXPECT_EQ(checked.faults.empty() ? "" : checked.faults.back(), c.lastFault);
    EXPECT_EQ(checked.bytes.size(), c.lastFault.empty() ? checked.lines * 8 : 0);
  }
}

TEST(ListingCheck, AddressesRunOnFromAnyStartPastFFFF) {
  const std::string listing =
      "FFF0 0000000000000000:00\nFFF8 0000000000000000:00\n"
      "10000 0000000000000000:00\n00010008: 0000000000000000:00\n";
  const Checked checked = CheckInEveryCut(listing);
  EXPECT_EQ(checked.faults, std::vector<std::string>{});
  EXPECT_EQ(checked.lines, 4u);
  EXPECT_EQ(checked.bytes.size(), 32u);
}

TEST(ListingCheck, AnOverlongLineIsOneFaultAndTheNextLineIsRead) {
  for (const char fill : {' ', '0', '\0'}) {
    SCOPED_TRACE(static_cast<int>(fill));
    const std::string listing =
        kLine0 + "\n0008 " + std::string(200'000 - 5, fill) + "\r\n" + kLine10 + "\n";
    const Checked whole = CheckListing(listing);
    EXPECT_EQ(whole.faults, (std::vector<std::string>{"2: line of 200000 characters, at most "
                                                      "4096 expected"}));
    EXPECT_EQ(whole.lines, 3u);
    for (const std::size_t piece : {1u, 4095u, 4096u, 65536u}) {
      EXPECT_EQ(CheckListing(listing, piece).faults, whole.faults) << "pieces of " << piece;
    }
  }
  // The longest line kept is still read.
  const std::string longest = kLine0 + std::string(kLongestListingLine - kLine0.size(), ' ');
  EXPECT_EQ(CheckListing(longest + "\n" + kLine8, 1000).faults, std::vector<std::string>{});
  EXPECT_EQ(CheckListing(longest + " \n" + kLine8, 1000).faults,
            (std::vector<std::string>{"1: line of 4097 characters, at most 4096 expected"}));
}

TEST(ListingCheck, BinaryGarbageIsFaultsLineByLine) {
  std::string garbage;
  std::uint32_t seed = 12345;
  for (int i = 0; i < 5000; ++i) {
    seed = seed * 1103515245 + 12345;
    garbage += static_cast<char>(seed >> 24);
  }
  const Checked checked = CheckInEveryCut(garbage);
  EXPECT_GT(checked.faults.size(), 0u);
  EXPECT_EQ(checked.bytes, std::vector<std::uint8_t>{});
  for (const std::string& fault : checked.faults) {
    for (const char c : fault) {
      EXPECT_FALSE(static_cast<unsigned char>(c) < 0x20 || c == 0x7F) << fault;
    }
  }
}

TEST(ListingCheck, BytesAreKeptOnlyWhenAsked) {
  const std::string listing = kLine0 + "\n" + kLine8 + "\n";
  EXPECT_EQ(CheckListing(listing, 0, true).bytes.size(), 16u);
  EXPECT_EQ(CheckListing(listing, 0, false).bytes.size(), 0u);
}

// New MLX listings: lines from 0801 as the magazines printed them, one line typed otherwise in
// each way a typist errs; the checksum weighs the address and each place, so the search names
// the mistake where lbe's own sum could not.
TEST(ListingCheck, NewMlxListingsTheFixOfEachMistake) {
  const std::string before = "0801: 0B 08 0A 00 9E 32 33 30 2E\n0809: 30 00 00 00 00 00 44 AA 64\n";
  const std::string after = "0819: 20 D2 FF 60 00 01 02 03 FE\n0821: EA EA EA EA EA EA EA EA 31\n";
  const struct {
    std::string typed;
    std::vector<std::string> faults;
  } cases[] = {
      {"0811: A9 37 85 FC A9 D7 85 FE FA", {}},
      {"0811:a93785fca9d785fefa", {}},  // as the entry program showed it: no blanks
      {"0811: A9 37 B5 FC A9 D7 85 FE FA",
       {"3: 0811: checksum FA typed, 01 computed; perhaps 0813 is 85, not B5 (8 and B look "
        "alike)"}},
      {"0811: A9 38 75 FC A9 D7 85 FE FA",
       {"3: 0811: checksum FA typed, 39 computed; perhaps 0812 and 0813 are 37 85, not 38 75 "
        "(digits swapped)"}},
      {"0811: 37 A9 85 FC A9 D7 85 FE FA",
       {"3: 0811: checksum FA typed, 5E computed; perhaps 0811 and 0812 are A9 37, not 37 A9 "
        "(exchanged)"}},
      // Neighbours exchanged rank before a swap of digits that fits as well.
      {"0811: 17 5C 64 3C 7D B0 EC B5 CA",
       {"3: 0811: checksum CA typed, 52 computed; perhaps 0816 and 0817 are EC B0, not B0 EC "
        "(exchanged), or 0814 is C3, not 3C (digits swapped)"}},
      // A byte left out: each place fits a value of its own, so the places are named.
      {"0811: A9 37 85 FC A9 D7 FE FA",
       {"3: 0811: 7 bytes, 8 expected; perhaps 0811 is E5 (a byte left out), or 0812 is 22 (a "
        "byte left out), or 0813 is 0D (a byte left out), and 5 more like these"}},
      {"0811:A93785FCCA9D785FEFA",
       {"3: 0811: 17 hexadecimal digits, 16 expected; perhaps 0815 is A9 (C typed twice)"}},
      {"0811: A9 37 85 FC A9 D7 D7 85 FE FA",
       {"3: 0811: 9 bytes, 8 expected; perhaps D7 at 0816 typed twice"}},
      {"0811: A9 37 85 FC A9 D7 85 FE AF",
       {"3: 0811: checksum AF typed, FA computed; perhaps the checksum is FA, not AF (digits "
        "swapped)"}},
      {"0811: A9 37 85 FC A9 D7 8S FE FA",
       {"3: 0811: not a hexadecimal digit 'S'; read as 5, the line checks out"}},
      // Keyed at a wrong address: the line checks out at the expected one, one fault.
      {"0B11: A9 37 85 FC A9 D7 85 FE FA",
       {"3: 0B11: address 0811 expected, 0B11 found; the line checks out at 0811"}},
      {"", {"3: 0819: line 0811 missing"}},
      {"10811: A9 37 85 FC A9 D7 85 FE FA",
       {"3: 10811: address 0811 expected, 10811 found; the line checks out at 0811"}},
      // lbe's own checksum of these bytes: wrong here.
      {"0811 A937 85FC A9D7 85FE:64", {"3: 0811: checksum 64 typed, FA computed"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.typed);
    const std::string listing = before + (c.typed.empty() ? "" : c.typed + "\n") + after;
    EXPECT_EQ(CheckListing(listing, 0, true, ListingStyle::NewMlx).faults, c.faults);
  }
  // C400 weighs as C008 does: a line there checks out at both, and the next line tells that lines
  // were left out. Sum rows, lbe's own, are checked as ever.
  EXPECT_EQ(CheckListing("BFF8: 01 02 03 04 05 06 07 08 70\nC000: 01 02 03 04 05 06 07 08 79\n"
                         "C400: 01 02 03 04 05 06 07 08 81\nC408: 01 02 03 04 05 06 07 08 89\n"
                         "SUM  04080C1014181C20:90\n",
                         0, true, ListingStyle::NewMlx)
                .faults,
            std::vector<std::string>{"3: C400: lines C008 to C3F8 missing"});
  // Addresses have 16 bits: a listing that runs on past FFFF is none of the form.
  EXPECT_EQ(
      CheckListing("FFF8: 01 02 03 04 05 06 07 08 F0\n10000: 01 02 03 04 05 06 07 08 F7\n", 0, true,
                   ListingStyle::NewMlx)
          .faults,
      std::vector<std::string>{"2: 10000: address 10000 past FFFF, where New MLX addresses end"});
}

// A listing checked in the other style fails every line; the check counts the lines that the
// other style passes, so that it can say which style the listing is in.
TEST(ListingCheck, LinesThatCheckOutOnlyInTheOtherStyleAreCounted) {
  const std::string mlx = "C000: A9 37 85 FC A9 D7 85 FE 5B\n1F29: 2B 0F 60 00 00 00 00 00 CC\n";
  const std::string own = "C000 A93785FCA9D785FE:64\nC008 A93785FCA9D785FE:65\n";
  const struct {
    std::string listing;
    ListingStyle style;
    std::uint64_t other;
  } cases[] = {
      {mlx, ListingStyle::Lbe, 2},
      {mlx, ListingStyle::NewMlx, 0},
      {own, ListingStyle::NewMlx, 1},  // C008's 65 is wrong in both
      {own, ListingStyle::Lbe, 0},
  };
  for (const auto& c : cases) {
    ListingCheck check(
        false, [](const ListingFault&) {}, c.style);
    check.Feed(c.listing);
    check.Finish();
    EXPECT_EQ(check.OtherStyleLines(), c.other) << c.listing;
  }
}

}  // namespace
}  // namespace lbe::listing
