#include "screens/line_dump.h"

#include <cstdio>
#include <span>
#include <string>

#include "console/text_output.h"
#include "console/window.h"
#include "files/edited_file.h"
#include "image/address_text.h"
#include "image/line_text.h"
#include "image/memory_image.h"

namespace lbe::screens {

using image::kLineBytes;
using image::LineDumpText;

namespace {

struct LineForm {
  bool NewMlx = false;
};
LineForm Form;

}  // namespace

void SetNewMlxLines(bool on) {
  Form.NewMlx = on;
}

bool NewMlxLines() {
  return Form.NewMlx;
}

std::int32_t ShownAddress(std::int32_t address) {
  return address + files::Placement.AddressShift;
}

std::uint8_t ShownLineSum(std::int32_t address) {
  return image::ChecksumOfLine(
      Form.NewMlx, static_cast<std::uint64_t>(ShownAddress(address)),
      std::span(image::Image.Bytes).subspan(static_cast<std::size_t>(address), kLineBytes));
}

void WriteLineDump(std::int32_t address) {
  std::string text = LineDumpText(address);
  if (files::Placement.AddressShift != 0) {
    text.replace(0, 4, image::HexText(ShownAddress(address), 4));
  }
  console::Write(text);
}

void WriteLineChecksum(std::int32_t address) {
  console::Write(image::HexText(ShownLineSum(address), 2));
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
