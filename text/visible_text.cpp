#include "text/visible_text.h"

#include <array>

#include "text/utf8.h"

namespace lbe::text {

namespace {

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

}  // namespace

bool IsPlaceholderCharacter(char32_t character) {
  return InRanges(kPlaceholderRanges, character) || character > 0x10FFFF;
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

}  // namespace lbe::text
