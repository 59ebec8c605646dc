#include "image/line_text.h"

#include "image/memory_image.h"
#include "text/hex_text.h"

namespace lbe::image {

std::uint8_t LineSum(std::span<const std::uint8_t> bytes) {
  unsigned sum = 0;
  for (const std::uint8_t byte : bytes) {
    sum += byte;
  }
  return static_cast<std::uint8_t>(sum % 256);
}

std::uint8_t MlxLineSum(std::uint16_t address, std::span<const std::uint8_t> bytes) {
  unsigned sum = 0;
  const auto add = [&sum](unsigned value) {
    sum = ((sum << 1 | sum >> 7) & 0xFFu) + value;
    if (sum > 0xFF) {
      sum -= 0xFF;
    }
  };
  add(address >> 8);
  add(address & 0xFFu);
  for (const std::uint8_t byte : bytes) {
    add(byte);
  }
  return static_cast<std::uint8_t>(sum);
}

std::uint8_t ChecksumOfLine(bool newMlx, std::uint64_t address,
                            std::span<const std::uint8_t> bytes) {
  return newMlx ? MlxLineSum(static_cast<std::uint16_t>(address), bytes) : LineSum(bytes);
}

std::uint8_t LineChecksum(std::int32_t address) {
  return LineSum(std::span(Image.Bytes).subspan(static_cast<std::size_t>(address), kLineBytes));
}

std::string LineDumpText(std::int32_t address) {
  std::string text;
  text.reserve(22);
  // A negative address would show its eight digits, although callers pass line addresses only.
  text::AppendHexDigits(text, static_cast<std::uint32_t>(address), 4);
  text += ' ';
  for (std::int32_t i = 0; i < kLineBytes; ++i) {
    text::AppendHexDigits(text, Image[address + i], 2);
  }
  text += ':';
  return text;
}

}  // namespace lbe::image
