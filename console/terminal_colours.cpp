#include "console/terminal_colours.h"

namespace lbe::console {

namespace {

constexpr int kIntensity = 8;

// Console colour bits run blue-green-red; curses numbers them red-green-blue.
int CursesColour(int nibble, int colours) {
  const int colour = ((nibble & 1) << 2) | (nibble & 2) | ((nibble & 4) >> 2);
  return (nibble & kIntensity) != 0 && colours >= 16 ? colour + 8 : colour;
}

}  // namespace

TerminalStyle StyleForAttribute(std::uint8_t attribute, std::uint8_t startAttribute, int colours) {
  const int foreground = attribute & 0x0F;
  const int background = attribute >> 4;
  const int startForeground = startAttribute & 0x0F;
  const int startBackground = startAttribute >> 4;
  TerminalStyle style;
  if (colours < 8) {
    style.Bold = (foreground & kIntensity) != 0 && foreground != startForeground;
    style.Reverse = background != startBackground;
    return style;
  }
  if (foreground == (startForeground | kIntensity) && foreground != startForeground) {
    style.Bold = true;
  } else if (foreground != startForeground) {
    style.Foreground = CursesColour(foreground, colours);
    style.Bold = (foreground & kIntensity) != 0 && colours < 16;
  }
  if (background != startBackground) {
    style.Background = CursesColour(background, colours);
  }
  return style;
}

}  // namespace lbe::console
