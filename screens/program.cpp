#include "screens/program.h"

#include "console/console_start.h"
#include "console/key_input.h"
#include "console/text_output.h"
#include "console/window.h"
#include "image/edited_file.h"
#include "image/file_layer.h"
#include "image/memory_image.h"
#include "image/rescue_copy.h"
#include "screens/command_line.h"
#include "screens/main_menu.h"

namespace lbe::screens {

ProgramOutcome RunProgram(console::ConsoleDevice& device, std::string_view programPath) {
  ProgramOutcome outcome;
  console::ConsoleStart(device);
  try {
    MainRoutine();
  } catch (const image::FileError& error) {
    outcome.ExitStatus = 1;
    outcome.StopReport = image::StopReport(error, programPath);
  } catch (const console::InputEnded&) {
    outcome.ExitStatus = 1;
    outcome.InputEnded = true;
  }
  console::ConsoleStop();
  return outcome;
}

void ResetProgramState() {
  console::Console = {};
  console::StdOut = {};
  image::Image = {};
  image::Range = {};
  image::CurrentFileName.clear();
  image::Window = {};
  image::Saved = {};
  Options = {};
}

}  // namespace lbe::screens
