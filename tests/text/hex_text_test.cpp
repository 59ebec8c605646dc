#include "text/hex_text.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <locale>

namespace lbe::text {
namespace {

TEST(HexText, UpperCaseDigitsPaddedToTheLeastWidth) {
  const struct {
    std::uint64_t value;
    int digits;
    std::string_view text;
  } cases[] = {
      {0, 1, "0"},
      {0, 0, "0"},
      {0xAB, 4, "00AB"},
      {0x14000, 1, "14000"},
      {0xFFFF, 2, "FFFF"},
      {0xFFFFFFFF, 8, "FFFFFFFF"},
      {0x7FFFFFFFFFFEFFFF, 4, "7FFFFFFFFFFEFFFF"},
      {UINT64_MAX, 20, "0000FFFFFFFFFFFFFFFF"},
  };
  for (const auto& c : cases) {
    std::string text = "x";
    AppendHexDigits(text, c.value, c.digits);
    EXPECT_EQ(text, "x" + std::string(c.text)) << c.value << " in " << c.digits;
  }
}

// The C++ library's reading of one character, in the classic locale, is the oracle.
TEST(HexText, EveryByteReadsAsTheCLibraryReadsIt) {
  for (int byte = 0; byte < 256; ++byte) {
    const char c = static_cast<char>(byte);
    const char text[] = {c, '\0'};
    char* end = nullptr;
    const long value = std::strtol(text, &end, 16);
    const std::locale& classic = std::locale::classic();
    const bool lower = std::islower(c, classic);
    const int expected =
        std::isxdigit(c, classic) && end == text + 1 ? static_cast<int>(value) : -1;
    SCOPED_TRACE(byte);
    EXPECT_EQ(HexDigitValue(c), expected);
    EXPECT_EQ(HexDigitValue(static_cast<char32_t>(byte)), expected);
    EXPECT_EQ(UpperHexDigitValue(c), lower ? -1 : expected);
    EXPECT_EQ(UpperHexDigitValue(static_cast<char32_t>(byte)), lower ? -1 : expected);
  }
}

TEST(HexText, NoCharacterPastAsciiIsADigit) {
  // Each is an ASCII digit with a high bit set, or a wide form of one.
  for (const char32_t c :
       {U'\x130', U'\x141', U'\x161', U'\x10030', U'\xFF10', U'\xFF21', U'\xFF41'}) {
    SCOPED_TRACE(static_cast<std::uint32_t>(c));
    EXPECT_EQ(HexDigitValue(c), -1);
    EXPECT_EQ(UpperHexDigitValue(c), -1);
  }
}

}  // namespace
}  // namespace lbe::text
