#pragma once
// One run of the editor on a console device: start the console layer, run the main routine,
// stop the layer. Shared by the program and the scenario tests.

#include <string>
#include <string_view>

#include "console/console_device.h"
#include "screens/main_menu.h"

namespace lbe::screens {

struct ProgramOutcome {
  int ExitStatus = 0;       // 0 after Quit, 1 after an error that nothing caught
  std::string StopReport;   // for standard error, once the terminal has been given back
  bool InputEnded = false;  // input ended (hang-up, signal, end of a test's script)
};

// `programPath` names the program in the stop report (by its file name: StopReport drops the
// folders).
ProgramOutcome RunProgram(console::ConsoleDevice& device, std::string_view programPath,
                          const EditorSettings& settings);

#ifdef LBE_TEST_SUPPORT
// Every process-wide state, of all three parts, back to what a fresh process starts with: for
// tests and fuzzers that run the program again in the same process.
void ResetProgramState();
#endif

}  // namespace lbe::screens
