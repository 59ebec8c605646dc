#include "image/edit_history.h"

#include <gtest/gtest.h>

#include <cstdint>

#include "image/memory_image.h"

namespace lbe::image {
namespace {

// The history keeps the last 10000 changes: the change before them goes, and each of them is
// taken back.
TEST(EditHistory, KeepsTheLast10000Changes) {
  Image = {};
  Range = {};
  ClearHistory();
  constexpr std::int32_t kChanges = 10'001;
  for (std::int32_t address = 0; address < kChanges; ++address) {
    BeginChange({address / kLineBytes, 0});
    NoteByte(address);
    Image[address] = 0x5A;
    EndChange();
  }
  int undone = 0;
  while (Undo()) {
    ++undone;
  }
  EXPECT_EQ(undone, 10'000);
  EXPECT_EQ(Image[0], 0x5A);
  EXPECT_EQ(Image[1], 0);
  EXPECT_EQ(Image[kChanges - 1], 0);
  ClearHistory();
  Image = {};
}

}  // namespace
}  // namespace lbe::image
