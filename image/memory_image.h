#pragma once
// The 64 KiB memory image and the range of it in use. Pure: no console, no files.

#include <array>
#include <bitset>
#include <cstdint>
#include <span>

namespace lbe::image {

inline constexpr std::int32_t kImageSize = 0x10000;
inline constexpr std::int32_t kLineBytes = 8;
inline constexpr std::int32_t kLastLine = kImageSize / kLineBytes - 1;  // 8191

// One mark a byte: the bytes a loaded record file had, and those typed since (even with the
// value they had). A save into a record file writes these and leaves the others a gap.
using MarkMask = std::bitset<kImageSize>;

struct MemoryImage {
  std::array<std::uint8_t, kImageSize> Bytes{};
  MarkMask Marks;
  std::uint8_t& operator[](std::int32_t address) {
    return Bytes[static_cast<std::size_t>(address)];
  }
  std::uint8_t operator[](std::int32_t address) const {
    return Bytes[static_cast<std::size_t>(address)];
  }
  bool operator==(const MemoryImage&) const = default;
};

struct AddressRange {
  std::int32_t StartAddress = 0;  // always a multiple of 8, 0x0000 to 0xFFF8
  std::int32_t StartLine = 0;     // StartAddress / 8
  std::int32_t EndLine = 0;       // last line in use; StartLine - 1 after loading an empty file

  bool operator==(const AddressRange&) const = default;
};

extern MemoryImage Image;
extern AddressRange Range;

// Only the low 16 bits count, rounded down to a line; the range becomes that one line, and the
// edit history (edit_history.h) starts afresh.
void SetStartAddress(std::int32_t value);
// Inserts a 00 at `address`, the bytes from there on moving up one with their marks (the byte at
// 0xFFFF is lost); the new byte is marked when the byte it pushed up was, so that it joins the data
// it was put into and stays out of a gap.
void InsertByte(std::int32_t address);
// Deletes the byte at `address`, the bytes after it moving down one with their marks; 0xFFFF
// becomes a 00 that is not marked.
void DeleteByte(std::int32_t address);
// The last address in use: EndLine * 8 + 7.
inline std::int32_t RangeEndAddress() {
  return Range.EndLine * kLineBytes + 7;
}
// The bytes a save writes: from StartAddress to the end of EndLine, cut at the end of the image;
// none when EndLine lies before StartLine.
std::span<const std::uint8_t> RangeBytes();

}  // namespace lbe::image
