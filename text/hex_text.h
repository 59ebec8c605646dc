#pragma once
// Hexadecimal digits as lbe shows them everywhere: upper case, padded with zeros to a least
// width. Pure.

#include <cstdint>
#include <string>

namespace lbe::text {

// Appends `value` in at least `digits` upper-case hexadecimal digits (more when it needs them).
void AppendHexDigits(std::string& text, std::uint64_t value, int digits);

inline std::string HexDigits(std::uint64_t value, int digits) {
  std::string text;
  AppendHexDigits(text, value, digits);
  return text;
}

}  // namespace lbe::text
