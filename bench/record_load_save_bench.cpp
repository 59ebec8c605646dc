// Prints how long the editor's LoadFile and SaveRange take on Intel HEX files, and how much
// memory the process peaks at: a 64 KiB image in 16-byte records, and that image's records
// among 32 MiB of data records of other addresses, before the window or after it, which a load
// only checks and a save keeps. Each save changes one byte. Each case runs in a child process of
// its own, so that its peak resident set is its alone. Usage: record_load_save_bench [rounds]

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "files/edited_file.h"
#include "image/edit_history.h"
#include "image/memory_image.h"
#include "records/record_file.h"

namespace {

namespace fs = std::filesystem;
using lbe::records::FileFormat;

constexpr std::uint64_t kWindowBase = 0x2000000;
constexpr std::size_t kOtherBytes = std::size_t{32} << 20;

// Records of `count` random bytes from `address` on, without the end record.
std::string DataRecords(std::uint64_t address, std::uint64_t count, std::mt19937& random) {
  if (count == 0) {
    return {};
  }
  std::vector<std::uint8_t> bytes(count);
  for (auto& byte : bytes) {
    byte = static_cast<std::uint8_t>(random());
  }
  std::string text = lbe::records::WriteRecordBytes(FileFormat::IntelHex, {}, address, bytes);
  text.resize(text.rfind(":00000001FF"));
  return text;
}

// "mean M ms median D ms" of the times.
std::string Figures(std::vector<double> times) {
  double sum = 0;
  for (const double time : times) {
    sum += time;
  }
  std::sort(times.begin(), times.end());
  char text[64];
  std::snprintf(text, sizeof text, "mean %7.2f median %7.2f ms",
                sum / static_cast<double>(times.size()), times[times.size() / 2]);
  return text;
}

// In the child: loads the file `rounds` times, then saves a one-byte change `rounds` times;
// prints the figures of one load and of one save.
[[noreturn]] void LoadAndSave(const std::string& name, std::uint64_t base, int rounds) {
  using Clock = std::chrono::steady_clock;
  const auto since = [](Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  };
  lbe::files::StartFile start;
  start.Name = name;
  start.Offset = base;
  lbe::files::LoadStartImage(start);
  std::vector<double> loads;
  std::vector<double> saves;
  bool saved = true;
  for (int round = 0; round < rounds; ++round) {
    const auto begin = Clock::now();
    lbe::files::LoadFile();
    loads.push_back(since(begin));
  }
  // A load between saves would cost the next save a wait for the disk (the read's access time
  // goes to the file system's journal with it): the saves come as the user makes them, one
  // change and S after another.
  for (int round = 0; round < rounds; ++round) {
    const std::int32_t address = 0x8000 + round % 0x100;
    lbe::image::BeginChange({address / 8, 0});
    lbe::image::NoteByte(address);
    ++lbe::image::Image[address];
    lbe::image::EndChange();
    const auto begin = Clock::now();
    saved = lbe::files::SaveRange() && saved;
    saves.push_back(since(begin));
  }
  std::printf("\n  load %s\n  save %s", Figures(loads).c_str(), Figures(saves).c_str());
  std::fflush(stdout);
  std::_Exit(saved && lbe::image::Range.EndLine == lbe::image::kLastLine ? 0 : 1);
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;
  std::string pattern = (fs::temp_directory_path() / "lbe-record-bench-XXXXXX").native();
  if (::mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const fs::path folder = pattern;
  ::setenv("XDG_STATE_HOME", (folder / "state").c_str(), 1);
  ::setenv("HOME", folder.c_str(), 1);  // nothing reaches the real home
  const struct {
    const char* label;
    std::uint64_t before;
    std::uint64_t after;
    int rounds;
  } cases[] = {{"64 KiB", 0, 0, rounds},
               {"in a 1 MiB file", 160 << 10, 160 << 10, rounds},
               {"+ 32 MiB before", kOtherBytes, 0, std::max(1, rounds / 25)},
               {"+ 32 MiB after", 0, kOtherBytes, std::max(1, rounds / 25)}};
  std::printf(
      "Intel HEX, a 64 KiB window (--offset): LoadFile and a one-byte SaveRange; peak\n"
      "RSS of the process\n");
  const std::string name = (folder / "data.hex").native();
  for (const auto& c : cases) {
    // Written by a child of its own: the heap the text took stays out of the measured one.
    if (const pid_t writer = ::fork(); writer == 0) {
      std::mt19937 random(1);
      std::ofstream file(name, std::ios::binary);
      file << DataRecords(kWindowBase - c.before, c.before, random)
           << DataRecords(kWindowBase, 0x10000, random)
           << DataRecords(kWindowBase + 0x10000, c.after, random) << ":00000001FF\n";
      file.close();
      std::_Exit(file ? 0 : 1);
    } else {
      ::waitpid(writer, nullptr, 0);
    }
    ::sync();  // the file's writing done before the saves wait for the disk
    std::printf("%-16s %6ju KiB file", c.label,
                static_cast<std::uintmax_t>(fs::file_size(name) >> 10));
    std::fflush(stdout);
    const pid_t child = ::fork();
    if (child == 0) {
      LoadAndSave(name, kWindowBase, c.rounds);
    }
    int status = 0;
    rusage usage{};
    ::wait4(child, &status, 0, &usage);
    std::printf("\n  peak RSS %ld KiB%s\n", usage.ru_maxrss,
                WIFEXITED(status) && WEXITSTATUS(status) == 0 ? "" : "  (failed)");
  }
  std::error_code ignored;
  fs::remove_all(folder, ignored);
  return 0;
}
