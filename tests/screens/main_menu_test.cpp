#include "screens/main_menu.h"

#include <gtest/gtest.h>

#include <fstream>

#include "launch_settings.h"
#include "scenario.h"
#include "temp_folder.h"

namespace lbe::screens {
namespace {

namespace Vk = console::Vk;

// Attribute legend: bright white W, yellow Y.
constexpr std::string_view kLegend = "??????????????YW";

class MainMenuTest : public testing::ScenarioTest {
 protected:
  // Runs the program's main routine on `parameters` and the queued keys.
  bool RunMenu(const std::vector<std::string>& parameters) {
    const EditorSettings settings = EditorSettingsOf(cli::ParseCommandLine(parameters));
    return Run([&settings] { MainRoutine(settings); });
  }
};

TEST_F(MainMenuTest, StartWithoutParameters) {
  EXPECT_FALSE(RunMenu({}));
  EXPECT_EQ(Row(1), "Addr: 0000-0007   File: [no name]");
  EXPECT_EQ(screen.RowText(0).substr(15, 9), "   File: ");
  EXPECT_EQ(screen.RowText(1).substr(0, 35), "Edit   Goto   List   Save   Quit   ");
  EXPECT_EQ(Row(3), ">");
  EXPECT_EQ(screen.RowText(2).substr(0, 3), ">  ");
  EXPECT_EQ(CursorColumn(), 3);
  EXPECT_EQ(CursorRow(), 3);
  EXPECT_EQ(screen.RowAttributes(0, 0, 33, kLegend), "YWWWWWWWWWWWWWWWWWYWWWWWWWWWWWWWW");
  EXPECT_EQ(screen.RowAttributes(1, 0, 35, kLegend), "YWWWWWWYWWWWWWYWWWWWWYWWWWWWYWWWWWW");
}

TEST_F(MainMenuTest, StartAddressAndFileFromTheCommandLine) {
  EXPECT_FALSE(RunMenu({"/A0FFF", "data\\rom.bin"}));
  EXPECT_EQ(Row(1), "Addr: 0FF8-0FFF   File: rom.bin");
  EXPECT_EQ(image::Range.StartLine, 511);
  EXPECT_EQ(files::CurrentFileName, "data\\rom.bin");
}

TEST_F(MainMenuTest, FileIsLoadedAtTheStartAddressWhateverTheOrder) {
  testing::TemporaryWorkingFolder folder;
  std::ofstream("x.bin", std::ios::binary) << "0123456789";
  for (const auto& parameters :
       {std::vector<std::string>{"x.bin", "/A100"}, std::vector<std::string>{"/A100", "x.bin"}}) {
    image::Image = {};
    EXPECT_FALSE(RunMenu(parameters));
    EXPECT_EQ(Row(1), "Addr: 0100-010F   File: x.bin");
    EXPECT_EQ(image::Image[0x0100], '0');
    EXPECT_EQ(image::Image[0x0109], '9');
    EXPECT_EQ(image::Image[0x00FF], 0);
  }
  // "/A 100": the switch has no address, and 100 is the file's name.
  EXPECT_FALSE(RunMenu({"/A", "100", "x.bin"}));
  EXPECT_EQ(Row(1), "Addr: 0000-0007   File: 100");
}

// An offset other than 0 stands after the name; without one the status line is as ever.
TEST_F(MainMenuTest, FileOffsetOnTheStatusLine) {
  testing::TemporaryWorkingFolder folder;
  std::ofstream("x.bin", std::ios::binary) << "0123456789ABCDEFGHIJ";
  const struct {
    std::vector<std::string> parameters;
    std::string row;
    char first;
  } cases[] = {
      {{"x.bin"}, "Addr: 0000-0017   File: x.bin", '0'},
      {{"--offset=0", "x.bin"}, "Addr: 0000-0017   File: x.bin", '0'},
      {{"--offset=0xa", "/A100", "x.bin"}, "Addr: 0100-010F   File: x.bin +A", 'A'},
      {{"x.bin", "--offset", "14000"}, "Addr: 0000-FFFFFFFF   File: x.bin +14000", 0},
      {{"--offset=14000"}, "Addr: 0000-0007   File: [no name] +14000", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.row);
    image::Image = {};
    EXPECT_FALSE(RunMenu(c.parameters));
    EXPECT_EQ(image::Image[image::Range.StartAddress], c.first);
    EXPECT_EQ(Row(1), c.row);
  }
  EXPECT_EQ(ShownFileOffset(0x7FFFFFFFFFFEFFFF), " +7FFFFFFFFFFEFFFF");
}

TEST_F(MainMenuTest, LastStartAddressAndAbsolutePath) {
  EXPECT_FALSE(RunMenu({"/AFFFF", "/nonexistent-folder/sub/rom.bin"}));
  EXPECT_EQ(Row(1), "Addr: FFF8-FFFF   File: rom.bin");
}

TEST_F(MainMenuTest, ControlCharactersInTheNameNeverReachTheScreen) {
  EXPECT_FALSE(RunMenu({"dir/evil\x1b]0;owned\x07name"}));
  EXPECT_EQ(Row(1), "Addr: 0000-0007   File: evil?]0;owned?name");
  EXPECT_EQ(ShownFileName("a:b"), "b");
  EXPECT_EQ(ShownFileName("tab\there"), "tab?here");
}

TEST_F(MainMenuTest, QuitAsksFirst) {
  screen.TypeText("QN");
  screen.PressKey(Vk::Escape);
  screen.TypeText("N");
  screen.TypeText("Q");
  screen.PressKey(Vk::Escape);  // ignored: only Y or N answer
  screen.TypeText("xy");
  EXPECT_TRUE(RunMenu({}));
  EXPECT_EQ(Row(3), "Are you sure? (Y/N)");
  EXPECT_EQ(screen.InputEventCount(), 1);  // the release of Y
}

TEST_F(MainMenuTest, QuestionStandsOverThePrompt) {
  screen.TypeText("Q");
  EXPECT_FALSE(RunMenu({}));
  EXPECT_EQ(Row(3), "Are you sure? (Y/N)");
  EXPECT_EQ(Row(1), "Addr: 0000-0007   File: [no name]");
}

TEST_F(MainMenuTest, AddressCommand) {
  screen.TypeText("A");
  EXPECT_FALSE(RunMenu({"/A100"}));
  EXPECT_EQ(Row(1), "Adress:");
  EXPECT_EQ(CursorColumn(), 8);

  const struct {
    std::string answer;
    std::string range;
  } cases[] = {{"", "0100-0107"}, {"12", "0010-0017"}, {"7", "0000-0007"}, {"zz", "0000-0007"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer);
    ResetProgramState();
    console::ConsoleStart(screen);
    screen.TypeText("A");
    screen.TypeLine(c.answer);
    EXPECT_FALSE(RunMenu({"/A100"}));
    EXPECT_EQ(Row(1), "Addr: " + c.range + "   File: [no name]");
  }
}

TEST_F(MainMenuTest, PasteAnswersNoKeyWaitButTypesAtThePrompt) {
  screen.Paste("see query\n");  // would save, edit and repeat a byte if taken as keys
  screen.TypeText("Q");
  screen.Paste("Yy");
  screen.TypeText("NA");
  screen.Paste("1\t2\nE3");
  screen.PressKey(Vk::Enter, U'\r');
  screen.Paste("q");
  EXPECT_FALSE(RunMenu({}));
  EXPECT_EQ(Row(1), "Addr: 0010-0017   File: [no name]");
  EXPECT_EQ(Row(3), ">");
  EXPECT_EQ(image::Image.Bytes, image::MemoryImage{}.Bytes);
  EXPECT_EQ(screen.InputEventCount(), 0);
}

TEST_F(MainMenuTest, OtherKeysRedrawTheMenu) {
  screen.TypeText("Z9");
  screen.PressKey(Vk::Down);
  EXPECT_FALSE(RunMenu({}));
  EXPECT_EQ(Row(1), "Addr: 0000-0007   File: [no name]");
  EXPECT_EQ(Row(3), ">");
}

TEST_F(MainMenuTest, LongNameWrapsAndPushesTheCommandBarDown) {
  EXPECT_FALSE(RunMenu({std::string(70, 'n')}));
  EXPECT_EQ(Row(1), "Addr: 0000-0007   File: " + std::string(56, 'n'));
  EXPECT_EQ(Row(2), std::string(14, 'n'));
  EXPECT_EQ(screen.RowText(2).substr(0, 4), "Edit");
  EXPECT_EQ(Row(4), ">");
}

}  // namespace
}  // namespace lbe::screens
