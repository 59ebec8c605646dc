#include "console/text_cells.h"

#include <algorithm>
#include <array>
#include <iterator>

namespace lbe::console {

namespace {

struct CodeRange {
  char32_t First;
  char32_t Last;
};

// East Asian wide and fullwidth blocks, as terminals draw them.
constexpr std::array<CodeRange, 18> kWideRanges{{
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

// Characters a terminal would act on or draw in no cell of their own.
constexpr std::array<CodeRange, 12> kPlaceholderRanges{{
    {0x0000, 0x001F},  // C0 controls
    {0x007F, 0x009F},  // DEL and C1 controls
    {0x00AD, 0x00AD},  // soft hyphen
    {0x0300, 0x036F},  // combining diacritics
    {0x061C, 0x061C},  // Arabic letter mark
    {0x1AB0, 0x1AFF},  // combining diacritics extended
    {0x200B, 0x200F},  // zero-width characters and directional marks
    {0x2028, 0x202E},  // separators, bidirectional embeddings and overrides
    {0x2060, 0x206F},  // word joiner, invisible operators, bidirectional isolates
    {0x20D0, 0x20FF},  // combining marks for symbols
    {0xFE00, 0xFE0F},  // variation selectors
    {0xFEFF, 0xFEFF},  // zero-width no-break space
}};

template <std::size_t N>
bool InRanges(const std::array<CodeRange, N>& ranges, char32_t character) {
  return std::any_of(ranges.begin(), ranges.end(), [character](const CodeRange& range) {
    return character >= range.First && character <= range.Last;
  });
}

}  // namespace

DecodedCharacter DecodeUtf8(std::string_view bytes) {
  if (bytes.empty()) {
    return {};
  }
  const auto lead = static_cast<unsigned char>(bytes[0]);
  if (lead < 0x80) {
    return {lead, 1};
  }
  int length;
  char32_t value;
  char32_t minimum;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, value = lead & 0x1Fu, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, value = lead & 0x0Fu, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, value = lead & 0x07u, minimum = 0x10000;
  } else {
    return {kReplacementCharacter, 1};
  }
  if (bytes.size() < static_cast<std::size_t>(length)) {
    return {kReplacementCharacter, 1};
  }
  for (int i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(bytes[static_cast<std::size_t>(i)]);
    if ((next & 0xC0) != 0x80) {
      return {kReplacementCharacter, 1};
    }
    value = (value << 6) | (next & 0x3Fu);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
    return {kReplacementCharacter, 1};
  }
  return {value, static_cast<std::size_t>(length)};
}

void AppendUtf8(std::string& out, char32_t character) {
  const auto c = static_cast<std::uint32_t>(character);
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

int CellWidth(char32_t character) {
  if (character < kWideRanges.front().First) {
    return 1;  // most of what is drawn: every cell of every frame asks
  }
  return InRanges(kWideRanges, character) ? 2 : 1;
}

bool IsPlaceholderCharacter(char32_t character) {
  if (character >= U' ' && character < 0x7F) {
    return false;
  }
  return InRanges(kPlaceholderRanges, character) || character > 0x10FFFF;
}

int TextCells(std::string_view bytes) {
  int cells = 0;
  while (!bytes.empty()) {
    const DecodedCharacter decoded = DecodeUtf8(bytes);
    cells += CellWidth(decoded.Character);
    bytes.remove_prefix(decoded.Length);
  }
  return cells;
}

std::size_t PrefixFittingCells(std::string_view bytes, int cells) {
  std::size_t taken = 0;
  while (taken < bytes.size()) {
    const DecodedCharacter decoded = DecodeUtf8(bytes.substr(taken));
    const int width = CellWidth(decoded.Character);
    if (width > cells) {
      break;
    }
    cells -= width;
    taken += decoded.Length;
  }
  return taken;
}

std::string VisibleText(std::string_view bytes) {
  std::string visible;
  visible.reserve(bytes.size());
  while (!bytes.empty()) {
    const DecodedCharacter decoded = DecodeUtf8(bytes);
    if (IsPlaceholderCharacter(decoded.Character) || decoded.Character == kReplacementCharacter) {
      visible += '?';
    } else {
      visible.append(bytes.substr(0, decoded.Length));
    }
    bytes.remove_prefix(decoded.Length);
  }
  return visible;
}

}  // namespace lbe::console
