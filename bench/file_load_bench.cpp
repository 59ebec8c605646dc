// Prints how long LoadFile takes and how much memory its process peaks at, for a 64 KiB file
// and for sparse files of 1 GiB, just under 2 GiB and 4 GiB: loading reads only what fits in the
// image, so neither figure may grow with the file. Each case runs in a child process of its
// own, so that its peak resident set is its alone. Usage: file_load_bench [rounds]

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "files/edited_file.h"
#include "image/memory_image.h"

namespace {

namespace fs = std::filesystem;

bool MakeFile(const std::string& name, off_t size) {
  const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) {
    return false;
  }
  const bool sized = ::ftruncate(fd, size) == 0;
  ::close(fd);
  return sized;
}

// In the child: loads the file `rounds` times and prints the mean time of one load.
[[noreturn]] void LoadRounds(const std::string& name, int rounds) {
  using Clock = std::chrono::steady_clock;
  lbe::files::CurrentFileName = name;
  const auto start = Clock::now();
  for (int round = 0; round < rounds; ++round) {
    lbe::files::LoadFile();
  }
  const std::chrono::duration<double, std::micro> spent = Clock::now() - start;
  std::printf("%12.1f us", spent.count() / rounds);
  std::fflush(stdout);
  std::_Exit(lbe::image::Range.EndLine == lbe::image::kLastLine ? 0 : 1);
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
  std::string pattern = (fs::temp_directory_path() / "lbe-load-bench-XXXXXX").native();
  if (::mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const fs::path folder = pattern;
  const struct {
    const char* label;
    off_t size;
  } cases[] = {{"64 KiB", 65536},
               {"1 GiB sparse", off_t{1} << 30},
               {"2 GiB - 1 sparse", (off_t{1} << 31) - 1},
               {"4 GiB sparse", off_t{1} << 32}};
  std::printf("LoadFile at 0x0000, mean of %d loads; peak RSS of the loading process\n", rounds);
  for (const auto& c : cases) {
    const std::string name = (folder / "data.bin").native();
    if (!MakeFile(name, c.size)) {
      std::perror("ftruncate");
      continue;
    }
    std::printf("%-18s", c.label);
    std::fflush(stdout);
    const pid_t child = ::fork();
    if (child == 0) {
      LoadRounds(name, rounds);
    }
    int status = 0;
    rusage usage{};
    ::wait4(child, &status, 0, &usage);
    std::printf("  peak RSS %6ld KiB%s\n", usage.ru_maxrss,
                WIFEXITED(status) && WEXITSTATUS(status) == 0 ? "" : "  (load failed)");
  }
  std::error_code ignored;
  fs::remove_all(folder, ignored);
  return 0;
}
