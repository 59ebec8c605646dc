#pragma once
// How a console attribute is shown on a terminal: the curses colour numbers and the bold and
// reverse flags. Pure: knows no curses, only its colour numbering.

#include <cstdint>

namespace lbe::console {

inline constexpr int kTerminalDefaultColour = -1;  // the terminal's own (theme) colour

struct TerminalStyle {
  int Foreground = kTerminalDefaultColour;  // curses colour number 0-15, or the default
  int Background = kTerminalDefaultColour;
  bool Bold = false;
  bool Reverse = false;
  friend bool operator==(const TerminalStyle&, const TerminalStyle&) = default;
};

// `startAttribute` is the attribute the console started with: its foreground and background
// stand for the terminal's default colours, and so does the start foreground with intensity
// (bright white), which would be unreadable on a light theme. `colours` is
// what the terminal offers: 16 or more gives the bright colours, 8 gives bold for intensity,
// fewer (or none, as with NO_COLOR) leaves bold for intensity and reverse for a background.
TerminalStyle StyleForAttribute(std::uint8_t attribute, std::uint8_t startAttribute, int colours);

}  // namespace lbe::console
