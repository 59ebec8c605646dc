#pragma once
// Text that is safe to show: no character in it can steer a terminal. Pure: no console, no
// files; the console draws by this rule and the file layer builds its messages with it.

#include <span>
#include <string>
#include <string_view>

namespace lbe::text {

// A closed range of code points: the rows of the character tables, here and for cell widths.
struct CodeRange {
  char32_t First;
  char32_t Last;
};
// True when `character` lies in one of `ranges`. Inline: the cell widths ask it for every cell.
inline bool InRanges(std::span<const CodeRange> ranges, char32_t character) {
  for (const CodeRange& range : ranges) {
    if (character >= range.First && character <= range.Last) {
      return true;
    }
  }
  return false;
}

// True for characters drawn as a placeholder instead of themselves: C0 and C1 controls, DEL,
// bidirectional overrides and isolates, and zero-width and combining characters that would
// otherwise not take the one cell they are given.
bool IsPlaceholderCharacter(char32_t character);

// The text with every placeholder character and every malformed byte replaced by '?'.
std::string VisibleText(std::string_view bytes);

}  // namespace lbe::text
