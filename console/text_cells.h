#pragma once
// Terminal cell widths of UTF-8 text. Pure: no console, no locale.

#include <cstddef>
#include <string_view>

namespace lbe::console {

// Cells the character takes on a terminal: 2 for East Asian wide and fullwidth forms, else 1.
// Characters that must never reach a terminal raw count 1: they are drawn as a placeholder.
int CellWidth(char32_t character);

// Cells that the UTF-8 text takes.
int TextCells(std::string_view bytes);

// The longest prefix of `bytes`, in bytes, that takes at most `cells` cells and ends on a
// character boundary.
std::size_t PrefixFittingCells(std::string_view bytes, int cells);

}  // namespace lbe::console
