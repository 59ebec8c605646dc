// Prints what a save costs: the time to save a whole 64 KiB file, the time and the bytes
// written to save a one-byte change into a 64 KiB file and into a 1 GiB file, and the time and
// the extra disk space to save a 64 KiB window into a sparse 1 GiB file. Extra space is the most
// the rollback journal held at any moment of the save, plus what the file itself grew by. Each
// figure is the mean and the median of a number of saves, every one flushed to the disk. Built
// with the test hooks, which only the journal's measure uses.
//   file_save_bench [rounds]      (default 50)

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "files/file_journal.h"
#include "files/file_layer.h"
#include "files/state_folder.h"
#include "files/test_hooks.h"
#include "files/whole_file.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::uint64_t DiskBytes(const std::string& name) {
  struct stat info {};
  return ::stat(name.c_str(), &info) == 0 ? static_cast<std::uint64_t>(info.st_blocks) * 512 : 0;
}

template <typename Save>
void Time(const char* label, int rounds, std::vector<std::uint8_t>& bytes, Save&& save) {
  std::vector<double> spent;
  for (int round = 0; round < rounds; ++round) {
    bytes[static_cast<std::size_t>(round) * 97 % bytes.size()] ^= 0xFF;  // a new edit each time
    const auto start = Clock::now();
    save();
    spent.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  std::sort(spent.begin(), spent.end());
  double sum = 0;
  for (double ms : spent) {
    sum += ms;
  }
  std::printf("%-44s mean %7.2f ms  median %7.2f ms\n", label,
              sum / static_cast<double>(spent.size()), spent[spent.size() / 2]);
}

// The bytes this process has written so far, as the kernel counts them (every write call).
std::uint64_t BytesWritten() {
  std::FILE* io = std::fopen("/proc/self/io", "r");
  unsigned long long written = 0;
  if (io != nullptr) {
    char line[128];
    while (std::fgets(line, sizeof line, io) != nullptr) {
      std::sscanf(line, "wchar: %llu", &written);
    }
    std::fclose(io);
  }
  return written;
}

// The most disk space the journals in the state folder took at any file-system call of a save.
std::uint64_t JournalPeak(const std::string& name, const lbe::files::FileStretch& stretch,
                          const std::vector<std::uint8_t>& bytes) {
  const std::string folder = lbe::files::StateFolder();
  std::uint64_t peak = 0;
  lbe::files::SetFileCallHook([&](int, std::string_view) {
    std::uint64_t used = 0;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(folder, ignored)) {
      used += DiskBytes(entry.path().native());
    }
    peak = std::max(peak, used);
    return 0;
  });
  lbe::files::ReplaceStretch(name, stretch, bytes);
  lbe::files::SetFileCallHook(nullptr);
  return peak;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;
  std::string pattern = (fs::temp_directory_path() / "lbe-save-bench-XXXXXX").native();
  if (::mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  // Journals go to a state folder of the benchmark's own.
  ::setenv("XDG_STATE_HOME", (pattern + "/state").c_str(), 1);
  ::setenv("HOME", pattern.c_str(), 1);  // nothing reaches the real home
  const std::string small = pattern + "/64k.bin";
  const std::string large = pattern + "/sparse-1g.bin";
  std::vector<std::uint8_t> bytes(65536, 0x5A);
  try {
    lbe::files::WriteWholeFile(small, bytes);
    Time("whole 64 KiB file (WriteWholeFile)", rounds, bytes,
         [&] { lbe::files::WriteWholeFile(small, bytes); });

    const int fd = ::open(large.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ::ftruncate(fd, off_t{1} << 30) != 0 || ::close(fd) != 0) {
      std::perror("sparse file");
      return 1;
    }
    // One byte changed and saved: only its block is journalled and written.
    const auto oneByteSaves = [&](const char* small64k, const char* large1g) {
      for (const auto& [label, name, offset] :
           {std::tuple{small64k, small, std::uint64_t{0}},
            std::tuple{large1g, large, std::uint64_t{0x20000000}}}) {
        std::vector<std::uint8_t> window = lbe::files::ReadFilePiece(name, offset, 65536).Bytes;
        const std::uint64_t before = BytesWritten();
        Time(label, rounds, window, [&, &name = name, offset = offset] {
          lbe::files::ReplaceStretch(name, {offset, window.size(), false}, window);
        });
        std::printf("%-44s %llu bytes written a save, the journal's included\n", "",
                    static_cast<unsigned long long>((BytesWritten() - before) /
                                                    static_cast<std::uint64_t>(rounds)));
      }
    };
    oneByteSaves("one byte changed in a 64 KiB file", "one byte changed in a 1 GiB file");
    // With 1,000 journals of other files waiting in the state folder: a save and a load look
    // only at their own file's names, so neither should slow.
    const auto load = [&] {
      lbe::files::SettleJournals(small, false);
      lbe::files::ReadFilePiece(small, 0, 65536);
    };
    Time("load of the 64 KiB file (journals settled)", rounds, bytes, load);
    const std::string state = pattern + "/state/lbe/";
    for (int i = 0; i < 1000; ++i) {
      const std::string name =
          state + "fs-00000000deadbeef-" + std::to_string(100000 + i) + ".lbe-journal";
      const int journal = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
      if (journal < 0 || ::ftruncate(journal, 12288) != 0 || ::close(journal) != 0) {
        std::perror("journal");
        return 1;
      }
    }
    Time("the same load, 1,000 other journals waiting", rounds, bytes, load);
    oneByteSaves("one byte in 64 KiB, 1,000 journals waiting",
                 "one byte in 1 GiB, 1,000 journals waiting");

    const lbe::files::FileStretch window{0x20000000, bytes.size(), false};
    const std::uint64_t before = DiskBytes(large);
    Time("64 KiB window at 512 MiB of a sparse 1 GiB", rounds, bytes,
         [&] { lbe::files::ReplaceStretch(large, window, bytes); });
    const std::uint64_t grown = DiskBytes(large) - before;
    // Every byte changed: the journal holds the whole window, former and new.
    for (std::uint8_t& byte : bytes) {
      byte ^= 0xFF;
    }
    const std::uint64_t journal = JournalPeak(large, window, bytes);
    std::printf(
        "%-44s journal at most %llu KiB; the file grew by %llu KiB (the window's own\n"
        "%-44s blocks, once: it was a hole)\n",
        "  extra disk space", static_cast<unsigned long long>(journal / 1024),
        static_cast<unsigned long long>(grown / 1024), "");
  } catch (const lbe::files::FileError& error) {
    std::fprintf(stderr, "save failed: %s\n", error.what());
  }
  std::error_code ignored;
  fs::remove_all(pattern, ignored);
  return 0;
}
