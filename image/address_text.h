#pragma once
// Address text typed by the user ("/A" value, "Adress:" and "Goto:" answers) and hexadecimal
// text on screen. Pure.

#include <cstdint>
#include <string>
#include <string_view>

namespace lbe::image {

// The text as a hexadecimal number: only a non-empty run of 0-9, a-f, A-F that fits in 32 bits;
// anything else (blanks, a sign, a prefix) gives `fallback`. Bit 31 set gives a negative value.
std::int32_t ParseAddressText(std::string_view text, std::int32_t fallback);

// Upper-case hexadecimal with at least `digits` digits; a negative value shows its 32-bit form.
std::string HexText(std::int64_t value, int digits);

}  // namespace lbe::image
