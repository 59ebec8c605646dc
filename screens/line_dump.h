#pragma once
// The line dump and its checksum (image/line_text.h) on the screen, and the edit line drawn from
// them on row 1. Reads the image, never changes
// it; writes through the console text output and clears nothing.

#include <cstdint>
#include <string>

namespace lbe::screens {

// Window column of the first checksum digit of the edit line.
inline constexpr std::uint8_t kChecksumColumn = 23;

// How lines are shown: in lbe's own form (the image's addresses, the bytes' sum), or, in the New
// MLX type-in mode, as the listing prints them: every address the image's plus
// files::Placement.AddressShift (so that a listing from 0801 shows 0801 on the line the image
// holds at 0800), and the New MLX checksum over that address and the 8 bytes.
void SetNewMlxLines(bool on);
bool NewMlxLines();
// The address shown for the image's `address` (any value, the empty range's end -1 too).
std::int32_t ShownAddress(std::int32_t address);
// The checksum shown for the line at `address`: LineChecksum, or MlxLineSum over the line's shown
// address.
std::uint8_t ShownLineSum(std::int32_t address);

// One write statement each, at the cursor, leaving the cursor just behind the text.
void WriteLineDump(std::int32_t address);      // the 22 characters of LineDumpText, shown address
void WriteLineChecksum(std::int32_t address);  // the 2 digits of ShownLineSum

// Window column of nibble `nibble` (0 to 15; even is a byte's high nibble) of the edit line.
inline std::uint8_t NibbleScreenColumn(std::int32_t nibble) {
  return static_cast<std::uint8_t>(nibble + 6);
}

// Writes the 29-character edit line of `currentLine` over row 1 from column 1: its dump and
// checksum, then " [", the checksum of the line before ("--" on the start line or above it),
// "]"; then puts the cursor on nibble `nibbleColumn`. Row 1 beyond column 29 is not touched.
void DrawEditLine(std::int32_t currentLine, std::int32_t nibbleColumn);

}  // namespace lbe::screens
