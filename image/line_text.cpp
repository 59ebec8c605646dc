#include "image/line_text.h"

#include <cstdio>

#include "image/memory_image.h"

namespace lbe::image {

std::uint8_t LineChecksum(std::int32_t address) {
  int sum = 0;
  for (std::int32_t i = 0; i < kLineBytes; ++i) {
    sum += Image[address + i];
  }
  return static_cast<std::uint8_t>(sum % 256);
}

std::string LineDumpText(std::int32_t address) {
  // Room for a negative address's eight digits, although callers pass line addresses only.
  char text[32];
  std::snprintf(text, sizeof text,
                "%.4X %.2X%.2X%.2X%.2X%.2X%.2X%.2X%.2X:", static_cast<unsigned>(address),
                Image[address], Image[address + 1], Image[address + 2], Image[address + 3],
                Image[address + 4], Image[address + 5], Image[address + 6], Image[address + 7]);
  return text;
}

}  // namespace lbe::image
