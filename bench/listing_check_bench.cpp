// Prints how fast `lbe --check` checks a listing and how much memory it peaks at, for listings
// of 8,192 lines (the whole image), a million and four million lines, in the --list form with
// random bytes and running addresses; and once more with -o, which keeps 8 bytes per line.
// Each run is the real program in a child process, so that its peak resident set is its alone.
//   listing_check_bench PATH_TO_LBE

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

bool WriteListing(const std::string& name, std::uint64_t lines) {
  std::FILE* file = std::fopen(name.c_str(), "w");
  if (file == nullptr) {
    return false;
  }
  std::mt19937_64 random(42);
  for (std::uint64_t line = 0; line < lines; ++line) {
    const std::uint64_t value = random();
    unsigned sum = 0;
    for (int b = 0; b < 8; ++b) {
      sum += static_cast<unsigned>(value >> (8 * b)) & 0xFFu;
    }
    std::fprintf(file, "%.4llX %.16llX:%.2X\n", static_cast<unsigned long long>(line * 8),
                 static_cast<unsigned long long>(value), sum & 0xFFu);
  }
  return std::fclose(file) == 0;
}

struct Run {
  double seconds = 0;
  double cpuSeconds = 0;
  long peakKiB = 0;
  int status = -1;
};

Run RunCheck(const std::string& lbe, const std::vector<std::string>& parameters) {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  const pid_t child = ::fork();
  if (child == 0) {
    std::vector<char*> argv{const_cast<char*>(lbe.c_str())};
    for (const std::string& parameter : parameters) {
      argv.push_back(const_cast<char*>(parameter.c_str()));
    }
    argv.push_back(nullptr);
    if (std::freopen("/dev/null", "w", stderr) == nullptr) {
      std::_Exit(127);
    }
    ::execv(lbe.c_str(), argv.data());
    std::_Exit(127);
  }
  Run run;
  rusage usage{};
  int status = 0;
  ::wait4(child, &status, 0, &usage);
  run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  run.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                   static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  run.peakKiB = usage.ru_maxrss;
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: listing_check_bench PATH_TO_LBE\n");
    return 2;
  }
  const std::string lbe = fs::absolute(argv[1]).native();
  std::string pattern = (fs::temp_directory_path() / "lbe-listing-bench-XXXXXX").native();
  if (::mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const fs::path folder = pattern;
  const std::string listing = (folder / "listing.txt").native();
  const std::string output = (folder / "out.bin").native();

  std::printf("lbe --check on listings in the --list form; wall and CPU time, peak RSS\n");
  std::printf("%-22s %10s %10s %14s %12s\n", "listing", "wall s", "CPU s", "lines/s (CPU)",
              "peak RSS");
  const struct {
    std::uint64_t lines;
    bool output;
  } cases[] = {{8192, false}, {1'000'000, false}, {4'000'000, false}, {1'000'000, true}};
  for (const auto& c : cases) {
    if (!WriteListing(listing, c.lines)) {
      std::perror("listing");
      break;
    }
    std::vector<std::string> parameters{"--check", listing};
    if (c.output) {
      parameters.insert(parameters.end(), {"-o", output});
    }
    const Run run = RunCheck(lbe, parameters);
    const std::string label = std::to_string(c.lines) + " lines" + (c.output ? " -o" : "");
    std::printf("%-22s %10.3f %10.3f %14.0f %8ld KiB%s\n", label.c_str(), run.seconds,
                run.cpuSeconds, static_cast<double>(c.lines) / std::max(run.cpuSeconds, 1e-6),
                run.peakKiB, run.status == 0 ? "" : "  (did not check out)");
    std::fflush(stdout);
  }
  std::error_code ignored;
  fs::remove_all(folder, ignored);
  return 0;
}
