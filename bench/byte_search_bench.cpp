// Prints how long FindInImage takes to look through the whole image and find nothing, the
// slowest a search can be, for patterns chosen to keep it busy: the median and the quickest of
// many runs, in microseconds (the quickest is what the search costs when nothing else runs).
// Usage: byte_search_bench [runs]

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "image/byte_search.h"
#include "image/memory_image.h"

namespace {

using lbe::image::Image;

void FillRandom(std::uint8_t missing) {
  std::mt19937 random(42);
  for (std::uint8_t& byte : Image.Bytes) {
    byte = static_cast<std::uint8_t>(random());
    if (byte == missing) {
      ++byte;
    }
  }
}

void FillRepeated(const std::string& tile) {
  for (std::size_t i = 0; i < Image.Bytes.size(); ++i) {
    Image.Bytes[i] = static_cast<std::uint8_t>(tile[i % tile.size()]);
  }
}

std::string Repeated(const std::string& piece, int count) {
  std::string text;
  for (int i = 0; i < count; ++i) {
    text += piece;
  }
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 2000;
  const struct {
    const char* label;
    std::string pattern;
    void (*fill)();
  } cases[] = {
      {"00 ?? 00 ?? ... 01 (20 bytes), zero image", Repeated("00 ?? ", 9) + "00 01",
       [] { Image = {}; }},
      {"?? ?? 12, random bytes without 12", "?? ?? 12", [] { FillRandom(0x12); }},
      {"\"HELLO, WORLD\", random bytes", "\"HELLO, WORLD\"", [] { FillRandom(0x00); }},
      {"41 42, image 41 00 41 00 ...", "41 42", [] { FillRepeated(std::string("A\0", 2)); }},
      {"00 x 99, 01 (100 bytes), zero image", Repeated("00", 99) + "01", [] { Image = {}; }},
  };
  std::printf("FindInImage from 8000 around to 0000, no match: median and quickest of %d runs\n",
              runs);
  std::printf("%-44s %10s %10s\n", "pattern, image", "median us", "min us");
  for (const auto& c : cases) {
    c.fill();
    const lbe::image::FindPattern pattern = lbe::image::ParseFindPattern(c.pattern);
    std::vector<double> times;
    bool found = false;
    for (int run = 0; run < runs; ++run) {
      const auto start = std::chrono::steady_clock::now();
      found |= lbe::image::FindInImage(pattern, 0x8000, 0).Address.has_value();
      const std::chrono::duration<double, std::micro> spent =
          std::chrono::steady_clock::now() - start;
      times.push_back(spent.count());
    }
    std::sort(times.begin(), times.end());
    std::printf("%-44s %10.1f %10.1f%s\n", c.label, times[times.size() / 2], times.front(),
                found ? "  (found a match)" : "");
  }
  return 0;
}
