#pragma once
// The one-line text form of an image line: its address, its 8 bytes as 16 hex digits, a colon;
// and the line's checksum. Pure over the image: no console, no files.

#include <cstdint>
#include <span>
#include <string>

namespace lbe::image {

// The checksum of a line's bytes: their sum modulo 256.
std::uint8_t LineSum(std::span<const std::uint8_t> bytes);

// The checksum of a New MLX line (the form the magazines printed from 1985 on): from 0, for the
// address's high byte, its low byte and each of the bytes in turn, the sum rotated left by one
// bit and the value added, 255 taken off when it passes 255. So the sum is each value weighed by
// 2 to the power of the places after it, modulo 255, written FF for a multiple of 255 and 00
// only when every value is 0.
std::uint8_t MlxLineSum(std::uint16_t address, std::span<const std::uint8_t> bytes);

// The checksum a listing line at `address` carries for `bytes`: MlxLineSum (of the address's
// low 16 bits) for a New MLX line, else LineSum.
std::uint8_t ChecksumOfLine(bool newMlx, std::uint64_t address,
                            std::span<const std::uint8_t> bytes);

// LineSum of the 8 bytes at `address` (a line address, 0x0000 to 0xFFF8).
std::uint8_t LineChecksum(std::int32_t address);

// The 22 characters "AAAA HHHHHHHHHHHHHHHH:" of the line at `address`, upper-case digits.
std::string LineDumpText(std::int32_t address);

}  // namespace lbe::image
