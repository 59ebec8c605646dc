#include "image/byte_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "image/memory_image.h"
#include "text/hex_text.h"

namespace lbe::image {
namespace {

// The bytes as "3E ?? 12", or the error text.
std::string Parsed(std::string_view text) {
  const FindPattern pattern = ParseFindPattern(text);
  std::string shown = pattern.Error;
  for (const PatternByte& byte : pattern.Bytes) {
    shown += (shown.empty() ? "" : " ") + (byte.Any ? "??" : text::HexDigits(byte.Value, 2));
  }
  return shown;
}

TEST(ByteSearch, ParsesHexWildcardsAndQuotedText) {
  const struct {
    std::string text;
    std::string expected;
  } cases[] = {
      {"3E00D3", "3E 00 D3"},
      {" 3e 00\td3 ", "3E 00 D3"},
      {"CD ?? 12", "CD ?? 12"},
      {"CD??12????", "CD ?? 12 ?? ??"},
      {"\"Hi\"", "48 69"},
      {"\"a \"\"b\"\"\"", "61 20 22 62 22"},  // "" inside is one quote
      {"\"\xC3\xA9\t\"", "C3 A9 09"},         // é and a tab, as typed
      {"\"OK\" 0D 0A", "4F 4B 0D 0A"},
      {"\"OK\"0d??", "4F 4B 0D ??"},
      {" \t ", ""},
      {"3E0", "odd number of hex digits in \"3E0\" at column 1"},
      {"3E\xC3\xA9 D", "\"\xC3\xA9\" at column 3 is not a hex digit, \"??\" or a quote"},
      {"\"\xC3\xA9\" 00 D", "odd number of hex digits in \"D\" at column 8"},  // é: one column
      {"0123456789ABCDEF0", "odd number of hex digits in \"012345678...\" at column 1"},
      {"CD ? 12", "a lone \"?\" at column 4: \"??\" stands for any byte"},
      {"???", "a lone \"?\" at column 3: \"??\" stands for any byte"},
      {"3Ex0", "\"x\" at column 3 is not a hex digit, \"??\" or a quote"},
      {"09af AF", "09 AF AF"},
      {"3Eg0", "\"g\" at column 3 is not a hex digit, \"??\" or a quote"},
      {"3EG0", "\"G\" at column 3 is not a hex digit, \"??\" or a quote"},
      {"3E/0", "\"/\" at column 3 is not a hex digit, \"??\" or a quote"},
      {"3E:0", "\":\" at column 3 is not a hex digit, \"??\" or a quote"},
      {"3E@0", "\"@\" at column 3 is not a hex digit, \"??\" or a quote"},
      {"3E`0", "\"`\" at column 3 is not a hex digit, \"??\" or a quote"},
      {"3E\xC1", "byte 0xC1 at column 3 is not a hex digit, \"??\" or a quote"},
      {"\u202E41", "U+202E at column 1 is not a hex digit, \"??\" or a quote"},
      {"41\xFF", "byte 0xFF at column 3 is not a hex digit, \"??\" or a quote"},
      {"\"HELLO", "quoted text from column 1 has no closing quote"},
      {"41 \"A\"\"", "quoted text from column 4 has no closing quote"},
      {"\"\"", "empty text \"\" at column 1 matches nothing"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(Parsed(c.text), c.expected);
  }
}

TEST(ByteSearch, FindsForwardsThenAroundFromTheRangeStart) {
  Image = {};
  const auto put = [](std::int32_t address, std::string_view bytes) {
    std::copy(bytes.begin(), bytes.end(), Image.Bytes.begin() + address);
  };
  put(0x0000, "\xAA\xBB\xCC");
  put(0x1006, "\x11\x22\x33\x44");  // across two lines
  put(0x2000, "\x55\x66\x67");
  put(0x3000, std::string(63, 'x') + "yz");  // the first 64 bytes of the long text below
  put(0x4000, std::string(63, 'x') + "y!");
  put(0xFFFB, "\x55\x66\x77\x88\x99");  // 55 66 67 would cross FFFF
  const std::string longText = '"' + std::string(63, 'x') + "y!\"";
  const struct {
    std::string pattern;
    std::int32_t from;
    std::int32_t wrapTo;
    FindResult expected;
  } cases[] = {
      {"AA BB CC", 0x0000, 0x0000, {0x0000, false}},
      {"11 ?? 33 44", 0x0000, 0x0000, {0x1006, false}},
      {"11223344", 0x1006, 0x1000, {0x1006, false}},  // exactly at from
      {"11223344", 0x1007, 0x1000, {0x1006, true}},
      {"77 88 99", 0x8000, 0x0000, {0xFFFD, false}},  // ends exactly at FFFF
      {"55 66 67", 0xF000, 0x0000, {0x2000, true}},
      {"55 66", 0xF000, 0x0000, {0xFFFB, false}},
      {"?? ??", 0xFFFF, 0x0100, {0x0100, true}},
      {longText, 0x0000, 0x0000, {0x4000, false}},
      {"12 34 56", 0x0000, 0x0000, {std::nullopt, false}},
      {"AA BB CC", 0x3000, 0x0008, {std::nullopt, false}},  // only before wrapTo
      {"AA BB CC", 0x0000, 0x0008, {std::nullopt, false}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pattern + " from " + std::to_string(c.from));
    EXPECT_EQ(FindInImage(ParseFindPattern(c.pattern), c.from, c.wrapTo), c.expected);
  }
}

}  // namespace
}  // namespace lbe::image
