#include "screens/line_dump.h"

#include <cstdio>

#include "console/text_output.h"
#include "console/window.h"
#include "image/address_text.h"
#include "image/memory_image.h"

namespace lbe::screens {

using image::Image;
using image::kLineBytes;

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

void WriteLineDump(std::int32_t address) {
  console::Write(LineDumpText(address));
}

void WriteLineChecksum(std::int32_t address) {
  console::Write(image::HexText(LineChecksum(address), 2));
}

void DrawEditLine(std::int32_t currentLine, std::int32_t nibbleColumn) {
  const std::int32_t address = currentLine * kLineBytes;
  console::MoveCursor(1, 1);
  WriteLineDump(address);
  WriteLineChecksum(address);
  console::Write(" [");
  if (currentLine > image::Range.StartLine) {
    WriteLineChecksum(address - kLineBytes);
  } else {
    console::Write("--");
  }
  console::Write("]");
  console::MoveCursor(NibbleScreenColumn(nibbleColumn), 1);
}

}  // namespace lbe::screens
