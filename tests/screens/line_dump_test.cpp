#include "screens/line_dump.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "console/text_output.h"
#include "console/window.h"
#include "image/line_text.h"
#include "image/memory_image.h"
#include "stepping_console.h"

namespace {

class LineDump : public lbe::testing::SteppingTest {
 protected:
  void Put(std::int32_t address, std::vector<std::uint8_t> bytes) {
    for (std::uint8_t byte : bytes) {
      image::Image[address++] = byte;
    }
  }
};

TEST_F(LineDump, ChecksumIsTheByteSumModulo256) {
  const struct {
    std::vector<std::uint8_t> bytes;
    int checksum;
  } cases[] = {
      {{0, 0, 0, 0, 0, 0, 0, 0}, 0x00},
      {{0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}, 0xC0},
      {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 0xF8},
      {{0x80, 0x80, 0, 0, 0, 0, 0, 0}, 0x00},
      {{0, 0, 0, 0, 0, 0, 0, 0x7F}, 0x7F},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    Put(0x0010, c.bytes);
    EXPECT_EQ(image::LineChecksum(0x0010), c.checksum);
  }
}

TEST_F(LineDump, ChecksumReadsOnlyItsOwnEightBytes) {
  image::Image[0x0017] = 0x11;
  image::Image[0x0018] = 0x22;
  image::Image[0x001F] = 0x33;
  image::Image[0x0020] = 0x44;
  EXPECT_EQ(image::LineChecksum(0x0010), 0x11);
  EXPECT_EQ(image::LineChecksum(0x0018), 0x55);
  EXPECT_EQ(image::LineChecksum(0x0020), 0x44);
}

TEST_F(LineDump, LastLineOfTheImage) {
  Put(0xFFF8, {1, 2, 3, 4, 5, 6, 7, 0xFF});
  EXPECT_EQ(image::LineChecksum(0xFFF8), 0x1B);
  EXPECT_EQ(image::LineDumpText(0xFFF8), "FFF8 01020304050607FF:");
}

TEST_F(LineDump, TextHasUpperCaseDigitsAndFixedWidths) {
  Put(0x0010, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF});
  Put(0x0100, {0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10, 0x11});
  Put(0x00F8, {10, 0, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(image::LineDumpText(0x0000), "0000 0000000000000000:");
  EXPECT_EQ(image::LineDumpText(0x0010), "0010 0123456789ABCDEF:");
  EXPECT_EQ(image::LineDumpText(0x0100), "0100 0A0B0C0D0E0F1011:");
  EXPECT_EQ(image::LineDumpText(0x00F8), "00F8 0A00000000000000:");
}

TEST_F(LineDump, DumpAndChecksumAreWrittenAtTheCursorInOneWriteEach) {
  Put(0x0010, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF});
  console::MoveCursor(5, 3);
  screen.Writes.clear();
  screens::WriteLineDump(0x0010);
  screens::WriteLineChecksum(0x0010);
  EXPECT_EQ(screen.Writes, (std::vector<std::string>{"0010 0123456789ABCDEF:", "C0"}));
  EXPECT_EQ(Row(3), "    0010 0123456789ABCDEF:C0");
  EXPECT_EQ(CursorColumn(), 29);
  EXPECT_EQ(CursorRow(), 3);
  EXPECT_EQ(Row(1), "");
  EXPECT_EQ(Row(4), "");
}

TEST_F(LineDump, ZeroedLineShowsTwentyFourCharacters) {
  screens::WriteLineDump(0x0000);
  screens::WriteLineChecksum(0x0000);
  EXPECT_EQ(Row(1), "0000 0000000000000000:00");
  EXPECT_EQ(CursorColumn(), 25);
}

TEST_F(LineDump, NibbleColumnsRunFromSixToTwentyOne) {
  const struct {
    int nibble;
    int column;
  } cases[] = {{0, 6}, {1, 7}, {2, 8}, {7, 13}, {14, 20}, {15, 21}};
  for (const auto& c : cases) {
    EXPECT_EQ(screens::NibbleScreenColumn(c.nibble), c.column) << "nibble " << c.nibble;
  }
}

TEST_F(LineDump, EditLineOfTheStartLineShowsDashes) {
  image::SetStartAddress(0x0100);
  screens::DrawEditLine(0x20, 0);
  EXPECT_EQ(Row(1), "0100 0000000000000000:00 [--]");
  EXPECT_EQ(CursorColumn(), 6);
  EXPECT_EQ(CursorRow(), 1);
}

TEST_F(LineDump, EditLineAfterTheStartLineShowsThePreviousChecksum) {
  image::SetStartAddress(0x0100);
  screens::DrawEditLine(0x21, 15);
  EXPECT_EQ(Row(1), "0108 0000000000000000:00 [00]");
  EXPECT_EQ(CursorColumn(), 21);

  Put(0x0100, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF});
  Put(0x0108, {0xFF, 0, 0, 0, 0, 0, 0, 0x02});
  screens::DrawEditLine(0x21, 4);
  EXPECT_EQ(Row(1), "0108 FF00000000000002:01 [C0]");
  EXPECT_EQ(CursorColumn(), 10);
}

TEST_F(LineDump, EditLineAboveTheStartLineShowsDashes) {
  image::SetStartAddress(0x0100);
  image::Image[0x00F8] = 0x05;
  screens::DrawEditLine(0x1F, 0);
  EXPECT_EQ(Row(1), "00F8 0500000000000000:05 [--]");
}

TEST_F(LineDump, EditLineIsFiveWritesAndLeavesTheRestOfTheScreen) {
  console::MoveCursor(1, 1);
  console::Write(std::string(40, 'x'));
  console::MoveCursor(1, 2);
  console::Write("below");
  image::SetStartAddress(0x0000);
  screen.Writes.clear();
  screens::DrawEditLine(0, 0);
  EXPECT_EQ(screen.Writes,
            (std::vector<std::string>{"0000 0000000000000000:", "00", " [", "--", "]"}));
  EXPECT_EQ(Row(1), "0000 0000000000000000:00 [--]xxxxxxxxxxx");
  EXPECT_EQ(Row(2), "below");
  EXPECT_EQ(CursorColumn(), 6);
}

TEST_F(LineDump, LastLineEditLine) {
  image::SetStartAddress(0x0000);
  Put(0xFFF0, {0, 0, 0, 0, 0, 0, 0, 0x10});
  screens::DrawEditLine(8191, 15);
  EXPECT_EQ(Row(1), "FFF8 0000000000000000:00 [10]");
  EXPECT_EQ(CursorColumn(), 21);
}

}  // namespace
