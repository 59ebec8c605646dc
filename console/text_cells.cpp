#include "console/text_cells.h"

#include <array>

#include "text/utf8.h"
#include "text/visible_text.h"

namespace lbe::console {

namespace {

// East Asian wide and fullwidth blocks, as terminals draw them.
constexpr std::array<text::CodeRange, 18> kWideRanges{{
    {0x1100, 0x115F},
    {0x231A, 0x231B},
    {0x2329, 0x232A},
    {0x2E80, 0x303E},
    {0x3041, 0x33FF},
    {0x3400, 0x4DBF},
    {0x4E00, 0x9FFF},
    {0xA000, 0xA4CF},
    {0xA960, 0xA97F},
    {0xAC00, 0xD7A3},
    {0xF900, 0xFAFF},
    {0xFE10, 0xFE19},
    {0xFE30, 0xFE6F},
    {0xFF00, 0xFF60},
    {0xFFE0, 0xFFE6},
    {0x1F300, 0x1F64F},
    {0x1F900, 0x1F9FF},
    {0x20000, 0x3FFFD},
}};

}  // namespace

int CellWidth(char32_t character) {
  if (character < kWideRanges.front().First) {
    return 1;  // most of what is drawn: every cell of every frame asks
  }
  return text::InRanges(kWideRanges, character) ? 2 : 1;
}

int TextCells(std::string_view bytes) {
  int cells = 0;
  while (!bytes.empty()) {
    const text::DecodedCharacter decoded = text::DecodeUtf8(bytes);
    cells += CellWidth(decoded.Character);
    bytes.remove_prefix(decoded.Length);
  }
  return cells;
}

std::size_t PrefixFittingCells(std::string_view bytes, int cells) {
  std::size_t taken = 0;
  while (taken < bytes.size()) {
    const text::DecodedCharacter decoded = text::DecodeUtf8(bytes.substr(taken));
    const int width = CellWidth(decoded.Character);
    if (width > cells) {
      break;
    }
    cells -= width;
    taken += decoded.Length;
  }
  return taken;
}

}  // namespace lbe::console
