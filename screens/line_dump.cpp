#include "screens/line_dump.h"

#include <cstdio>

#include "console/text_output.h"
#include "console/window.h"
#include "image/address_text.h"
#include "image/line_text.h"
#include "image/memory_image.h"

namespace lbe::screens {

using image::kLineBytes;
using image::LineChecksum;
using image::LineDumpText;

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
