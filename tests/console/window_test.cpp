#include "console/window.h"

#include <gtest/gtest.h>

#include "console/console_start.h"
#include "console/emulated_console.h"
#include "console/key_input.h"
#include "console/text_output.h"
#include "screens/program.h"

namespace lbe::console {
namespace {

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override { screens::ResetProgramState(); }
  // Each test's console lives in the test body and is gone by now: forget it, stop nothing.
  void TearDown() override { screens::ResetProgramState(); }
};

TEST_F(WindowTest, StartClearsTheWindowInTheStartAttribute) {
  EmulatedConsole screen(100, 30, 0x07);
  screen.WriteBytes("old text everywhere");
  screen.SetTextAttribute(0x1F);
  ConsoleStart(screen);
  EXPECT_EQ(screen.RowText(0).substr(0, 80), std::string(80, ' '));
  EXPECT_EQ(screen.CellAt({79, 24}), (Cell{U' ', 0x1F}));
  EXPECT_EQ(screen.CellAt({80, 0}).Attribute, 0x07);  // beyond the window: untouched
  EXPECT_EQ(screen.Cursor(), (CellPos{0, 0}));
  EXPECT_EQ(Console.TextAttribute, 0x1F);
}

TEST_F(WindowTest, StartAndStopSetAndGiveBackCodePageModesAndColours) {
  EmulatedConsole screen(80, 25, 0x801F);
  screen.SetInputMode(kLineInput | kEchoInput);
  screen.SetOutputMode(0);
  ConsoleStart(screen);
  EXPECT_EQ(screen.OutputCodePage(), 65001u);
  EXPECT_EQ(screen.InputMode(), kLineInput | kEchoInput | 0x19u);
  EXPECT_EQ(screen.OutputMode(), 0x3u);
  SetForeground(kYellow);
  EXPECT_EQ(screen.Attribute(), 0x1E);
  ConsoleStop();
  EXPECT_EQ(screen.OutputCodePage(), 437u);
  EXPECT_EQ(screen.Attribute(), 0x1F);  // only the low 8 bits of the start attribute
  EXPECT_EQ(screen.InputMode(), kLineInput | kEchoInput | 0x19u);  // modes are not set back
}

TEST_F(WindowTest, StartTakesANonKeyEventOffButKeepsAKeyPress) {
  EmulatedConsole screen;
  screen.PushEvent({EventType::Mouse, false, 1, 0, 0});
  screen.PressKey('A');
  ConsoleStart(screen);
  EXPECT_EQ(screen.InputEventCount(), 2);
  EXPECT_EQ(WaitKey(), 'A');
}

TEST_F(WindowTest, StopDiscardsPendingInput) {
  EmulatedConsole screen;
  ConsoleStart(screen);
  screen.TypeText("QY");
  ConsoleStop();
  EXPECT_EQ(screen.InputEventCount(), 0);
}

TEST_F(WindowTest, StartCountGuardsNestedStartsAndStops) {
  EmulatedConsole screen;
  ConsoleStart(screen);
  ConsoleStart(screen);
  ConsoleStop();
  EXPECT_EQ(screen.OutputCodePage(), 65001u);
  ConsoleStop();
  EXPECT_EQ(screen.OutputCodePage(), 437u);
}

TEST_F(WindowTest, OnlyTheLastStopLetsGoOfTheDevice) {
  EmulatedConsole screen;
  ConsoleStart(screen);
  ConsoleStart(screen);
  ConsoleStop();
  EXPECT_EQ(Console.Device, &screen);
  ConsoleStop();
  EXPECT_EQ(Console.Device, nullptr);
}

TEST_F(WindowTest, PositionsAreRelativeToTheWindowModulo256) {
  EmulatedConsole screen(100, 30);
  ConsoleStart(screen);
  DefineWindow(11, 6, 40, 10);
  EXPECT_EQ(screen.Cursor(), (CellPos{10, 5}));
  EXPECT_EQ(CursorColumn(), 1);
  EXPECT_EQ(CursorRow(), 1);
  screen.SetCursorPosition({9, 5});
  EXPECT_EQ(CursorColumn(), 0);
  screen.SetCursorPosition({5, 5});
  EXPECT_EQ(CursorColumn(), 252);
  MoveCursor(3, 2);
  EXPECT_EQ(screen.Cursor(), (CellPos{12, 6}));
}

TEST_F(WindowTest, MoveBelowTheWindowIsAllowedWhereTheBufferHasTheRow) {
  EmulatedConsole screen(80, 30);
  ConsoleStart(screen);
  MoveCursor(1, 30);
  EXPECT_EQ(screen.Cursor(), (CellPos{0, 29}));
}

TEST_F(WindowTest, RefusedMoveGoesHomeAndScrollsTheWindow) {
  EmulatedConsole screen(80, 25);
  ConsoleStart(screen);
  for (int row = 1; row <= 25; ++row) {
    MoveCursor(1, static_cast<std::uint8_t>(row));
    Write("row " + std::to_string(row));
  }
  MoveCursor(1, 30);
  EXPECT_EQ(screen.Cursor(), (CellPos{0, 0}));
  EXPECT_EQ(screen.RowText(0).substr(0, 6), "row 2 ");
  EXPECT_EQ(screen.RowText(23).substr(0, 6), "row 25");
  EXPECT_EQ(screen.RowText(24), std::string(80, ' '));
}

// A console that refuses every cursor position: nothing must recurse without end.
class RefusingConsole : public EmulatedConsole {
 public:
  bool SetCursorPosition(CellPos) override { return false; }
};

TEST_F(WindowTest, ConsoleThatRefusesEvenHomeDoesNotRecurse) {
  RefusingConsole screen;
  ConsoleStart(screen);
  MoveCursor(5, 5);
  Write("text");
  EXPECT_EQ(screen.RowText(0).substr(0, 4), "text");
}

TEST_F(WindowTest, SetForegroundKeepsTheBackground) {
  EmulatedConsole screen(80, 25, 0x07);
  ConsoleStart(screen);
  SetForeground(0x1E);
  EXPECT_EQ(Console.TextAttribute, 0x0E);
  SetForeground(15);
  EXPECT_EQ(Console.TextAttribute, 0x0F);
  EXPECT_EQ(screen.Attribute(), 0x0F);
  Console.TextAttribute = 0x1F;
  SetForeground(14);
  EXPECT_EQ(Console.TextAttribute, 0x1E);
}

TEST_F(WindowTest, FillWindowWithBottomAboveTopFillsNothing) {
  EmulatedConsole screen;
  ConsoleStart(screen);
  Write("keep");
  DefineWindow(1, 10, 80, 5);
  MoveCursor(3, 1);
  FillWindow(U'#');
  EXPECT_EQ(screen.RowText(0).substr(0, 4), "keep");
  EXPECT_EQ(screen.RowText(9).substr(0, 4), "    ");
  EXPECT_EQ(screen.Cursor(), (CellPos{0, 9}));
}

TEST_F(WindowTest, FillWindowCoversOnlyTheWindow) {
  EmulatedConsole screen(100, 30);
  ConsoleStart(screen);
  DefineWindow(3, 2, 5, 3);
  SetForeground(kYellow);
  FillWindow(U'#');
  EXPECT_EQ(screen.RowText(0).substr(0, 7), "       ");
  EXPECT_EQ(screen.RowText(1).substr(0, 7), "  ###  ");
  EXPECT_EQ(screen.RowText(2).substr(0, 7), "  ###  ");
  EXPECT_EQ(screen.RowText(3).substr(0, 7), "       ");
  EXPECT_EQ(screen.RowAttributes(1, 1, 5, "       W      Y"), "WYYYW");
}

TEST_F(WindowTest, ScrollWindowUpFromHomeScrollsTheWholeWindow) {
  EmulatedConsole screen(100, 30);
  ConsoleStart(screen);
  for (int row = 1; row <= 25; ++row) {
    MoveCursor(1, static_cast<std::uint8_t>(row));
    Write("line " + std::to_string(row));
  }
  screen.SetCursorPosition({0, 26});
  screen.WriteBytes("outside");
  MoveCursor(1, 1);
  SetForeground(kYellow);
  ScrollWindowUp();
  EXPECT_EQ(screen.RowText(0).substr(0, 7), "line 2 ");
  EXPECT_EQ(screen.RowText(23).substr(0, 7), "line 25");
  EXPECT_EQ(screen.RowText(24).substr(0, 7), "       ");
  EXPECT_EQ(screen.RowText(26).substr(0, 7), "outside");  // below the window: untouched
  EXPECT_EQ(screen.CellAt({0, 0}).Attribute, 0x0E);       // top row takes the attribute
  EXPECT_EQ(screen.CellAt({0, 24}).Attribute, 0x0E);
  EXPECT_EQ(screen.CellAt({0, 12}).Attribute, 0x07);
  EXPECT_EQ(screen.Cursor(), (CellPos{0, 0}));
}

TEST_F(WindowTest, ScrollWindowUpBelowTheCursorRowOnly) {
  EmulatedConsole screen;
  ConsoleStart(screen);
  for (int row = 1; row <= 5; ++row) {
    MoveCursor(1, static_cast<std::uint8_t>(row));
    Write("r" + std::to_string(row));
  }
  MoveCursor(1, 3);
  ScrollWindowUp();
  EXPECT_EQ(screen.RowText(1).substr(0, 2), "r2");
  EXPECT_EQ(screen.RowText(2).substr(0, 2), "r4");
  EXPECT_EQ(screen.RowText(3).substr(0, 2), "r5");
  EXPECT_EQ(screen.RowText(4).substr(0, 2), "  ");
}

}  // namespace
}  // namespace lbe::console
