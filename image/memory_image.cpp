#include "image/memory_image.h"

#include <algorithm>
#include <cstring>

#include "image/edit_history.h"

namespace lbe::image {

MemoryImage Image;
AddressRange Range;

void SetStartAddress(std::int32_t value) {
  Range.StartAddress = value & 0xFFF8;
  Range.StartLine = Range.StartAddress / kLineBytes;
  Range.EndLine = Range.StartLine;
  ClearHistory();  // the changes kept were made in another range
}

namespace {

constexpr std::int32_t kLastAddress = kImageSize - 1;

// The marks below `address`.
MarkMask MarksBelow(std::int32_t address) {
  return ~MarkMask{} >> static_cast<std::size_t>(kImageSize - address);
}

}  // namespace

void InsertByte(std::int32_t address) {
  std::uint8_t* bytes = Image.Bytes.data();
  std::memmove(bytes + address + 1, bytes + address,
               static_cast<std::size_t>(kLastAddress - address));
  Image[address] = 0;
  const MarkMask below = MarksBelow(address);
  const bool pushed = Image.Marks[static_cast<std::size_t>(address)];
  Image.Marks = (Image.Marks & below) | ((Image.Marks & ~below) << 1);
  Image.Marks[static_cast<std::size_t>(address)] = pushed;
}

void DeleteByte(std::int32_t address) {
  std::uint8_t* bytes = Image.Bytes.data();
  std::memmove(bytes + address, bytes + address + 1,
               static_cast<std::size_t>(kLastAddress - address));
  Image[kLastAddress] = 0;
  const MarkMask below = MarksBelow(address);
  Image.Marks = (Image.Marks & below) | ((Image.Marks >> 1) & ~below);
}

std::span<const std::uint8_t> RangeBytes() {
  const std::int32_t count = std::clamp((Range.EndLine + 1) * kLineBytes - Range.StartAddress, 0,
                                        kImageSize - Range.StartAddress);
  return std::span<const std::uint8_t>(Image.Bytes)
      .subspan(static_cast<std::size_t>(Range.StartAddress), static_cast<std::size_t>(count));
}

}  // namespace lbe::image
