// Row 2 of the type-in mode after a typed sum fails: the likely fixes, kept to the row's 79
// columns whatever the counts in front of them.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "console/emulated_console.h"
#include "console/key_codes.h"
#include "launch_settings.h"
#include "screens/program.h"
#include "screens/type_in.h"
#include "temp_folder.h"

namespace lbe::screens {
namespace {

namespace Vk = console::Vk;

// Queues `script`: letters and digits as their keys; "\t" Tab, ">" Right.
void Queue(console::EmulatedConsole& screen, std::string_view script) {
  for (const char c : script) {
    if (c == '\t') {
      screen.PressKey(Vk::Tab);
    } else if (c == '>') {
      screen.PressKey(Vk::Right);
    } else {
      screen.PressKey(console::KeyCodeForCharacter(static_cast<char32_t>(c)), c);
    }
  }
}

std::string Row(const console::EmulatedConsole& screen, int row) {
  std::string text = screen.RowText(row - 1);
  text.erase(text.find_last_not_of(' ') + 1);
  return text;
}

// A 64 KiB file counts 8192 lines; 10 lines checked and 10 failed make the counts 37 columns
// wide. The last failed line, D29AB5CD27E6D324 typed with the sum 89, has four fixes, the first
// two digits swapped across 0098 and 0099: with its "(+3)" the hint alone is 43 columns.
TEST(TypeInHint, StaysWithinTheRowWhenTheCountsAreWide) {
  testing::TemporaryWorkingFolder folder;
  std::vector<std::uint8_t> bytes(0x10000, 0);
  const std::uint8_t line19[] = {0xD2, 0x9A, 0xB5, 0xCD, 0x27, 0xE6, 0xD3, 0x24};
  std::copy(std::begin(line19), std::end(line19), bytes.begin() + 0x98);
  testing::PutFile("rom.bin", bytes);
  std::string keys = "E";
  for (int line = 0; line < 10; ++line) {
    keys += ">>>>>>>>00";  // checked: on to the next line
  }
  for (int line = 10; line < 19; ++line) {
    keys += ">>>>>>>>01\t";  // failed: Tab to the next line not checked
  }
  keys += ">>>>>>>>89";
  ResetProgramState();
  console::EmulatedConsole screen;
  Queue(screen, keys);
  ASSERT_TRUE(
      RunProgram(screen, "lbe", EditorSettingsOf(cli::ParseCommandLine({"--type-in", "rom.bin"})))
          .InputEnded);
  const std::string row2 = Row(screen, 2);
  EXPECT_TRUE(row2.starts_with("Checked 10 of 8192 lines, 10 failed. WRONG: perhaps ")) << row2;
  EXPECT_NE(row2.find("0098 and 0099 are D9 2A"), std::string::npos) << row2;
  EXPECT_LE(row2.size(), 79u) << row2;
  // Nothing of the hint runs on into row 3.
  const std::string row3 = Row(screen, 3);
  EXPECT_EQ(row3.find("(+"), std::string::npos) << row3;
  EXPECT_FALSE(row3.starts_with(")")) << row3;
  ResetProgramState();
}

}  // namespace
}  // namespace lbe::screens
