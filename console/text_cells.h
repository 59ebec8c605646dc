#pragma once
// Terminal cell widths of UTF-8 text. Pure: no console, no locale.

#include <cstddef>
#include <string>
#include <string_view>

namespace lbe::console {

// Cells the character takes on a terminal: 2 for East Asian wide and fullwidth forms, else 1.
// Characters that must never reach a terminal raw count 1: they are drawn as a placeholder.
int CellWidth(char32_t character);

// True for characters drawn as a placeholder instead of themselves: C0 and C1 controls, DEL,
// bidirectional overrides and isolates, and zero-width and combining characters that would
// otherwise not take the one cell they are given.
bool IsPlaceholderCharacter(char32_t character);

// Cells that the UTF-8 text takes.
int TextCells(std::string_view bytes);

// The longest prefix of `bytes`, in bytes, that takes at most `cells` cells and ends on a
// character boundary.
std::size_t PrefixFittingCells(std::string_view bytes, int cells);

}  // namespace lbe::console

namespace lbe::console {

// The text with every placeholder character (see IsPlaceholderCharacter) and every malformed
// byte replaced by '?', so that nothing in it can steer a terminal.
std::string VisibleText(std::string_view bytes);

}  // namespace lbe::console
