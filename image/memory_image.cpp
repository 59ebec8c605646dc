#include "image/memory_image.h"

namespace lbe::image {

MemoryImage Image;
AddressRange Range;

void SetStartAddress(std::int32_t value) {
  Range.StartAddress = value & 0xFFF8;
  Range.StartLine = Range.StartAddress / kLineBytes;
  Range.EndLine = Range.StartLine;
}

}  // namespace lbe::image
