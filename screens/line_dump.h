#pragma once
// The line dump and its checksum (image/line_text.h) on the screen, and the edit line drawn from
// them on row 1. Reads the image, never changes
// it; writes through the console text output and clears nothing.

#include <cstdint>
#include <string>

namespace lbe::screens {

// Window column of the first checksum digit of the edit line.
inline constexpr std::uint8_t kChecksumColumn = 23;

// One write statement each, at the cursor, leaving the cursor just behind the text.
void WriteLineDump(std::int32_t address);      // the 22 characters of LineDumpText
void WriteLineChecksum(std::int32_t address);  // the 2 digits of LineChecksum

// Window column of nibble `nibble` (0 to 15; even is a byte's high nibble) of the edit line.
inline std::uint8_t NibbleScreenColumn(std::int32_t nibble) {
  return static_cast<std::uint8_t>(nibble + 6);
}

// Writes the 29-character edit line of `currentLine` over row 1 from column 1: its dump and
// checksum, then " [", the checksum of the line before ("--" on the start line or above it),
// "]"; then puts the cursor on nibble `nibbleColumn`. Row 1 beyond column 29 is not touched.
void DrawEditLine(std::int32_t currentLine, std::int32_t nibbleColumn);

}  // namespace lbe::screens
