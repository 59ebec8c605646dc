#include "screens/program.h"

#include "console/key_input.h"
#include "console/window.h"
#include "image/file_commands.h"
#include "image/file_layer.h"
#include "image/memory_image.h"
#include "screens/main_menu.h"

namespace lbe::screens {

ProgramOutcome RunProgram(console::ConsoleDevice& device, std::string_view executableName) {
  ProgramOutcome outcome;
  console::ConsoleStart(device);
  try {
    MainRoutine();
  } catch (const image::FileError& error) {
    outcome.ExitStatus = 1;
    outcome.StopReport = image::StopReport(error, executableName);
  } catch (const console::InputEnded&) {
    outcome.ExitStatus = 1;
    outcome.InputEnded = true;
  }
  console::ConsoleStop();
  return outcome;
}

}  // namespace lbe::screens
