#include "image/address_text.h"

#include <cstdio>

#include "text/hex_text.h"

namespace lbe::image {

std::int32_t ParseAddressText(std::string_view text, std::int32_t fallback) {
  if (text.empty()) {
    return fallback;
  }
  std::uint64_t value = 0;
  for (char c : text) {
    const int digit = text::HexDigitValue(c);
    if (digit < 0) {
      return fallback;
    }
    value = value * 16 + static_cast<std::uint64_t>(digit);
    if (value > 0xFFFFFFFFu) {
      return fallback;
    }
  }
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
}

std::string HexText(std::int64_t value, int digits) {
  return text::HexDigits(static_cast<std::uint32_t>(value), digits);
}

}  // namespace lbe::image
