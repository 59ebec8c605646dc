#include "console/emulated_console.h"

#include <gtest/gtest.h>

#include "scroll_counting_console.h"

namespace lbe::console {
namespace {

std::string Trimmed(std::string text) {
  text.erase(text.find_last_not_of(' ') + 1);
  return text;
}

TEST(EmulatedConsole, ProcessedOutputActsOnCrLfBsTabAndBel) {
  EmulatedConsole screen(20, 5);
  screen.WriteBytes("abc\rX\nde\bY\tZ\a!");
  EXPECT_EQ(Trimmed(screen.RowText(0)), "Xbc");
  EXPECT_EQ(Trimmed(screen.RowText(1)), "dY      Z!");
  EXPECT_EQ(screen.Cursor(), (CellPos{10, 1}));
}

TEST(EmulatedConsole, OtherControlsAreStoredInCells) {
  EmulatedConsole screen(20, 5);
  screen.WriteBytes(std::string("a\x1b\x7f\0b", 5));
  screen.WriteBytes("\xC2\x9B\xE2\x80\xAE");  // a C1 control and a bidirectional override
  EXPECT_EQ(screen.CellAt({1, 0}).Character, U'\x1b');
  EXPECT_EQ(screen.CellAt({2, 0}).Character, U'\x7f');
  EXPECT_EQ(screen.CellAt({3, 0}).Character, U'\0');
  EXPECT_EQ(screen.CellAt({5, 0}).Character, U'\x9b');
  EXPECT_EQ(screen.CellAt({6, 0}).Character, U'\u202E');
  EXPECT_EQ(screen.Cursor(), (CellPos{7, 0}));
}

TEST(EmulatedConsole, MalformedUtf8BecomesReplacementCharacters) {
  EmulatedConsole screen(20, 5);
  screen.WriteBytes("\xFF\xC3(");
  EXPECT_EQ(screen.CellAt({0, 0}).Character, U'\uFFFD');
  EXPECT_EQ(screen.CellAt({1, 0}).Character, U'\uFFFD');
  EXPECT_EQ(screen.CellAt({2, 0}).Character, U'(');
}

TEST(EmulatedConsole, WrapsAtTheBufferEdgeAndScrollsTheWholeBufferAtItsBottom) {
  ScrollCountingConsole screen(4, 3);
  screen.WriteBytes("abcd");
  EXPECT_EQ(screen.Cursor(), (CellPos{0, 1}));  // wraps at once after the last column
  screen.WriteBytes("efgh\nij");
  EXPECT_EQ(screen.ScrolledRows(), 1);
  EXPECT_EQ(screen.RowText(0), "efgh");
  EXPECT_EQ(screen.RowText(1), "    ");
  EXPECT_EQ(screen.RowText(2), "ij  ");
  EXPECT_EQ(screen.Cursor(), (CellPos{2, 2}));
}

TEST(EmulatedConsole, WideCharactersTakeTwoCellsAndBreakWhenOverwritten) {
  EmulatedConsole screen(6, 2);
  screen.WriteBytes("\xE3\x81\x82\xE3\x81\x84");
  EXPECT_EQ(screen.RowText(0), "\xE3\x81\x82\xE3\x81\x84  ");
  screen.SetCursorPosition({1, 0});
  screen.WriteBytes("x");
  EXPECT_EQ(screen.RowText(0), " x\xE3\x81\x84  ");
  screen.SetCursorPosition({5, 0});
  screen.WriteBytes("\xE3\x81\x86");  // does not fit in the last column
  EXPECT_EQ(screen.RowText(1), "\xE3\x81\x86    ");
}

TEST(EmulatedConsole, FillsRunAlongTheRowAndIntoTheNextRows) {
  EmulatedConsole screen(4, 3);
  screen.FillCharacter({2, 0}, 5, U'#');
  screen.FillAttribute({2, 0}, 5, 0x1E);
  EXPECT_EQ(screen.RowText(0), "  ##");
  EXPECT_EQ(screen.RowText(1), "### ");
  EXPECT_EQ(screen.CellAt({2, 1}).Attribute, 0x1E);
  EXPECT_EQ(screen.CellAt({3, 1}).Attribute, 0x07);
  screen.FillCharacter({3, 2}, 10, U'!');  // clipped at the buffer's end
  EXPECT_EQ(screen.RowText(2), "   !");
  EXPECT_EQ(screen.Cursor(), (CellPos{0, 0}));
}

TEST(EmulatedConsole, ScrollRectangleMovesAndFillsWhatItLeaves) {
  ScrollCountingConsole screen(5, 4);
  screen.WriteBytes("abcdefghijklmnopqrs");
  screen.ScrollRectangle({1, 1}, {3, 3}, {0, 0}, U'.', 0x1F);
  EXPECT_EQ(screen.RowText(0), "ghide");
  EXPECT_EQ(screen.RowText(1), "lmn.j");
  EXPECT_EQ(screen.RowText(2), "qrs.o");
  EXPECT_EQ(screen.RowText(3), "p... ");
  EXPECT_EQ(screen.CellAt({1, 3}).Attribute, 0x1F);
  EXPECT_EQ(screen.CellAt({4, 3}).Attribute, 0x07);
  EXPECT_EQ(screen.ScrolledRows(), 0);
}

TEST(EmulatedConsole, ReadLineEditsLikeAConsole) {
  EmulatedConsole screen(40, 5);
  screen.WriteBytes("Goto:");
  screen.TypeText("1x3");
  screen.PressKey(Vk::Left);
  screen.PressKey(Vk::Backspace);  // removes x
  screen.TypeText("2");
  screen.PressKey(Vk::End);
  screen.TypeText("4");
  screen.PressKey(Vk::Home);
  screen.PressKey(Vk::Delete);  // removes 1
  screen.PressKey(Vk::Enter, U'\r');
  EXPECT_EQ(screen.ReadLine(), "234");
  EXPECT_EQ(Trimmed(screen.RowText(0)), "Goto:234");
  EXPECT_EQ(screen.Cursor(), (CellPos{0, 1}));
}

TEST(EmulatedConsole, ReadLineEscClearsAndUpRecalls) {
  EmulatedConsole screen(40, 5);
  screen.TypeLine("first");
  EXPECT_EQ(screen.ReadLine(), "first");
  screen.TypeText("second");
  screen.PressKey(Vk::Escape);
  screen.TypeText("x");
  screen.PressKey(Vk::Up);
  screen.PressKey(Vk::Enter, U'\r');
  EXPECT_EQ(screen.ReadLine(), "first");
  EXPECT_EQ(Trimmed(screen.RowText(1)), "first");  // the longer text was blanked
  EXPECT_EQ(screen.ReadLine(), std::nullopt);      // no keys left: input ended
}

TEST(EmulatedConsole, ReadLineTakesAPasteUpToItsFirstLineEnd) {
  const struct {
    std::vector<std::string_view> typedAndPasted;  // odd entries typed, even ones pasted
    std::string line;
  } cases[] = {
      {{"",
        "ab\x01"
        "c\td\nxyz"},
       "abcd"},
      {{"", "12\r\n34", "", "56"}, "1256"},  // each paste up to its own line end
      {{"9", "\n", "8"}, "98"},              // a pasted line end answers nothing
      {{"", "\xE3\x81\x82\x1b[A"}, "\xE3\x81\x82[A"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.line));
    EmulatedConsole screen(40, 5);
    for (std::size_t i = 0; i < c.typedAndPasted.size(); ++i) {
      if (i % 2 == 0) {
        screen.TypeText(c.typedAndPasted[i]);
      } else {
        screen.Paste(c.typedAndPasted[i]);
      }
    }
    screen.PressKey(Vk::Enter, U'\r');
    EXPECT_EQ(screen.ReadLine(), c.line);
    EXPECT_EQ(screen.InputEventCount(), 1);  // the release of the typed Enter
  }
}

TEST(EmulatedConsole, ReadLineIgnoresControlsAndTakesWideText) {
  EmulatedConsole screen(40, 5);
  screen.PressKey('A', U'\x01');
  screen.TypeLine(
      "\xE3\x81\x82"
      "b");
  EXPECT_EQ(screen.ReadLine(),
            "\xE3\x81\x82"
            "b");
  EXPECT_EQ(Trimmed(screen.RowText(0)),
            "\xE3\x81\x82"
            "b");
}

TEST(EmulatedConsole, EchoOfALongLineWrapsAndScrolls) {
  EmulatedConsole screen(10, 2);
  screen.SetCursorPosition({0, 1});
  screen.WriteBytes("Name:");
  screen.TypeLine("abcdefghij");
  EXPECT_EQ(screen.ReadLine(), "abcdefghij");
  EXPECT_EQ(screen.RowText(0), "fghij     ");
  EXPECT_EQ(screen.Cursor(), (CellPos{0, 1}));
}

TEST(EmulatedConsole, ResizeKeepsTheTopLeft) {
  EmulatedConsole screen(4, 2);
  screen.WriteBytes("abcdef");
  screen.Resize(6, 3, 0x07);
  EXPECT_EQ(screen.RowText(0), "abcd  ");
  EXPECT_EQ(screen.RowText(1), "ef    ");
  screen.Resize(2, 1, 0x07);
  EXPECT_EQ(screen.RowText(0), "ab");
  EXPECT_EQ(screen.Cursor(), (CellPos{1, 0}));
}

}  // namespace
}  // namespace lbe::console
