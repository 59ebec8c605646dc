// Prints how fast `lbe --check` checks a listing and how much memory it peaks at, for listings
// of 8,192 lines (the whole image), a million and four million lines, in the --list form with
// random bytes and running addresses; with -o into a new raw or Intel HEX output and over one
// that is there; and a million lines with a sum row after every 16 and every 10th line's 0
// typed as D, so that each of those has a fault and its likely fixes; and the same listings in the
// New MLX form ("0000: 3E 00 D3 FE 21 00 00 11 A6", --style=mlx), whose text is longer by its
// blanks and whose checksum weighs each place.
// With -o, the bytes it writes too: a new output's once, one that is there's journalled as well.
// Each run is the real program in a child process, so that its figures are its alone.
//   listing_check_bench PATH_TO_LBE

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bench/child_run.h"
#include "image/line_text.h"

namespace {

namespace fs = std::filesystem;

// `sumRows`: a row of column sums after every 16 lines. `typos`: every 10th line's first 0
// digit (or its last digit when it has none) typed as D.
bool WriteListing(const std::string& name, std::uint64_t lines, bool sumRows, bool typos,
                  bool mlx) {
  std::FILE* file = std::fopen(name.c_str(), "w");
  if (file == nullptr) {
    return false;
  }
  std::mt19937_64 random(42);
  unsigned columns[8] = {};
  for (std::uint64_t line = 0; line < lines; ++line) {
    const std::uint64_t value = random();
    unsigned sum = 0;
    for (int b = 0; b < 8; ++b) {
      const unsigned byte = static_cast<unsigned>(value >> (56 - 8 * b)) & 0xFFu;
      sum += byte;
      columns[b] += byte;
    }
    char digits[17];
    std::snprintf(digits, sizeof digits, "%.16llX", static_cast<unsigned long long>(value));
    if (typos && line % 10 == 0) {
      char* zero = std::strchr(digits, '0');
      *(zero != nullptr ? zero : digits + 15) = 'D';
    }
    if (mlx) {
      std::array<std::uint8_t, 8> bytes{};
      for (int b = 0; b < 8; ++b) {
        bytes[static_cast<std::size_t>(b)] = static_cast<std::uint8_t>(value >> (56 - 8 * b));
      }
      std::fprintf(file, "%.4llX:", static_cast<unsigned long long>(line * 8));
      for (int b = 0; b < 16; b += 2) {
        std::fprintf(file, " %c%c", digits[b], digits[b + 1]);
      }
      std::fprintf(file, " %.2X\n",
                   lbe::image::MlxLineSum(static_cast<std::uint16_t>(line * 8), bytes));
      continue;
    }
    std::fprintf(file, "%.4llX %s:%.2X\n", static_cast<unsigned long long>(line * 8), digits,
                 sum & 0xFFu);
    if (sumRows && (line % 16 == 15 || line + 1 == lines)) {
      unsigned total = 0;
      std::fprintf(file, "SUM  ");
      for (unsigned& column : columns) {
        total += column;
        std::fprintf(file, "%.2X", column & 0xFFu);
        column = 0;
      }
      std::fprintf(file, ":%.2X\n", total & 0xFFu);
    }
  }
  return std::fclose(file) == 0;
}

// Another output of `from`'s length at `to`, every byte of it other than `from`'s: what a save
// over it must write and journal whole. Without `from`, a few bytes.
void PutOtherOutput(const fs::path& from, const fs::path& to) {
  std::ifstream in(from, std::ios::binary);
  std::ofstream out(to, std::ios::binary | std::ios::trunc);
  if (!in) {
    out << "an output that is there";
    return;
  }
  std::vector<char> piece(std::size_t{1} << 16);
  while (in.read(piece.data(), static_cast<std::streamsize>(piece.size())) || in.gcount() > 0) {
    for (std::streamsize i = 0; i < in.gcount(); ++i) {
      piece[static_cast<std::size_t>(i)] = static_cast<char>(~piece[static_cast<std::size_t>(i)]);
    }
    out.write(piece.data(), in.gcount());
  }
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

  // A save over an output that is there keeps its journal here, not in the user's state folder.
  ::setenv("XDG_STATE_HOME", (folder / "state").c_str(), 1);

  std::printf(
      "lbe --check on listings in the --list form; wall and CPU time, peak RSS, and with -o the\n"
      "bytes handed to write calls and those left for the disk (MiB)\n");
  std::printf("%-28s %8s %8s %14s %12s %8s %8s\n", "listing", "wall s", "CPU s", "lines/s (CPU)",
              "peak RSS", "written", "disk");
  // -o into a new output, or over one that is there ("kept": the new output of the line before,
  // every byte of it changed): all in flat memory.
  const struct {
    std::uint64_t lines;
    std::string output;
    bool sumRowsAndTypos;
    bool mlx = false;
  } cases[] = {{8192, "", false},
               {1'000'000, "", false},
               {4'000'000, "", false},
               {1'000'000, "new.bin", false},
               {1'000'000, "kept.bin", false},
               {4'000'000, "new.bin", false},
               {4'000'000, "kept.bin", false},
               {1'000'000, "new.hex", false},
               {1'000'000, "kept.hex", false},
               {4'000'000, "new.hex", false},
               {4'000'000, "kept.hex", false},
               {1'000'000, "", true},
               // New MLX addresses stop at FFFF: its listings are 8192 lines at most.
               {8192, "", false, true},
               {8192, "new.prg", false, true},
               {8192, "", true, true}};
  for (const auto& c : cases) {
    // New MLX has no sum rows: its typos alone.
    if (!WriteListing(listing, c.lines, c.sumRowsAndTypos && !c.mlx, c.sumRowsAndTypos, c.mlx)) {
      std::perror("listing");
      break;
    }
    std::vector<std::string> parameters{"--check", listing};
    if (c.mlx) {
      parameters.push_back("--style=mlx");
    }
    if (!c.output.empty()) {
      const fs::path output = folder / c.output;
      fs::remove(output);
      if (c.output.starts_with("kept")) {
        PutOtherOutput(folder / ("new" + output.extension().native()), output);
      }
      parameters.insert(parameters.end(), {"-o", output.native()});
    }
    ::sync();  // the listing's own pages on their way to the disk are not the program's
    const lbe::bench::ChildRun run = lbe::bench::RunChild(lbe, parameters);
    const std::string label =
        std::to_string(c.lines) + " lines" + (c.output.empty() ? "" : " -o " + c.output) +
        (c.sumRowsAndTypos ? (c.mlx ? " typos" : " sums, typos") : "") + (c.mlx ? " MLX" : "");
    // The listing with typos is meant not to check out.
    const bool asMeant = run.Status == (c.sumRowsAndTypos ? 1 : 0);
    std::printf("%-28s %8.3f %8.3f %14.0f %8ld KiB %8s %8s%s\n", label.c_str(), run.Seconds,
                run.CpuSeconds, static_cast<double>(c.lines) / std::max(run.CpuSeconds, 1e-6),
                run.PeakKiB, lbe::bench::MiB(run.WriteCallBytes).c_str(),
                lbe::bench::MiB(run.DiskBytes).c_str(), asMeant ? "" : "  (not as meant)");
    std::fflush(stdout);
  }
  std::error_code ignored;
  fs::remove_all(folder, ignored);
  return 0;
}
