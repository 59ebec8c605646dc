#include "screens/program.h"

#include "console/console_start.h"
#include "console/key_input.h"
#include "console/text_output.h"
#include "console/window.h"
#include "files/edited_file.h"
#include "files/file_layer.h"
#include "image/edit_history.h"
#include "image/memory_image.h"
#include "screens/line_dump.h"
#include "screens/line_edit.h"
#include "screens/main_menu.h"
#include "screens/type_in.h"

namespace lbe::screens {

ProgramOutcome RunProgram(console::ConsoleDevice& device, std::string_view programPath,
                          const EditorSettings& settings) {
  ProgramOutcome outcome;
  console::ConsoleStart(device);
  try {
    MainRoutine(settings);
  } catch (const files::FileError& error) {
    outcome.ExitStatus = 1;
    outcome.StopReport = files::StopReport(error, programPath);
  } catch (const console::InputEnded&) {
    outcome.ExitStatus = 1;
    outcome.InputEnded = true;
  }
  console::ConsoleStop();
  return outcome;
}

#ifdef LBE_TEST_SUPPORT
void ResetProgramState() {
  console::Console = {};
  console::OutputBuffer = {};
  image::Image = {};
  image::Range = {};
  files::CurrentFileName.clear();
  files::Placement = {};
  files::Saved = {};
  image::ClearHistory();
  image::KeepChangesOfMarks(false);
  ForgetLastFind();
  ForgetTypedSums();
  SetNewMlxLines(false);
}
#endif

}  // namespace lbe::screens
