#pragma once
// A program run on a pseudo-terminal for the benchmarks: start it at 80 x 25 with
// TERM=xterm-256color, type keys, read and count what it writes to the terminal, wait until its
// output is quiet, and measure its CPU time and peak memory. Answers the two queries the
// terminal console sends at start-up, as a terminal would, so that no program waits for an
// answer. Linux only.

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace lbe::bench {

using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::milliseconds;

// The terminal every program runs on.
inline constexpr unsigned short kColumns = 80;
inline constexpr unsigned short kRows = 25;
inline constexpr const char* kTerm = "xterm-256color";

class PtyProgram {
 public:
  explicit PtyProgram(const std::vector<std::string>& arguments) {
    winsize size{};
    size.ws_col = kColumns;
    size.ws_row = kRows;
    start_ = Clock::now();
    lastOutput_ = start_;
    pid_ = forkpty(&master_, nullptr, nullptr, &size);
    if (pid_ == 0) {
      setenv("TERM", kTerm, 1);
      unsetenv("LINES");
      unsetenv("COLUMNS");
      std::vector<char*> argv;
      for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
      }
      argv.push_back(nullptr);
      execvp(argv[0], argv.data());
      _exit(127);
    }
    if (pid_ > 0) {
      fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    }
  }

  ~PtyProgram() {
    if (Running()) {
      kill(pid_, SIGKILL);
      Reap(true);
    }
    if (master_ >= 0) {
      close(master_);
    }
  }

  PtyProgram(const PtyProgram&) = delete;
  PtyProgram& operator=(const PtyProgram&) = delete;

  bool Started() const { return pid_ > 0; }
  bool Running() const { return pid_ > 0 && !status_; }

  // Types `bytes`, reading the program's output meanwhile so that neither side can block.
  void Write(std::string_view bytes) {
    while (!bytes.empty() && master_ >= 0 && !ended_) {
      pollfd source{master_, POLLIN | POLLOUT, 0};
      if (poll(&source, 1, 1000) <= 0) {
        continue;
      }
      if ((source.revents & POLLIN) != 0) {
        ReadAvailable();
      }
      if ((source.revents & POLLOUT) != 0) {
        const ssize_t written = write(master_, bytes.data(), bytes.size());
        if (written > 0) {
          bytes.remove_prefix(static_cast<std::size_t>(written));
        } else if (written < 0 && errno != EAGAIN && errno != EINTR) {
          return;
        }
      }
      if ((source.revents & (POLLHUP | POLLERR)) != 0 && (source.revents & POLLIN) == 0) {
        ended_ = true;
      }
    }
  }

  // Reads until no output came for `quiet`, or `limit` has passed; true when it went quiet.
  bool ReadUntilQuiet(Milliseconds quiet, Milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    auto quietSince = Clock::now();
    while (Clock::now() < deadline) {
      if (ReadFor(Milliseconds(5)) > 0) {
        quietSince = Clock::now();
      } else if (Clock::now() - quietSince >= quiet || ended_) {
        return true;
      }
    }
    return false;
  }

  // Reads until `text` stands in the output kept since the last ClearOutput.
  bool ReadUntil(std::string_view text, Milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (output_.find(text) == std::string::npos) {
      if (Clock::now() >= deadline || ended_) {
        return false;
      }
      ReadFor(Milliseconds(5));
    }
    return true;
  }

  // Reads for `duration` and returns the bytes read.
  std::size_t ReadFor(Milliseconds duration) {
    const auto deadline = Clock::now() + duration;
    std::size_t before = outputBytes_;
    for (;;) {
      const auto left = std::chrono::ceil<Milliseconds>(deadline - Clock::now());
      if (left.count() <= 0 || master_ < 0 || ended_) {
        break;
      }
      pollfd source{master_, POLLIN, 0};
      if (poll(&source, 1, static_cast<int>(left.count())) > 0) {
        ReadAvailable();
      }
    }
    return outputBytes_ - before;
  }

  std::size_t OutputBytes() const { return outputBytes_; }
  void ClearOutput() { output_.clear(); }
  // When the program last wrote, counted from its start.
  Milliseconds LastOutputTime() const {
    return std::chrono::duration_cast<Milliseconds>(lastOutput_ - start_);
  }

  void Signal(int signal) {
    if (Running()) {
      kill(pid_, signal);
    }
  }

  // Waits for the program to end, reading its output; its wait status, or none after `limit`.
  std::optional<int> Wait(Milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (Running() && Clock::now() < deadline) {
      ReadFor(Milliseconds(5));
      Reap(false);
    }
    return status_;
  }

  // CPU time used so far (user and system), also while the program runs.
  double CpuSeconds() const {
    if (status_) {
      return Seconds(usage_.ru_utime) + Seconds(usage_.ru_stime);
    }
    clockid_t clock{};
    timespec time{};
    if (pid_ <= 0 || clock_getcpuclockid(pid_, &clock) != 0 || clock_gettime(clock, &time) != 0) {
      return -1;
    }
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) / 1e9;
  }

  // Peak resident memory in KiB: VmHWM while it runs, the rusage figure once it has ended.
  long PeakResidentKiB() const {
    if (status_) {
      return usage_.ru_maxrss;
    }
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("VmHWM:", 0) == 0) {
        return std::strtol(line.c_str() + 6, nullptr, 10);
      }
    }
    return -1;
  }

 private:
  static double Seconds(const timeval& time) {
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
  }

  void Reap(bool block) {
    int status = 0;
    if (wait4(pid_, &status, block ? 0 : WNOHANG, &usage_) == pid_) {
      status_ = status;
    }
  }

  void ReadAvailable() {
    char buffer[65536];
    for (;;) {
      const ssize_t count = read(master_, buffer, sizeof buffer);
      if (count > 0) {
        const std::string_view chunk(buffer, static_cast<std::size_t>(count));
        outputBytes_ += chunk.size();
        lastOutput_ = Clock::now();
        output_.append(chunk);
        AnswerQueries(chunk);
        continue;
      }
      if (count < 0 && errno == EINTR) {
        continue;
      }
      if (count == 0 || (count < 0 && errno != EAGAIN)) {
        ended_ = true;  // EIO: the program closed its side of the terminal
      }
      return;
    }
  }

  // Looks for the queries in what came, with the end of what came before (a query may be cut).
  void AnswerQueries(std::string_view chunk) {
    const std::string seen = queryTail_ + std::string(chunk);
    std::string answers;
    for (const auto& [query, answer] :
         {std::pair<std::string_view, std::string_view>{"\x1b[?1007$p", "\x1b[?1007;2$y"},
          {"\x1b[c", "\x1b[?62;22c"}}) {
      for (std::size_t at = seen.find(query); at != std::string::npos;
           at = seen.find(query, at + 1)) {
        if (at + query.size() > queryTail_.size()) {
          answers += answer;
        }
      }
    }
    queryTail_ = seen.substr(seen.size() > 16 ? seen.size() - 16 : 0);
    if (!answers.empty() && write(master_, answers.data(), answers.size()) < 0) {
      // The program is gone; nothing to answer.
    }
  }

  pid_t pid_ = -1;
  int master_ = -1;
  bool ended_ = false;
  std::optional<int> status_;
  rusage usage_{};
  std::size_t outputBytes_ = 0;
  std::string output_;
  std::string queryTail_;
  Clock::time_point start_;
  Clock::time_point lastOutput_;
};

}  // namespace lbe::bench
