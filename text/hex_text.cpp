#include "text/hex_text.h"

namespace lbe::text {

void AppendHexDigits(std::string& text, std::uint64_t value, int digits) {
  char reversed[16];
  int count = 0;
  do {
    reversed[count++] = "0123456789ABCDEF"[value & 0xF];
    value >>= 4;
  } while (value != 0);
  text.append(static_cast<std::size_t>(digits > count ? digits - count : 0), '0');
  while (count > 0) {
    text += reversed[--count];
  }
}

}  // namespace lbe::text
