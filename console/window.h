#pragma once
// The console layer's window: a rectangle of the screen buffer to which every position the
// screens use is relative (1-based columns and rows), the cursor in it, and the text attribute;
// and the state the layer keeps. Talks to the console only through ConsoleDevice.

#include <cstdint>

#include "console/console_device.h"

namespace lbe::console {

struct ConsoleState {
  ConsoleDevice* Device = nullptr;  // from ConsoleStart to ConsoleStop; null otherwise
  std::uint32_t StartCodePage = 0;
  std::uint16_t StartAttribute = 0;
  std::uint8_t TextAttribute = 0x07;
  // The window's edges in 0-based buffer cells, all four inclusive.
  std::int16_t Left = 0;
  std::int16_t Top = 0;
  std::int16_t Right = 0;
  std::int16_t Bottom = 0;
  // The 1-based window position at which the text output works.
  std::uint8_t OutColumn = 1;
  std::uint8_t OutRow = 1;
  std::int32_t StartCount = 0;  // 0 before start-up; start counts down, stop counts up

  bool operator==(const ConsoleState&) const = default;
};
extern ConsoleState Console;

inline constexpr std::uint8_t kYellow = 14;
inline constexpr std::uint8_t kBrightWhite = 15;

// Edges as 1-based buffer columns and rows, inclusive; then the cursor goes home.
void DefineWindow(std::uint8_t left, std::uint8_t top, std::uint8_t right, std::uint8_t bottom);
// A cell outside the buffer is refused: the cursor goes home and the window scrolls up.
void MoveCursor(std::uint8_t column, std::uint8_t row);
// The cursor relative to the window, modulo 256.
std::uint8_t CursorColumn();
std::uint8_t CursorRow();
void FillWindow(char32_t character);
void ClearWindow();
// The window's rows below the cursor's row move up over it; the bottom row becomes blank.
void ScrollWindowUp();
// Replaces the foreground nibble of the attribute (low nibble of `colour` used).
void SetForeground(std::uint8_t colour);

}  // namespace lbe::console
