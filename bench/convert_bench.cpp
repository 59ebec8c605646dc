// Prints how long `lbe --convert` takes on a 16 MiB firmware image and how much memory it peaks
// at: raw to Intel HEX and S-record at 08000000, back to raw, records to records, and the same
// into outputs that are there already (saved in place, journalled). Each run is the real program
// in a child process, so that its peak resident set is its alone; `lbe --version` gives the
// program's own floor. Figures only.
//   convert_bench PATH_TO_LBE

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kImageBytes = std::size_t{16} << 20;

struct Run {
  double seconds = 0;
  double cpuSeconds = 0;
  long peakKiB = 0;
  int status = -1;
};

Run RunLbe(const std::string& lbe, const std::vector<std::string>& parameters) {
  using Clock = std::chrono::steady_clock;
  std::fflush(stdout);  // the child's copy of the buffer would be printed twice
  const auto start = Clock::now();
  const pid_t child = ::fork();
  if (child == 0) {
    std::vector<char*> argv{const_cast<char*>(lbe.c_str())};
    for (const std::string& parameter : parameters) {
      argv.push_back(const_cast<char*>(parameter.c_str()));
    }
    argv.push_back(nullptr);
    if (std::freopen("/dev/null", "w", stderr) == nullptr ||
        std::freopen("/dev/null", "w", stdout) == nullptr) {
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

void Print(const char* what, const Run& run) {
  std::printf("%-44s %8.3f %8.3f %9.1f MiB%s\n", what, run.seconds, run.cpuSeconds,
              static_cast<double>(run.peakKiB) / 1024.0, run.status == 0 ? "" : "  (failed)");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: convert_bench PATH_TO_LBE\n");
    return 2;
  }
  const std::string lbe = fs::absolute(argv[1]).native();
  std::string pattern = (fs::temp_directory_path() / "lbe-convert-bench-XXXXXX").native();
  if (::mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const fs::path folder = pattern;
  // Saves into outputs that are there keep their journals here, not in the user's state folder.
  ::setenv("XDG_STATE_HOME", (folder / "state").c_str(), 1);
  const auto in = [&](const char* name) { return (folder / name).native(); };
  // The image, and other bytes of its length for an output that is there; written in pieces, so
  // that the children, which start as copies of this process, start small.
  for (const auto& [name, seed] : {std::pair{"image.bin", 7}, std::pair{"other.bin", 8}}) {
    std::ofstream file(in(name), std::ios::binary);
    std::mt19937_64 random(static_cast<std::uint64_t>(seed));
    std::vector<char> piece(std::size_t{1} << 16);
    for (std::size_t done = 0; done < kImageBytes; done += piece.size()) {
      for (std::size_t at = 0; at < piece.size(); at += 8) {
        const std::uint64_t value = random();
        for (int b = 0; b < 8; ++b) {
          piece[at + static_cast<std::size_t>(b)] = static_cast<char>(value >> (8 * b));
        }
      }
      file.write(piece.data(), static_cast<std::streamsize>(piece.size()));
    }
  }

  std::printf("lbe --convert of a 16 MiB image at 08000000; wall and CPU time, peak RSS\n");
  std::printf("%-44s %8s %8s %13s\n", "conversion", "wall s", "CPU s", "peak RSS");
  Print("lbe --version (the program alone)", RunLbe(lbe, {"--version"}));
  Print("raw -> Intel HEX, 16-byte records",
        RunLbe(lbe, {"--convert", "--address=08000000", in("image.bin"), in("image.hex")}));
  Print("Intel HEX -> raw", RunLbe(lbe, {"--convert", in("image.hex"), in("back.bin")}));
  Print("raw -> S-record (S3), 16-byte records",
        RunLbe(lbe, {"--convert", "--address=08000000", in("image.bin"), in("image.s37")}));
  Print("S-record -> raw", RunLbe(lbe, {"--convert", in("image.s37"), in("back-s.bin")}));
  Print("Intel HEX -> S-record (S3)", RunLbe(lbe, {"--convert", in("image.hex"), in("again.s37")}));
  // Outputs that are there: the same bytes again (nothing to write), then other bytes throughout.
  Print("raw -> Intel HEX over the same output",
        RunLbe(lbe, {"--convert", "--address=08000000", in("back.bin"), in("image.hex")}));
  Print("Intel HEX -> raw over the same output",
        RunLbe(lbe, {"--convert", in("image.hex"), in("back.bin")}));
  Print("raw -> Intel HEX over another output",
        RunLbe(lbe, {"--convert", "--address=08000001", in("back.bin"), in("image.hex")}));
  Print("Intel HEX -> raw over another output",
        RunLbe(lbe, {"--convert", in("image.hex"), in("other.bin")}));
  std::error_code ignored;
  const bool same = fs::file_size(in("other.bin"), ignored) == kImageBytes &&
                    fs::file_size(in("back.bin"), ignored) == kImageBytes &&
                    fs::file_size(in("back-s.bin"), ignored) == kImageBytes;
  std::printf("the images converted back are %s\n", same ? "of the right length" : "WRONG");
  fs::remove_all(folder, ignored);
  return 0;
}
