#include "screens/type_in.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <string_view>
#include <vector>

#include "console/emulated_console.h"
#include "console/key_codes.h"
#include "files/test_hooks.h"
#include "launch_settings.h"
#include "screens/program.h"
#include "temp_folder.h"

namespace lbe::screens {
namespace {

namespace Vk = console::Vk;

// Queues `script`: letters and digits as their keys; "\t" Tab, "\x1b" Esc, ">" Right, "~" Insert,
// "\r" Enter.
void Queue(console::EmulatedConsole& screen, std::string_view script) {
  const std::string_view named = "\t\x1b>~\r";
  const console::KeyCode keys[] = {Vk::Tab, Vk::Escape, Vk::Right, Vk::Insert, Vk::Enter};
  for (const char c : script) {
    if (const std::size_t at = named.find(c); at != std::string_view::npos) {
      screen.PressKey(keys[at]);
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

// Each case: the file holds two lines, 0102030405060708 (sum 24) and eight 11s (sum 88), at
// 0100; a first run of lbe --type-in (when given) types its keys and ends; a second run types
// the last keys on the stored sums. What the second run shows last.
TEST(TypeIn, Scenarios) {
  const struct {
    const char* what;
    std::string_view firstRun;
    std::string_view keys;
    std::string_view row1;
    std::string_view row2;  // or row 3 once Quit asks
    int bells;
    int column;
  } cases[] = {
      {"a match goes on to the next line", "",
       "E0102030405060708"
       "24",
       "0108 1111111111111111:__ [24]",
       "Checked 1 of 2 lines. Next to type: 0108.  Tab: next unchecked line", 0, 6},
      {"a sum of 00 checks a line of zeros", "", "E000000000000000000",
       "0108 1111111111111111:__ [00]",
       "Checked 1 of 2 lines. Next to type: 0108.  Tab: next unchecked line", 0, 6},
      {"a mismatch rings and goes back", "", "E>>>>>>>>25",
       "0100 0102030405060708:25 [--] WRONG: the line sums to 24",
       "Checked 0 of 2 lines, 1 failed. WRONG: perhaps 0107 is 09, or 0104 is 06", 1, 6},
      {"a corrected byte matches the kept sum", "", "E>>>>>>>>25>>>>>>>09",
       "0100 0102030405060709:25 [--] ok: the line sums to 25",
       "Checked 1 of 2 lines. Next to type: 0108.  Tab: next unchecked line", 1, 23},
      {"the first digit of a sum waits for the second", "", "E>>>>>>>>2",
       "0100 0102030405060708:2_ [--]",
       "Checked 0 of 2 lines. Next to type: 0100.  Tab: next unchecked line", 0, 24},
      {"a new run finds the stored sums", "E>>>>>>>>24>>>>>>>>89", "E",
       "0100 0102030405060708:24 [--] ok: the line sums to 24",
       "Checked 1 of 2 lines, 1 failed. Next to type: 0108.  Tab: next unchecked line", 0, 6},
      {"every line checked: the line after the range is next", "E>>>>>>>>24>>>>>>>>88", "E",
       "0100 0102030405060708:24 [--] ok: the line sums to 24",
       "Checked 2 of 2 lines. Next to type: 0110.  Tab: next unchecked line", 0, 6},
      {"Insert shifts later lines out of their sums", "E>>>>>>>>24>>>>>>>>88", "E~",
       "0100 0001020304050607:24 [--] WRONG: the line sums to 1C",
       "Checked 0 of 2 lines, 2 failed. Next to type: 0100.  Tab: next unchecked line", 0, 6},
      {"Tab goes to the next line not checked", "E>>>>>>>>24",
       "E\x1b"
       "E\t",
       "0108 1111111111111111:__ [24]",
       "Checked 1 of 2 lines. Next to type: 0108.  Tab: next unchecked line", 0, 6},
      {"Quit asks about failed lines first", "", "E>>>>>>>>25\x1bQ",
       "Addr: 0100-010F   File: rom.bin", "1 line failed its sum. Quit anyway? (Y/N)", 1, 42},
      {"A puts the sums of the new start in place", "",
       "E>>>>>>>>24>>>>>>>>89\x1b"
       "A0108\rQ",
       "Addr: 0108-010F   File: rom.bin", "Are you sure? (Y/N)", 1, 20},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    testing::TemporaryWorkingFolder folder;
    testing::PutFile("rom.bin", {1, 2, 3, 4, 5, 6, 7, 8, 17, 17, 17, 17, 17, 17, 17, 17});
    const EditorSettings settings =
        EditorSettingsOf(cli::ParseCommandLine({"--type-in", "/A100", "rom.bin"}));
    if (!c.firstRun.empty()) {
      ResetProgramState();
      console::EmulatedConsole first;
      Queue(first, c.firstRun);
      ASSERT_TRUE(RunProgram(first, "lbe", settings).InputEnded);
    }
    ResetProgramState();
    console::EmulatedConsole screen;
    Queue(screen, c.keys);
    ASSERT_TRUE(RunProgram(screen, "lbe", settings).InputEnded);
    EXPECT_EQ(Row(screen, 1), c.row1);
    EXPECT_EQ(Row(screen, c.row2.starts_with("Checked") ? 2 : 3), c.row2);
    EXPECT_EQ(screen.BellCount(), static_cast<std::uint64_t>(c.bells));
    EXPECT_EQ(screen.Cursor().X + 1, c.column);
  }
  ResetProgramState();
}

// Sums that cannot be stored are said to be lost once, on the line whose check found it out:
// the next line checked shows its own row 2, though its sums are lost too.
TEST(TypeIn, AStoreThatFailsIsSaidOnce) {
  const struct {
    const char* what;
    std::string_view keys;
    std::string_view row2;
  } cases[] = {
      {"the first line checked",
       "E0102030405060708"
       "24",
       "Typed sums are not kept: cannot write "},
      {"the next line checked",
       "E0102030405060708"
       "24"
       "1111111111111111"
       "88",
       "Checked 2 of 3 lines. Next to type: 0110.  Tab: next unchecked line"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    testing::TemporaryWorkingFolder folder;
    testing::PutFile("rom.bin", {1, 2, 3, 4, 5, 6, 7, 8, 17, 17, 17, 17, 17, 17, 17, 17});
    files::SetFileCallHook([](int, std::string_view call) { return call == "renameat" ? EIO : 0; });
    ResetProgramState();
    console::EmulatedConsole screen;
    Queue(screen, c.keys);
    ASSERT_TRUE(
        RunProgram(screen, "lbe",
                   EditorSettingsOf(cli::ParseCommandLine({"--type-in", "/A100", "rom.bin"})))
            .InputEnded);
    files::SetFileCallHook({});
    EXPECT_EQ(Row(screen, 2).substr(0, c.row2.size()), c.row2);
  }
  ResetProgramState();
}

// A New MLX listing typed into prog.prg: '1' holds two lines printed 0801 (sum 2E) and 0809
// (sum 64), 'C' one line printed C000 (sum 5B), 'N' is new with --address=801. Every address
// shows and is typed as printed and the sums are New MLX ones; lbe's own mode (own) keeps the
// image's addresses and sums, and none of the sums a first New MLX run typed. Row 2 is compared
// up to the length expected: which fixes follow the first is the typo search's ranking.
TEST(TypeIn, NewMlxScenarios) {
  const struct {
    const char* what;
    char file;
    bool own;
    std::string_view firstRun;
    std::string_view keys;
    std::string_view row1;
    std::string_view row2;
    int bells;
    int column;
  } cases[] = {
      {"the bytes' own sum is wrong at 0801", '1', false, "", "E>>>>>>>>50",
       "0801 0B080A009E323330:50 [--] WRONG: the line sums to 2E",
       "Checked 0 of 2 lines, 1 failed. WRONG: no single mistake explains it", 1, 6},
      {"a wrong byte is named by its printed address", 'N', false, "", "E0B080A009E3233802E",
       "0801 0B080A009E323380:2E [--] WRONG: the line sums to 7E",
       "Checked 0 of 1 line, 1 failed. WRONG: perhaps 0808 is 30", 1, 6},
      {"a right sum at an aligned address", 'C', false, "", "E>>>>>>>>5B",
       "C008 0000000000000000:__ [5B]",
       "Checked 1 of 2 lines. Next to type: C008.  Tab: next unchecked line", 0, 6},
      {"a wrong sum at an aligned address", 'C', false, "", "E>>>>>>>>5C",
       "C000 A93785FCA9D785FE:5C [--] WRONG: the line sums to 5B",
       "Checked 0 of 1 line, 1 failed. WRONG: perhaps C007 is FF (+1)", 1, 6},
      {"a new file typed line by line as printed", 'N', false, "",
       "E0B080A009E3233302E30000000000044AA64", "0811 0000000000000000:__ [64]",
       "Checked 2 of 3 lines. Next to type: 0811.  Tab: next unchecked line", 0, 6},
      {"a wrong sum corrected", 'N', false, "", "E0B080A009E323330E2>>>>>>>>2E",
       "0809 0000000000000000:__ [2E]",
       "Checked 1 of 2 lines. Next to type: 0809.  Tab: next unchecked line", 1, 6},
      {"the line after a checked one joins the range once typed on", 'N', false, "",
       "E0B080A009E3233302E\x1b", "Addr: 0801-0808   File: prog.prg", "", 0, 3},
      {"the menu shows the printed range", '1', false, "", "", "Addr: 0801-0810   File: prog.prg",
       "", 0, 3},
      {"Goto takes the printed address", '1', false, "", "G080A\r", "0809 30000000000044AA:__ [2E]",
       "", 0, 8},
      {"Goto below the printed start goes to the start", '1', false, "", "G0800\r",
       "0801 0B080A009E323330:__ [--]", "", 0, 6},
      {"Find shows the line it finds as printed", '1', false, "", "E/44AA\r",
       "0809 30000000000044AA:__ [2E]", "", 0, 18},
      {"the list view shows the listing's lines", '1', false, "", "L", "0801 0B080A009E323330:2E",
       "0809 30000000000044AA:64", 0, 17},
      {"lbe's own mode keeps the image's addresses and sums", '1', true, "", "L",
       "0800 000B080A009E3233:20", "0808 3030000000000044:A4", 0, 17},
      {"lbe's own mode takes none of the New MLX sums", 'C', true, "E>>>>>>>>5B", "E",
       "C000 A93785FCA9D785FE:__ [--]",
       "Checked 0 of 1 line. Next to type: C000.  Tab: next unchecked line", 0, 6},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    testing::TemporaryWorkingFolder folder;
    if (c.file == '1') {
      testing::PutFile("prog.prg", {0x01, 0x08, 0x0B, 0x08, 0x0A, 0x00, 0x9E, 0x32, 0x33, 0x30,
                                    0x30, 0x00, 0x00, 0x00, 0x00, 0x00, 0x44, 0xAA});
    } else if (c.file == 'C') {
      testing::PutFile("prog.prg", {0x00, 0xC0, 0xA9, 0x37, 0x85, 0xFC, 0xA9, 0xD7, 0x85, 0xFE});
    }
    const auto settings = [&c](bool own) {
      std::vector<std::string> args = {"--type-in", "prog.prg"};
      args.insert(args.begin() + 1, own ? "--style=lbe" : "--style=mlx");
      if (c.file == 'N') {
        args.insert(args.begin() + 1, "--address=801");
      }
      return EditorSettingsOf(cli::ParseCommandLine(args));
    };
    const EditorSettings mlx = settings(false);
    if (!c.firstRun.empty()) {
      ResetProgramState();
      console::EmulatedConsole first;
      Queue(first, c.firstRun);
      ASSERT_TRUE(RunProgram(first, "lbe", mlx).InputEnded);
    }
    ResetProgramState();
    console::EmulatedConsole screen;
    Queue(screen, c.keys);
    const ProgramOutcome outcome = RunProgram(screen, "lbe", c.own ? settings(true) : mlx);
    ASSERT_TRUE(outcome.InputEnded) << outcome.StopReport;
    EXPECT_EQ(Row(screen, 1), c.row1);
    EXPECT_EQ(Row(screen, 2).substr(0, c.row2.size()), c.row2);
    EXPECT_EQ(screen.BellCount(), static_cast<std::uint64_t>(c.bells));
    EXPECT_EQ(screen.Cursor().X + 1, c.column);
  }
  ResetProgramState();
}

// Beside wide counts, row 2's hint gives up "perhaps", then fixes, to stay within 79 columns.
TEST(TypeIn, HintStaysWithinTheRow) {
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
  ResetProgramState();
  console::EmulatedConsole screen;
  Queue(screen, keys + ">>>>>>>>89");
  ASSERT_TRUE(
      RunProgram(screen, "lbe", EditorSettingsOf(cli::ParseCommandLine({"--type-in", "rom.bin"})))
          .InputEnded);
  EXPECT_EQ(Row(screen, 2),
            "Checked 10 of 8192 lines, 10 failed. WRONG: 0098 and 0099 are D9 2A (+3)");
  EXPECT_EQ(Row(screen, 3), "");
  ResetProgramState();
}

// A wrong line shows in red where colour shows, and by its word where none does; the question
// Quit asks first names how many lines failed.
TEST(TypeIn, FailedLineColourAndQuitQuestion) {
  testing::TemporaryWorkingFolder folder;
  testing::PutFile("rom.bin", {1, 2, 3, 4, 5, 6, 7, 8});
  ResetProgramState();
  console::EmulatedConsole screen;
  Queue(screen, "E>>>>>>>>25");
  RunProgram(screen, "lbe",
             EditorSettingsOf(cli::ParseCommandLine({"--type-in", "/A100", "rom.bin"})));
  EXPECT_EQ(screen.CellAt({22, 0}).Attribute & 0x0F, 12);
  EXPECT_EQ(screen.CellAt({30, 0}).Attribute & 0x0F, 12);
  EXPECT_EQ(screen.CellAt({5, 0}).Attribute, screen.CellAt({0, 1}).Attribute);

  ResetProgramState();
  console::EmulatedConsole quitting;
  Queue(quitting, "QY");
  RunProgram(quitting, "lbe",
             EditorSettingsOf(cli::ParseCommandLine({"--type-in", "/A100", "rom.bin"})));
  EXPECT_EQ(Row(quitting, 3), "Are you sure? (Y/N)");
  ResetProgramState();
}

}  // namespace
}  // namespace lbe::screens
