#include "screens/program.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "console/emulated_console.h"
#include "console/text_output.h"
#include "console/window.h"
#include "files/edited_file.h"
#include "files/rescue_copy.h"
#include "image/memory_image.h"
#include "launch_settings.h"
#include "temp_folder.h"

namespace lbe::screens {
namespace {

// The process-wide states that differ from what a fresh process starts with.
std::vector<std::string> StatesAwayFromStart() {
  const struct {
    const char* name;
    bool atStart;
  } states[] = {
      {"Console", console::Console == console::ConsoleState{}},
      {"OutputBuffer", console::OutputBuffer == console::BufferedOutput{}},
      {"Image", image::Image == image::MemoryImage{}},
      {"Range", image::Range == image::AddressRange{}},
      {"CurrentFileName", files::CurrentFileName.empty()},
      {"Placement", files::Placement == files::FilePlacement{}},
      {"Saved", files::Saved == files::SavedState{}},
  };
  std::vector<std::string> away;
  for (const auto& state : states) {
    if (!state.atStart) {
      away.emplace_back(state.name);
    }
  }
  return away;
}

TEST(Program, ResetGivesBackTheStartUpState) {
  ResetProgramState();
  ASSERT_EQ(StatesAwayFromStart(), std::vector<std::string>{});

  testing::TemporaryWorkingFolder folder;
  std::ofstream("rom.bin", std::ios::binary) << "0123456789";
  console::EmulatedConsole screen;
  screen.TypeText("E5");  // the run ends in edit mode with a byte changed and nothing saved
  const ProgramOutcome outcome = RunProgram(
      screen, "lbe", EditorSettingsOf(cli::ParseCommandLine({"/A100", "/M", "rom.bin"})));
  ASSERT_TRUE(outcome.InputEnded);
  ASSERT_TRUE(files::ImageChangedSinceSaved());
  // What no run leaves behind by itself: text on its way out.
  console::OutputBuffer.Pending = 1;
  EXPECT_EQ(StatesAwayFromStart(),
            (std::vector<std::string>{"Console", "OutputBuffer", "Image", "Range",
                                      "CurrentFileName", "Placement", "Saved"}));

  ResetProgramState();
  EXPECT_EQ(StatesAwayFromStart(), std::vector<std::string>{});
}

}  // namespace
}  // namespace lbe::screens
