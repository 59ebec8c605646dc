#include "console/text_output.h"

#include <gtest/gtest.h>

#include <string>

#include "console/console_start.h"
#include "console/emulated_console.h"
#include "console/window.h"
#include "screens/program.h"
#include "scroll_counting_console.h"

namespace lbe::console {
namespace {

// The start-up window, 80 x 25, on a screen buffer wider and taller than it.
class TextOutputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    screens::ResetProgramState();
    ConsoleStart(screen);
  }
  void TearDown() override { ConsoleStop(); }

  std::string Row(int row, int from = 1, int count = 80) const {
    return screen.RowText(row - 1).substr(static_cast<std::size_t>(from - 1),
                                          static_cast<std::size_t>(count));
  }
  CellPos Cursor() const { return {screen.Cursor().X + 1, screen.Cursor().Y + 1}; }

  ScrollCountingConsole screen{100, 30};
};

TEST_F(TextOutputTest, LineEndMovesToColumnOneOfTheNextRow) {
  Write("abc\r\n");
  EXPECT_EQ(Row(1, 1, 4), "abc ");
  EXPECT_EQ(Cursor(), (CellPos{1, 2}));
  WriteLine();
  EXPECT_EQ(Cursor(), (CellPos{1, 3}));
  EXPECT_EQ(Row(2, 1, 3), "   ");
}

TEST_F(TextOutputTest, TextReachingTheRightEdgeGoesOnOnTheNextRow) {
  Write(std::string(80, 'a'));
  EXPECT_EQ(Row(1), std::string(80, 'a'));
  EXPECT_EQ(Cursor(), (CellPos{81, 1}));  // no line feed after a full row

  MoveCursor(1, 3);
  Write(std::string(80, 'b') + std::string(20, 'c'));
  EXPECT_EQ(Row(3), std::string(80, 'b'));
  EXPECT_EQ(Row(4, 1, 21), std::string(20, 'c') + " ");
  EXPECT_EQ(Row(3, 81, 5), "     ");  // nothing beyond the window's edge
  EXPECT_EQ(Cursor(), (CellPos{21, 4}));

  MoveCursor(70, 6);
  Write("0123456789abcdefghij");
  EXPECT_EQ(Row(6, 70, 11), "0123456789a");
  EXPECT_EQ(Row(7, 1, 10), "bcdefghij ");
}

TEST_F(TextOutputTest, FullRowThenNextWriteStartsOnTheNextRow) {
  MoveCursor(70, 1);
  Write("0123456789a");
  EXPECT_EQ(Cursor(), (CellPos{81, 1}));
  Write("xy");
  EXPECT_EQ(Row(1, 81, 2), "  ");
  EXPECT_EQ(Row(2, 1, 3), "xy ");
  EXPECT_EQ(Cursor(), (CellPos{3, 2}));
}

TEST_F(TextOutputTest, LineEndOnTheBottomRowScrollsTheWindow) {
  for (int row = 1; row <= 25; ++row) {
    MoveCursor(1, static_cast<std::uint8_t>(row));
    Write("row " + std::to_string(row));
  }
  MoveCursor(1, 24);
  Write("\r\n");  // from the row above the bottom: down, no scroll
  EXPECT_EQ(Cursor(), (CellPos{1, 25}));
  EXPECT_EQ(Row(1, 1, 6), "row 1 ");
  MoveCursor(1, 25);
  Write("end\r\n");
  EXPECT_EQ(Row(1, 1, 6), "row 2 ");
  EXPECT_EQ(Row(24, 1, 6), "end 25");
  EXPECT_EQ(Row(25, 1, 6), "      ");
  EXPECT_EQ(Cursor(), (CellPos{1, 25}));
  EXPECT_EQ(screen.ScrolledRows(), 0);  // the window scrolled, not the buffer
}

TEST_F(TextOutputTest, OnlyTheFirstLineEndOfAPieceIsTheWindows) {
  Write("ab\r\ncd\r\n");
  EXPECT_EQ(Row(1, 1, 3), "ab ");
  EXPECT_EQ(Row(2, 1, 3), "cd ");
  EXPECT_EQ(Cursor(), (CellPos{1, 3}));  // the console's own line end

  MoveCursor(1, 25);
  Write("ab\r\ncd\r\n");
  EXPECT_EQ(Row(24, 1, 3), "ab ");
  EXPECT_EQ(Row(25, 1, 3), "cd ");
  EXPECT_EQ(Cursor(), (CellPos{1, 26}));  // below the window, which did not scroll
}

TEST_F(TextOutputTest, PieceIsCutBeforeItsLineEndIsLookedFor) {
  Write("ab\r\n" + std::string(76, 'x') + std::string(24, 'y'));
  EXPECT_EQ(Row(1, 1, 3), "ab ");
  EXPECT_EQ(Row(2, 1, 77), std::string(76, 'x') + " ");
  EXPECT_EQ(Row(3, 1, 25), std::string(24, 'y') + " ");
}

TEST_F(TextOutputTest, LeadingLineEndsAreTakenBeforeText) {
  MoveCursor(5, 1);
  Write("\r\n\n\nx");
  EXPECT_EQ(Row(4, 1, 2), "x ");
  EXPECT_EQ(Cursor(), (CellPos{2, 4}));
}

TEST_F(TextOutputTest, LongWriteStatementIsFlushedInRunsOf128Bytes) {
  // 127 bytes, then a character of two bytes that must not be split between two flushes.
  Write(std::string(127, 'a') + "\xC3\xA9" + "b");
  EXPECT_EQ(Row(2, 47, 5),
            "a\xC3\xA9"
            "b ");
  EXPECT_EQ(Cursor(), (CellPos{50, 2}));
  EXPECT_EQ(OutputBuffer.Pending, 0u);
}

TEST_F(TextOutputTest, WideTextIsCountedInCellsAndNeverCut) {
  // 41 characters of two cells: 40 fill the row, the last goes on the next row.
  std::string wide;
  for (int i = 0; i < 41; ++i) {
    wide += "\xE3\x81\x82";  // HIRAGANA LETTER A
  }
  Write(wide);
  EXPECT_EQ(screen.CellAt({78, 0}).Character, U'\u3042');
  EXPECT_EQ(screen.CellAt({79, 0}).Character, kWideTail);
  EXPECT_EQ(screen.CellAt({80, 0}).Character, U' ');
  EXPECT_EQ(screen.CellAt({0, 1}).Character, U'\u3042');
  EXPECT_EQ(Cursor(), (CellPos{3, 2}));

  // One cell left in the row: the wide character starts the next row instead.
  MoveCursor(80, 5);
  Write("\xE3\x81\x82");
  EXPECT_EQ(screen.CellAt({79, 4}).Character, U' ');
  EXPECT_EQ(screen.CellAt({0, 5}).Character, U'\u3042');
}

TEST_F(TextOutputTest, JapaneseMessageWithLineEndsStandsOnItsOwnRows) {
  Write("\xE6\x8C\x87\xE5\xAE\x9A\r\n[sub/x.bin]");
  EXPECT_EQ(Row(1, 1, 7), "\xE6\x8C\x87\xE5\xAE\x9A ");
  EXPECT_EQ(Row(2, 1, 12), "[sub/x.bin] ");
}

TEST_F(TextOutputTest, ControlCharactersFromDataAreStoredNotActedOnBeyondTheConsolesOwn) {
  Write("a\x1b[2Jb");
  EXPECT_EQ(screen.CellAt({1, 0}).Character, U'\x1b');
  EXPECT_EQ(Row(1, 1, 6), "a\x1b[2Jb");
}

}  // namespace
}  // namespace lbe::console
