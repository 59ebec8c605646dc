#include "image/memory_image.h"

#include "image/edit_history.h"

#include <algorithm>

namespace lbe::image {

MemoryImage Image;
AddressRange Range;

void SetStartAddress(std::int32_t value) {
  Range.StartAddress = value & 0xFFF8;
  Range.StartLine = Range.StartAddress / kLineBytes;
  Range.EndLine = Range.StartLine;
  ClearHistory();  // the changes kept were made in another range
}

std::span<const std::uint8_t> RangeBytes() {
  const std::int32_t count = std::clamp((Range.EndLine + 1) * kLineBytes - Range.StartAddress, 0,
                                        kImageSize - Range.StartAddress);
  return std::span<const std::uint8_t>(Image.Bytes)
      .subspan(static_cast<std::size_t>(Range.StartAddress), static_cast<std::size_t>(count));
}

}  // namespace lbe::image
