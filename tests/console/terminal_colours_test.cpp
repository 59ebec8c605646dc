#include "console/terminal_colours.h"

#include <gtest/gtest.h>

namespace lbe::console {
namespace {

constexpr int D = kTerminalDefaultColour;

struct StyleCase {
  std::uint8_t attribute;
  TerminalStyle style;
};

void ExpectStyles(std::uint8_t startAttribute, int colours, const std::vector<StyleCase>& cases) {
  for (const StyleCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "attribute 0x" << std::hex << int{c.attribute});
    const TerminalStyle style = StyleForAttribute(c.attribute, startAttribute, colours);
    EXPECT_EQ(style.Foreground, c.style.Foreground);
    EXPECT_EQ(style.Background, c.style.Background);
    EXPECT_EQ(style.Bold, c.style.Bold);
    EXPECT_EQ(style.Reverse, c.style.Reverse);
  }
}

TEST(TerminalColours, SixteenColourTerminal) {
  ExpectStyles(0x07, 256,
               {
                   {0x07, {D, D, false, false}},   // the start attribute: the user's theme
                   {0x0F, {D, D, false, false}},   // bright white: the theme's own colour
                   {0x0E, {11, D, false, false}},  // yellow
                   {0x06, {3, D, false, false}},   // brown
                   {0x01, {4, D, false, false}},   // blue and red change places
                   {0x04, {1, D, false, false}},
                   {0x09, {12, D, false, false}},
                   {0x0C, {9, D, false, false}},
                   {0x0A, {10, D, false, false}},
                   {0x08, {8, D, false, false}},
                   {0x00, {0, D, false, false}},
                   {0x1F, {D, 4, false, false}},
                   {0x4E, {11, 1, false, false}},
                   {0x70, {0, 7, false, false}},
                   {0x87, {D, 8, false, false}},
                   {0xC7, {D, 9, false, false}},
               });
}

TEST(TerminalColours, EightColourTerminalShowsIntensityAsBold) {
  ExpectStyles(0x07, 8,
               {
                   {0x07, {D, D, false, false}},
                   {0x0F, {D, D, false, false}},
                   {0x0E, {3, D, true, false}},
                   {0x09, {4, D, true, false}},
                   {0x01, {4, D, false, false}},
                   {0x87, {D, 0, false, false}},
                   {0x1F, {D, 4, false, false}},
               });
}

TEST(TerminalColours, NoColoursLeavesBoldAndReverse) {
  ExpectStyles(0x07, 0,
               {
                   {0x07, {D, D, false, false}},
                   {0x0F, {D, D, false, false}},
                   {0x0E, {D, D, true, false}},
                   {0x06, {D, D, false, false}},
                   {0x70, {D, D, false, true}},
                   {0x1F, {D, D, false, true}},
               });
}

TEST(TerminalColours, OtherStartAttributeStandsForTheDefaults) {
  ExpectStyles(0x1F, 256,
               {
                   {0x1F, {D, D, false, false}},
                   {0x1E, {11, D, false, false}},
                   {0x17, {7, D, false, false}},
                   {0x07, {7, 0, false, false}},
               });
}

}  // namespace
}  // namespace lbe::console
