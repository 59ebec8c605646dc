// Process entry: usage, version, --list, --check, --convert and --journals without taking over the
// terminal; otherwise the editor on the terminal, which is given back before anything is written to
// standard error.

#include <array>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/command_line.h"
#include "console/terminal_console.h"
#include "files/edited_file.h"
#include "files/file_layer.h"
#include "files/rescue_copy.h"
#include "files/test_hooks.h"
#include "launch_settings.h"
#include "listing/journals_mode.h"
#include "listing/listing_modes.h"
#include "screens/program.h"
#include "text/visible_text.h"

namespace {

using namespace lbe;

// Held from the end of input until lbe ends: a second signal (the shell passing on a hang-up, a
// second Ctrl-C) must not cut the rescue copy short or change how lbe ends; neither may a
// standard error whose reader is gone or a file size limit.
constexpr std::array<int, 6> kHeldSignals = {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGPIPE, SIGXFSZ};

sigset_t HeldSignals() {
  sigset_t held;
  sigemptyset(&held);
  for (const int signal : kHeldSignals) {
    sigaddset(&held, signal);
  }
  return held;
}

// An ending signal that came, held, after input ended some other way (end of file on a hang-up
// that the shell then passed on); 0 when none did. A held signal is kept even where it is
// ignored (nohup), so that one does not count.
int HeldEndingSignal() {
  sigset_t pending;
  sigpending(&pending);
  for (const int signal : {SIGHUP, SIGINT, SIGQUIT, SIGTERM}) {
    struct sigaction action {};
    if (sigismember(&pending, signal) == 1 && sigaction(signal, nullptr, &action) == 0 &&
        action.sa_handler != SIG_IGN) {
      return signal;
    }
  }
  return 0;
}

// Ends the process the way `signal` ends it, so that the parent sees what happened. Only it is
// let through: the other held signals stay pending until the process is gone.
void EndBySignal(int signal) {
  std::signal(signal, SIG_DFL);
  std::raise(signal);  // pending until let through below
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal);
  sigprocmask(SIG_UNBLOCK, &only, nullptr);
}

// After the terminal went away or a signal ended the run: what was typed goes to a rescue file,
// and standard error says where.
void RescueUnsavedChanges() {
  try {
    const std::string rescued = files::WriteRescueOfRange();
    std::fprintf(stderr, "lbe: unsaved changes written to %s\n",
                 text::VisibleText(rescued).c_str());
  } catch (const files::FileError& error) {
    std::fprintf(stderr, "lbe: unsaved changes lost: %s\n",
                 text::VisibleText(error.what()).c_str());
  }
}

// The editor on the terminal. Returns the exit status, or ends the way the signal that ended
// the run would have.
int RunEditor(const std::string& programPath, const screens::EditorSettings& settings) {
  console::TerminalConsole terminal;
  std::string error;
  if (!terminal.Open(error)) {
    std::fprintf(stderr, "lbe: %s\n", error.c_str());
    return 1;
  }
  const screens::ProgramOutcome outcome = screens::RunProgram(terminal, programPath, settings);
  if (outcome.InputEnded) {
    // Before Close puts the default actions back, which would let a second signal end lbe.
    const sigset_t held = HeldSignals();
    sigprocmask(SIG_BLOCK, &held, nullptr);
  }
  terminal.Close();
  if (!outcome.StopReport.empty()) {
    std::fputs(outcome.StopReport.c_str(), stderr);
  }
  if (!outcome.InputEnded) {
    return outcome.ExitStatus;
  }
  if (files::ImageChangedSinceSaved()) {
    RescueUnsavedChanges();
  }
  const int signal = terminal.EndingSignal() != 0 ? terminal.EndingSignal() : HeldEndingSignal();
  if (signal == SIGQUIT) {
    return 128 + SIGQUIT;  // the status of the signal, without the core dump it would leave
  }
  if (signal != 0) {
    EndBySignal(signal);
    return 128 + signal;  // not reached: the signal's default action ends the process
  }
  return outcome.ExitStatus;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace lbe;
#ifdef LBE_TEST_HOOKS
  files::PauseFromEnvironment();
#endif
  const std::string programPath = argc > 0 && argv[0] != nullptr ? argv[0] : "lbe";
  const cli::CommandLineOptions options =
      cli::ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  if (options.ShowUsage) {
    const std::string text =
        options.ShowHelp ? cli::HelpText(programPath) : cli::UsageText(programPath);
    std::fputs(text.c_str(), stdout);
    return 0;
  }
  if (options.ShowVersion) {
    std::printf("lbe %s\n", LBE_VERSION);
    return 0;
  }
  if (!options.WrongUse.empty()) {
    std::fprintf(stderr, "lbe: %s\nTry 'lbe --help' for more information.\n",
                 text::VisibleText(options.WrongUse).c_str());
    return 2;
  }
  if (options.Journals) {
    return listing::JournalsMode({options.RemoveJournal, options.ApplyJournal, options.FileName},
                                 stdin, stdout, stderr);
  }
  if (options.List) {
    return listing::ListMode(StartFileOf(options), stdout, stderr, options.SumEvery.value_or(0),
                             ListingStyleOf(options));
  }
  if (options.Check) {
    return listing::CheckMode(options.FileName.value_or(""), options.OutputName, stderr,
                              StartFileOf(options).Format, ListingStyleOf(options));
  }
  if (options.Convert) {
    return listing::ConvertMode(ConversionOf(options), stderr);
  }
  return RunEditor(programPath, EditorSettingsOf(options));
}
