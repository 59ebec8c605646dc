// Process entry: usage, version, --list and --check without taking over the terminal; otherwise
// the editor on the terminal, which is given back before anything is written to standard error.

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "console/terminal_console.h"
#include "image/edited_file.h"
#include "image/memory_image.h"
#include "image/rescue_copy.h"
#include "screens/command_line.h"
#include "screens/listing_modes.h"
#include "screens/program.h"
#include "text/visible_text.h"

namespace {

using namespace lbe;

// After the terminal went away or a signal ended the run: what was typed goes to a rescue file,
// and standard error says where.
void RescueUnsavedChanges() {
  std::string rescueError;
  const std::string rescued =
      image::WriteRescueCopy(image::CurrentFileName, image::RangeBytes(), rescueError);
  if (!rescued.empty()) {
    std::fprintf(stderr, "lbe: unsaved changes written to %s\n",
                 text::VisibleText(rescued).c_str());
  } else {
    std::fprintf(stderr, "lbe: unsaved changes lost: %s\n", text::VisibleText(rescueError).c_str());
  }
}

// The editor on the terminal. Returns the exit status, or ends the way the signal that ended
// the run would have.
int RunEditor(const std::string& programPath) {
  console::TerminalConsole terminal;
  std::string error;
  if (!terminal.Open(error)) {
    std::fprintf(stderr, "lbe: %s\n", error.c_str());
    return 1;
  }
  const screens::ProgramOutcome outcome = screens::RunProgram(terminal, programPath);
  terminal.Close();
  if (!outcome.StopReport.empty()) {
    std::fputs(outcome.StopReport.c_str(), stderr);
  }
  if (outcome.InputEnded && image::ImageChangedSinceSaved()) {
    RescueUnsavedChanges();
  }
  if (const int signal = terminal.EndingSignal(); outcome.InputEnded && signal == SIGQUIT) {
    return 128 + SIGQUIT;  // the status of the signal, without the core dump it would leave
  } else if (outcome.InputEnded && signal != 0) {
    // End the way the signal would have, so the parent sees what happened.
    std::signal(signal, SIG_DFL);
    std::raise(signal);
  }
  return outcome.ExitStatus;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace lbe;
  const std::string programPath = argc > 0 && argv[0] != nullptr ? argv[0] : "lbe";
  screens::Options = screens::ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  if (screens::Options.ShowUsage) {
    const std::string text = screens::Options.ShowHelp ? screens::HelpText(programPath)
                                                       : screens::UsageText(programPath);
    std::fputs(text.c_str(), stdout);
    return 0;
  }
  if (screens::Options.ShowVersion) {
    std::printf("lbe %s\n", LBE_VERSION);
    return 0;
  }
  if (!screens::Options.WrongUse.empty()) {
    std::fprintf(stderr, "lbe: %s\nTry 'lbe --help' for more information.\n",
                 text::VisibleText(screens::Options.WrongUse).c_str());
    return 2;
  }
  if (screens::Options.List) {
    return screens::ListMode(stdout, stderr);
  }
  if (screens::Options.Check) {
    return screens::CheckMode(stderr);
  }
  return RunEditor(programPath);
}
