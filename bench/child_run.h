#pragma once
// The real program run once in a child process, so that its figures are its alone: wall and CPU
// time, peak resident set, the bytes it handed to write calls and the bytes it left for the disk
// (those it wrote into files, less those of files it dropped before they reached the disk, such
// as a scratch file). The last two come from /proc/PID/io, read while the child is a zombie;
// -1 where the kernel keeps no such count.

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace lbe::bench {

struct ChildRun {
  double Seconds = 0;
  double CpuSeconds = 0;
  long PeakKiB = 0;
  long long WriteCallBytes = -1;  // wchar
  long long DiskBytes = -1;       // write_bytes - cancelled_write_bytes
  int Status = -1;
};

inline ChildRun RunChild(const std::string& program, const std::vector<std::string>& parameters) {
  using Clock = std::chrono::steady_clock;
  std::fflush(stdout);  // the child's copy of the buffer would be printed twice
  const auto start = Clock::now();
  const pid_t child = ::fork();
  if (child == 0) {
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& parameter : parameters) {
      argv.push_back(const_cast<char*>(parameter.c_str()));
    }
    argv.push_back(nullptr);
    if (std::freopen("/dev/null", "w", stderr) == nullptr ||
        std::freopen("/dev/null", "w", stdout) == nullptr) {
      std::_Exit(127);
    }
    ::execv(program.c_str(), argv.data());
    std::_Exit(127);
  }
  ChildRun run;
  siginfo_t info{};
  // Ended but not yet reaped: its counts are still there to read.
  if (::waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT) == 0) {
    std::ifstream io("/proc/" + std::to_string(child) + "/io");
    std::string key;
    long long value = 0;
    long long written = -1;
    long long cancelled = -1;
    while (io >> key >> value) {
      if (key == "wchar:") {
        run.WriteCallBytes = value;
      } else if (key == "write_bytes:") {
        written = value;
      } else if (key == "cancelled_write_bytes:") {
        cancelled = value;
      }
    }
    if (written >= 0 && cancelled >= 0) {
      run.DiskBytes = written - cancelled;
    }
  }
  rusage usage{};
  int status = 0;
  ::wait4(child, &status, 0, &usage);
  run.Seconds = std::chrono::duration<double>(Clock::now() - start).count();
  run.CpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                   static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  run.PeakKiB = usage.ru_maxrss;
  run.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

// Bytes as MiB with one decimal, or "-" where there is no count.
inline std::string MiB(long long bytes) {
  if (bytes < 0) {
    return "-";
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", static_cast<double>(bytes) / (1 << 20));
  return text;
}

}  // namespace lbe::bench
