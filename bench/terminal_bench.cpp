// What the terminal console costs: CPU while the program waits for a key, and the bytes sent to
// the terminal for a frame in which one cell changed.
//
//   terminal_bench [--setup=KEYS] [--frame=KEYS] [--quit=KEYS] [--seconds=N] PROGRAM [ARGS...]
//
// KEYS may use \e, \r, \n, \t and \\. The defaults suit console_demo, which shows "Key N: CODE"
// for each key: pressing the same key twice changes one cell (N). For lbe, pass keys whose
// second frame changes one cell.

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_pty.h"

namespace {

std::string Unescape(std::string_view text) {
  std::string bytes;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      bytes += text[i];
      continue;
    }
    switch (text[++i]) {
      case 'e':
        bytes += '\x1b';
        break;
      case 'r':
        bytes += '\r';
        break;
      case 'n':
        bytes += '\n';
        break;
      case 't':
        bytes += '\t';
        break;
      default:
        bytes += text[i];
        break;
    }
  }
  return bytes;
}

void Row(const char* measure, const std::string& value, const char* target) {
  std::printf("%-44s %12s   %s\n", measure, value.c_str(), target);
}

std::string Format(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace lbe::bench;
  std::string setup = "a";
  std::string frame = "a";
  std::string quit = "q";
  int seconds = 10;
  std::vector<std::string> program;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (!program.empty()) {
      program.emplace_back(argument);
    } else if (argument.rfind("--setup=", 0) == 0) {
      setup = Unescape(argument.substr(8));
    } else if (argument.rfind("--frame=", 0) == 0) {
      frame = Unescape(argument.substr(8));
    } else if (argument.rfind("--quit=", 0) == 0) {
      quit = Unescape(argument.substr(7));
    } else if (argument.rfind("--seconds=", 0) == 0) {
      seconds = std::stoi(std::string(argument.substr(10)));
    } else {
      program.emplace_back(argument);
    }
  }
  if (program.empty()) {
    std::fprintf(stderr,
                 "usage: terminal_bench [--setup=KEYS] [--frame=KEYS] [--quit=KEYS] "
                 "[--seconds=N] PROGRAM [ARGS...]\n");
    return 2;
  }

  PtyProgram run(program);
  if (!run.Started() || !run.ReadUntilQuiet(Milliseconds(300), Milliseconds(10000))) {
    std::fprintf(stderr, "terminal_bench: %s did not start and settle\n", program[0].c_str());
    return 1;
  }
  const auto startUp = run.LastOutputTime();
  const std::size_t startBytes = run.OutputBytes();

  const double cpuBefore = run.CpuSeconds();
  const std::size_t bytesBefore = run.OutputBytes();
  run.ReadFor(Milliseconds(seconds * 1000));
  const double idleCpu = run.CpuSeconds() - cpuBefore;
  const std::size_t idleBytes = run.OutputBytes() - bytesBefore;

  run.Write(setup);
  run.ReadUntilQuiet(Milliseconds(200), Milliseconds(5000));
  const std::size_t frameBefore = run.OutputBytes();
  run.Write(frame);
  run.ReadUntilQuiet(Milliseconds(200), Milliseconds(5000));
  const std::size_t frameBytes = run.OutputBytes() - frameBefore;

  run.Write(quit);
  if (!run.Wait(Milliseconds(5000))) {
    run.Signal(SIGTERM);
    run.Wait(Milliseconds(5000));
  }

  std::printf("%s at 80 x 25, TERM=xterm-256color\n", program[0].c_str());
  Row("measure", "value", "target");
  Row(("CPU while waiting " + std::to_string(seconds) + " s with no input").c_str(),
      Format("%.3f s", idleCpu), "0.00 s");
  Row("bytes written while waiting", std::to_string(idleBytes), "0");
  Row("bytes for a frame with one cell changed", std::to_string(frameBytes), "under 20");
  Row("start-up until the first screen is drawn", Format("%.0f ms", double(startUp.count())), "");
  Row("bytes of the first screen", std::to_string(startBytes), "");
  Row("CPU of the whole run", Format("%.3f s", run.CpuSeconds()), "");
  Row("peak resident memory", Format("%.1f MiB", double(run.PeakResidentKiB()) / 1024.0), "");
  return 0;
}
