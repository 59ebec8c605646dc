#include "image/line_text.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>

namespace lbe::image {
namespace {

// Lines as the magazines printed them, and the all-zero edge the rule writes as 00 or FF.
TEST(MlxLineSum, MatchesPublishedLines) {
  const struct {
    std::uint16_t address;
    std::array<std::uint8_t, 8> bytes;
    std::uint8_t sum;
  } cases[] = {
      {0xC000, {0xA9, 0x37, 0x85, 0xFC, 0xA9, 0xD7, 0x85, 0xFE}, 0x5B},
      {0x0801, {0x0B, 0x08, 0x0A, 0x00, 0x9E, 0x32, 0x33, 0x30}, 0x2E},
      {0x0809, {0x30, 0x00, 0x00, 0x00, 0x00, 0x00, 0x44, 0xAA}, 0x64},
      {0x1F29, {0x2B, 0x0F, 0x60, 0x00, 0x00, 0x00, 0x00, 0x00}, 0xCC},
      {0x0000, {}, 0x00},
      {0x0000, {0xFF}, 0xFF},  // 255 weighed by 128 is a multiple of 255, but not all zero
      {0x0001, {}, 0x01},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MlxLineSum(c.address, c.bytes), c.sum) << std::hex << c.address;
  }
}

}  // namespace
}  // namespace lbe::image
