#pragma once
// Hexadecimal digits as lbe shows them everywhere (upper case, padded with zeros to a least
// width) and as every reader of hexadecimal text takes them. Pure.

#include <array>
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

// The value of each byte as a hexadecimal digit, -1 for any other: one load in the loops that
// read a listing or a record file digit by digit, instead of three range tests.
inline constexpr std::array<std::int8_t, 256> kHexDigitValues = [] {
  std::array<std::int8_t, 256> values{};
  values.fill(-1);
  for (int digit = 0; digit < 10; ++digit) {
    values[static_cast<std::size_t>('0' + digit)] = static_cast<std::int8_t>(digit);
  }
  for (int digit = 0; digit < 6; ++digit) {
    values[static_cast<std::size_t>('A' + digit)] = static_cast<std::int8_t>(10 + digit);
    values[static_cast<std::size_t>('a' + digit)] = static_cast<std::int8_t>(10 + digit);
  }
  return values;
}();

// 0 to 15 for 0-9, A-F and a-f; -1 for any other byte or character.
constexpr int HexDigitValue(char c) {
  return kHexDigitValues[static_cast<unsigned char>(c)];
}
constexpr int HexDigitValue(char32_t c) {
  return c < 0x80 ? HexDigitValue(static_cast<char>(c)) : -1;
}

// The same for the digits lbe writes, 0-9 and A-F only: a lower-case letter gives -1.
constexpr int UpperHexDigitValue(char c) {
  return c >= 'a' && c <= 'f' ? -1 : HexDigitValue(c);
}
constexpr int UpperHexDigitValue(char32_t c) {
  return c < 0x80 ? UpperHexDigitValue(static_cast<char>(c)) : -1;
}

}  // namespace lbe::text
