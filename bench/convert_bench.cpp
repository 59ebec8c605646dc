// Prints how long `lbe --convert` takes on a 16 MiB firmware image, how much memory it peaks at
// and how many bytes it writes: raw to Intel HEX and S-record at 08000000, back to raw, records
// to records, and the same into outputs that are there already (saved in place, journalled), with
// the same bytes and with every byte other. Each run is the real program in a child process, so
// that its figures are its alone; `lbe --version` gives the program's own floor. Figures only.
//   convert_bench PATH_TO_LBE

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bench/child_run.h"

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kImageBytes = std::size_t{16} << 20;

void Print(const char* what, const lbe::bench::ChildRun& run) {
  std::printf("%-44s %8.3f %8.3f %9.1f MiB %8s %8s%s\n", what, run.Seconds, run.CpuSeconds,
              static_cast<double>(run.PeakKiB) / 1024.0,
              lbe::bench::MiB(run.WriteCallBytes).c_str(), lbe::bench::MiB(run.DiskBytes).c_str(),
              run.Status == 0 ? "" : "  (failed)");
}

// Every byte of the file at `name` changed: an output there that a conversion must write whole.
void ChangeEveryByte(const std::string& name) {
  std::fstream file(name, std::ios::binary | std::ios::in | std::ios::out);
  std::vector<char> piece(std::size_t{1} << 16);
  for (std::streamoff at = 0;; at += static_cast<std::streamoff>(piece.size())) {
    file.seekg(at);
    file.read(piece.data(), static_cast<std::streamsize>(piece.size()));
    const std::streamsize got = file.gcount();
    if (got <= 0) {
      break;
    }
    file.clear();
    for (std::streamsize i = 0; i < got; ++i) {
      piece[static_cast<std::size_t>(i)] = static_cast<char>(~piece[static_cast<std::size_t>(i)]);
    }
    file.seekp(at);
    file.write(piece.data(), got);
  }
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

  std::printf(
      "lbe --convert of a 16 MiB image at 08000000; wall and CPU time, peak RSS, the bytes handed\n"
      "to write calls and those left for the disk (MiB)\n");
  std::printf("%-44s %8s %8s %13s %8s %8s\n", "conversion", "wall s", "CPU s", "peak RSS",
              "written", "disk");
  const auto run = [&](const char* what, const std::vector<std::string>& parameters) {
    ::sync();  // the files of the run before on their way to the disk are not this run's
    Print(what, lbe::bench::RunChild(lbe, parameters));
  };
  run("lbe --version (the program alone)", {"--version"});
  run("raw -> Intel HEX, 16-byte records",
      {"--convert", "--address=08000000", in("image.bin"), in("image.hex")});
  run("Intel HEX -> raw", {"--convert", in("image.hex"), in("back.bin")});
  run("raw -> S-record (S3), 16-byte records",
      {"--convert", "--address=08000000", in("image.bin"), in("image.s37")});
  run("S-record -> raw", {"--convert", in("image.s37"), in("back-s.bin")});
  run("Intel HEX -> S-record (S3)", {"--convert", in("image.hex"), in("again.s37")});
  // Outputs that are there: the same bytes again (nothing to write), then every byte other.
  run("raw -> Intel HEX over the same output",
      {"--convert", "--address=08000000", in("back.bin"), in("image.hex")});
  run("Intel HEX -> raw over the same output", {"--convert", in("image.hex"), in("back.bin")});
  ChangeEveryByte(in("image.hex"));
  run("raw -> Intel HEX over another output",
      {"--convert", "--address=08000000", in("image.bin"), in("image.hex")});
  ChangeEveryByte(in("image.s37"));
  run("raw -> S-record over another output",
      {"--convert", "--address=08000000", in("image.bin"), in("image.s37")});
  run("Intel HEX -> raw over another output", {"--convert", in("image.hex"), in("other.bin")});
  std::error_code ignored;
  const bool same = fs::file_size(in("other.bin"), ignored) == kImageBytes &&
                    fs::file_size(in("back.bin"), ignored) == kImageBytes &&
                    fs::file_size(in("back-s.bin"), ignored) == kImageBytes;
  std::printf("the images converted back are %s\n", same ? "of the right length" : "WRONG");
  fs::remove_all(folder, ignored);
  return 0;
}
