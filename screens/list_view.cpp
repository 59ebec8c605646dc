#include "screens/list_view.h"

#include <cstdint>

#include "console/key_codes.h"
#include "console/key_input.h"
#include "console/text_output.h"
#include "console/window.h"
#include "image/memory_image.h"
#include "screens/line_dump.h"

namespace lbe::screens {
namespace {

constexpr std::uint8_t kListRows = 24;
constexpr std::uint8_t kColumnDistance = 26;
constexpr int kPageEntries = 72;  // three columns of 24
constexpr std::uint8_t kPromptRow = 25;

// "(more)" after a full page; false when the user stops the listing with Esc or Q.
bool AskForMorePages() {
  console::MoveCursor(1, kPromptRow);
  console::Write("(more)");
  const console::KeyCode key = console::WaitKey();
  return key != console::Vk::Escape && key != 'Q';
}

}  // namespace

void ListView() {
  const auto& range = image::Range;
  // An empty range (EndLine below StartLine after an empty file) lists nothing and leaves the
  // menu on screen under the prompt.
  std::uint8_t column = 1;
  std::uint8_t row = 1;
  int onPage = 0;
  for (std::int32_t line = range.StartLine; line <= range.EndLine; ++line) {
    if (onPage == 0) {
      console::ClearWindow();
      column = 1;
      row = 1;
    }
    console::MoveCursor(column, row);
    WriteLineDump(line * image::kLineBytes);
    WriteLineChecksum(line * image::kLineBytes);
    if (++row > kListRows) {
      row = 1;
      column = static_cast<std::uint8_t>(column + kColumnDistance);
    }
    // "(more)" also follows a page that ends exactly at EndLine.
    if (++onPage == kPageEntries) {
      if (!AskForMorePages()) {
        break;
      }
      onPage = 0;
    }
  }
  console::MoveCursor(1, kPromptRow);
  console::Write("Press any key...");
  console::WaitKey();
}

}  // namespace lbe::screens
