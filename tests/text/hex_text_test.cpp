#include "text/hex_text.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace lbe::text
