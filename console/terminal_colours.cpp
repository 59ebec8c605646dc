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
  // The screens write all their text in the start foreground with intensity (bright white on
  // the usual start attribute). It is drawn as the plain default foreground: the user's theme
  // stays readable, light or dark, and a changed cell costs its characters alone, with no
  // attribute change and reset around it on a slow link.
  const bool themeForeground =
      foreground == startForeground || foreground == (startForeground | kIntensity);
  TerminalStyle style;
  if (colours < 8) {
    style.Bold = (foreground & kIntensity) != 0 && !themeForeground;
    style.Reverse = background != startBackground;
    return style;
  }
  if (!themeForeground) {
    style.Foreground = CursesColour(foreground, colours);
    style.Bold = (foreground & kIntensity) != 0 && colours < 16;
  }
  if (background != startBackground) {
    style.Background = CursesColour(background, colours);
  }
  return style;
}

}  // namespace lbe::console
