#include "image/address_text.h"

#include <gtest/gtest.h>

#include <string>

#include "image/memory_image.h"

namespace lbe::image {
namespace {

TEST(AddressText, ParsesHexadecimalOrGivesTheFallback) {
  const struct {
    std::string text;
    std::int32_t expected;
  } cases[] = {
      {"12", 0x12},
      {"0FFF", 0x0FFF},
      {"ffff", 0xFFFF},
      {"aBcD", 0xABCD},
      {"12345", 0x12345},
      {"000000012", 0x12},  // leading zeros are not significant digits
      {"7FFFFFFF", 0x7FFFFFFF},
      {"80000000", -2147483647 - 1},  // bit 31 set: a negative 32-bit value
      {"FFFFFFFF", -1},
      {"", -7},
      {"xyz", -7},
      {"-5", -7},
      {"+5", -7},
      {" 12", -7},
      {"12 ", -7},
      {"0x12", -7},       // the rule puts its own prefix in front: a second one fails
      {"123456789", -7},  // nine significant digits need more than 32 bits
      {"1G", -7},
      {"1g", -7},
      {"1/", -7},
      {"1:", -7},
      {"1@", -7},
      {"1`", -7},
      {"1\xC1", -7},  // "A" with the top bit set
      {"09af", 0x09AF},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ParseAddressText(c.text, -7), c.expected);
  }
}

TEST(AddressText, HexTextIsUpperCaseWithMinimumWidth) {
  EXPECT_EQ(HexText(10, 2), "0A");
  EXPECT_EQ(HexText(248, 4), "00F8");
  EXPECT_EQ(HexText(0x12345, 4), "12345");
  EXPECT_EQ(HexText(-1, 4), "FFFFFFFF");
}

class AddressRangeTest : public ::testing::Test {
 protected:
  void SetUp() override { Range = {}; }
};

TEST_F(AddressRangeTest, StartIsRoundedDownToLineAndCutTo16Bits) {
  const struct {
    std::string text;
    std::int32_t start;
    std::int32_t line;
    std::int32_t end;
  } cases[] = {
      {"12345", 0x2340, 0x468, 0x2347},
      {"10000", 0x0000, 0, 0x0007},
      {"0FFF", 0x0FF8, 511, 0x0FFF},
      {"FFFF", 0xFFF8, 8191, 0xFFFF},
      {"", 0, 0, 7},
      {"xyz", 0, 0, 7},
      {"FFFFFFFF", 0xFFF8, 8191, 0xFFFF},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    Range.EndLine = 99;
    SetStartAddress(ParseAddressText(c.text, 0));
    EXPECT_EQ(Range.StartAddress, c.start);
    EXPECT_EQ(Range.StartLine, c.line);
    EXPECT_EQ(Range.EndLine, c.line);
    EXPECT_EQ(RangeEndAddress(), c.end);
  }
}

TEST_F(AddressRangeTest, NewStartLeavesTheImageAlone) {
  Image[0x0100] = 0xAB;
  SetStartAddress(0x0100);
  SetStartAddress(0x0200);
  EXPECT_EQ(Image[0x0100], 0xAB);
  EXPECT_EQ(Range.EndLine, 0x40);
}

}  // namespace
}  // namespace lbe::image
