// The edit mode's keys, one row each: where the mode starts, the keys typed, and what the user
// then sees (row 1 and the cursor's column) with the range's end and the marks of the line shown.
// Every byte of the image holds the low byte of its address, and every third byte (address % 3
// == 0) is held, so a moved byte or mark shows where it came from.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <string_view>

#include "console/key_codes.h"
#include "image/edit_history.h"
#include "image/memory_image.h"
#include "screens/line_edit.h"
#include "stepping_console.h"

namespace {

// A key of the script: digits and capitals are their own keys; the rest stand for keys:
// l r u d Left Right Up Down, p n Page Up and Down, h e Home End, i x b Insert Delete
// Backspace, q Esc, k the keypad's 7, f t w s c o F1 Tab Enter Space Control ";:".
constexpr struct {
  char Letter;
  KeyCode Key;
} kNamedKeys[] = {
    {'l', Vk::Left},        {'r', Vk::Right},    {'u', Vk::Up},        {'d', Vk::Down},
    {'p', Vk::PageUp},      {'n', Vk::PageDown}, {'h', Vk::Home},      {'e', Vk::End},
    {'i', Vk::Insert},      {'x', Vk::Delete},   {'b', Vk::Backspace}, {'q', Vk::Escape},
    {'k', Vk::Numpad0 + 7}, {'f', Vk::F1},       {'t', Vk::Tab},       {'w', Vk::Enter},
    {'s', Vk::Space},       {'c', Vk::Control},  {'o', Vk::Oem1},
};

KeyCode KeyOf(char c) {
  for (const auto& named : kNamedKeys) {
    if (named.Letter == c) {
      return named.Key;
    }
  }
  return console::KeyCodeForCharacter(static_cast<char32_t>(c));
}

struct Seen {
  std::string Row;  // row 1 without trailing blanks
  int Column = 0;
  std::int32_t EndAddress = 0;  // of the range's last line
  std::string Marks;            // of the line shown: "H" held, "." not
  bool operator==(const Seen&) const = default;
};

void PrintTo(const Seen& seen, std::ostream* out) {
  *out << '"' << seen.Row << "\" column " << seen.Column << " range to " << std::hex
       << seen.EndAddress << std::dec << " marks " << seen.Marks;
}

std::string Repeated(std::string_view text, int times) {
  std::string repeated;
  for (int i = 0; i < times; ++i) {
    repeated += text;
  }
  return repeated;
}

std::int32_t Hex(std::string_view text) {
  return static_cast<std::int32_t>(std::stoul(std::string(text), nullptr, 16));
}

class LineEditKeys : public lbe::testing::SteppingTest {
 protected:
  // Starts as `setup` says ("SSSS-EEEE" the range from the start address to its last line's,
  // then any of "/M" nibble steps, "Gxxx" entered by Goto with that answer, "R" a record file,
  // whose changes of marks alone count) and runs the stays of `script`: "|" between two, a stay
  // that starts with "@" sets the start address again, one with "!" forgets the edit history as
  // a load does; "{...}" is one paste. Each stay runs until its keys run out or the mode leaves.
  Seen Type(std::string_view setup, std::string_view script) {
    for (std::int32_t address = 0; address < image::kImageSize; ++address) {
      image::Image[address] = static_cast<std::uint8_t>(address);
      image::Image.Marks[static_cast<std::size_t>(address)] = address % 3 == 0;
    }
    const std::int32_t start = Hex(setup.substr(0, 4));
    const std::int32_t endLine = Hex(setup.substr(5, 4)) / 8;
    const bool nibbles = setup.find(" /M") != std::string_view::npos;
    image::KeepChangesOfMarks(setup.find(" R") != std::string_view::npos);
    std::optional<std::string> gotoAnswer;
    if (const std::size_t g = setup.find(" G"); g != std::string_view::npos) {
      gotoAnswer = setup.substr(g + 2, setup.find(' ', g + 2) - g - 2);
    }
    image::SetStartAddress(start);
    image::Range.EndLine = endLine;
    bool left = false;
    for (std::size_t from = 0; from <= script.size();) {
      const std::size_t end = std::min(script.find('|', from), script.size());
      std::string_view stay = script.substr(from, end - from);
      from = end + 1;
      if (stay.starts_with('@')) {
        image::SetStartAddress(start);
        image::Range.EndLine = endLine;
      } else if (stay.starts_with('!')) {
        image::ClearHistory();
      }
      if (stay.starts_with('@') || stay.starts_with('!')) {
        stay.remove_prefix(1);
      }
      screen.OnWait = [&] {
        screen.Writes.clear();
        if (stay.empty()) {
          return false;
        }
        if (stay.front() == '{') {
          const std::size_t close = stay.find('}');
          screen.Paste(std::string(stay.substr(1, close - 1)));
          stay.remove_prefix(close + 1);
        } else {
          screen.PressKey(KeyOf(stay.front()));
          stay.remove_prefix(1);
        }
        return true;
      };
      if (gotoAnswer) {
        screen.TypeLine(*gotoAnswer);
      }
      left = Run([&] { screens::LineEditMode(gotoAnswer.has_value(), nibbles); });
      gotoAnswer.reset();
      screen.OnWait = nullptr;
    }
    image::KeepChangesOfMarks(false);
    // Esc and Q leave, and draw nothing on the way out.
    EXPECT_EQ(left, script.ends_with('q') || script.ends_with('Q'));
    if (left) {
      EXPECT_TRUE(screen.Writes.empty());
    }
    EXPECT_EQ(CursorRow(), 1);
    Seen seen{Row(1), CursorColumn(), image::Range.EndLine * 8, ""};
    for (std::int32_t address = Hex(seen.Row.substr(0, 4)), i = 0; i < 8; ++i) {
      seen.Marks += image::Image.Marks[static_cast<std::size_t>(address + i)] ? 'H' : '.';
    }
    return seen;
  }
};

constexpr std::string_view kLine10 = "0010 1011121314151617:9C [--]";

TEST_F(LineEditKeys, EachKeyFromItsStart) {
  const struct {
    std::string label;
    std::string setup;
    std::string keys;
    Seen seen;
  } cases[] = {
      // clang-format off
      // Digits.
      {"a digit sets the high nibble and marks the byte", "0010-0010", "7",
       {"0010 7011121314151617:FC [--]", 7, 0x10, "H.H..H.."}},
      {"a letter digit", "0010-0010", "C", {"0010 C011121314151617:4C [--]", 7, 0x10, "H.H..H.."}},
      {"a keypad digit", "0010-0010", "k", {"0010 7011121314151617:FC [--]", 7, 0x10, "H.H..H.."}},
      {"a digit on a low nibble keeps the high one", "0010-0010 /M", "r7",
       {"0010 1711121314151617:A3 [--]", 8, 0x10, "H.H..H.."}},
      {"sixteen digits fill the line and go on to the next, which joins the range",
       "0010-0010", "0123456789ABCDEF",
       {"0018 18191A1B1C1D1E1F:DC [C0]", 6, 0x18, "H..H..H."}},
      {"a digit beyond the range raises its end to the digit's line", "0010-0010 G200", "7",
       {"0200 7001020304050607:8C [DC]", 7, 0x200, "HH..H..H"}},
      {"the image's last digit returns to its line's start", "0010-0010 GFFFF", "12",
       {"FFF8 F8F9FAFBFCFDFE12:EF [9C]", 6, 0xFFF8, ".H..H..H"}},
      // Moves.
      {"Left stops at the start line", "0010-0010", "l",
       {std::string(kLine10), 6, 0x10, "..H..H.."}},
      {"Left by nibbles stops at the start line", "0010-0010 /M", "l",
       {std::string(kLine10), 6, 0x10, "..H..H.."}},
      {"a byte step from a low nibble goes to a high one", "0010-0010 G12", "7l",
       {"0010 1011721314151617:FC [--]", 8, 0x10, "..H..H.."}},
      {"Left by nibbles crosses back to the line before", "0010-0018 /M G18", "l",
       {std::string(kLine10), 21, 0x18, "..H..H.."}},
      {"Right across the line end raises the range's end", "0010-0010", "rrrrrrrr",
       {"0018 18191A1B1C1D1E1F:DC [9C]", 6, 0x18, "H..H..H."}},
      {"Right at the image's end stays on its last byte", "0010-0010 GFFFF", "rr",
       {"FFF8 F8F9FAFBFCFDFEFF:DC [9C]", 21, 0xFFF8, ".H..H..H"}},
      {"Right by nibbles at the image's end stays on its last nibble", "0010-0010 /M GFFFF", "rrr",
       {"FFF8 F8F9FAFBFCFDFEFF:DC [9C]", 21, 0xFFF8, ".H..H..H"}},
      {"Down raises the range's end, Up never lowers it", "0010-0010", "ddu",
       {"0018 18191A1B1C1D1E1F:DC [9C]", 6, 0x20, "H..H..H."}},
      {"Up stops at the start line", "0010-0010", "u", {std::string(kLine10), 6, 0x10, "..H..H.."}},
      {"Page Down goes 32 lines", "0010-0010", "n",
       {"0110 1011121314151617:9C [5C]", 6, 0x110, ".H..H..H"}},
      {"Page Down stops at the last line", "0010-0010 GFF00", "n",
       {"FFF8 F8F9FAFBFCFDFEFF:DC [9C]", 6, 0xFFF8, ".H..H..H"}},
      {"Page Up stops at the start line", "0010-0010 G30", "p",
       {std::string(kLine10), 6, 0x10, "..H..H.."}},
      {"Home goes to the start line in the same column", "0010-0010 G35", "h",
       {std::string(kLine10), 16, 0x10, "..H..H.."}},
      {"End goes to the range's last line in the same column", "0010-0028", "re",
       {"0028 28292A2B2C2D2E2F:5C [1C]", 8, 0x28, "..H..H.."}},
      {"End in an empty range stays on the start line", "0010-0008", "e",
       {std::string(kLine10), 6, 0x08, "..H..H.."}},
      {"T ends the range at the cursor's line, lower too", "0010-0048", "dTue",
       {"0018 18191A1B1C1D1E1F:DC [9C]", 6, 0x18, "H..H..H."}},
      {"T beyond the range grows it", "0010-0010 G100", "T",
       {"0100 0001020304050607:1C [DC]", 6, 0x100, "..H..H.."}},
      // Insert, Delete, Backspace, R.
      {"Insert puts a 00 that takes the pushed byte's mark", "0010-0010 G12", "i",
       {"0010 1011001213141516:85 [--]", 10, 0x10, "..HH..H."}},
      {"Insert from a low nibble acts on its byte", "0010-0010 /M G12", "ri",
       {"0010 1011001213141516:85 [--]", 10, 0x10, "..HH..H."}},
      {"Insert at FFFF only clears it", "0010-0010 GFFFF", "i",
       {"FFF8 F8F9FAFBFCFDFE00:DD [9C]", 20, 0x10, ".H..H..H"}},
      {"Delete pulls the rest down with its marks", "0010-0010 G12", "x",
       {"0010 1011131415161718:A2 [--]", 10, 0x10, "....H..H"}},
      {"Delete leaves an unheld 00 at FFFF", "0010-0010 GFFF8", "x",
       {"FFF8 F9FAFBFCFDFEFF00:E4 [9C]", 6, 0x10, "H..H..H."}},
      {"Backspace removes the byte before the cursor's", "0010-0010 G12", "b",
       {"0010 1012131415161718:A3 [--]", 8, 0x10, ".H..H..H"}},
      {"Backspace from a low nibble", "0010-0010 /M G12", "rb",
       {"0010 1012131415161718:A3 [--]", 8, 0x10, ".H..H..H"}},
      {"Backspace at the start address does nothing", "0010-0010", "b",
       {std::string(kLine10), 6, 0x10, "..H..H.."}},
      {"Backspace at a line start crosses back", "0010-0018 G18", "b",
       {"0010 1011121314151618:9D [--]", 20, 0x18, "..H..H.H"}},
      {"R copies the byte before and goes to the next byte", "0010-0010 G12", "R",
       {"0010 1011111314151617:9B [--]", 12, 0x10, "..H..H.."}},
      {"R at the start address writes a held 00", "0010-0010", "R",
       {"0010 0011121314151617:8C [--]", 8, 0x10, "H.H..H.."}},
      {"R from a low nibble across the line end", "0010-0010 /M G17", "rRl",
       {"0010 1011121314151616:9B [--]", 21, 0x18, "..H..H.H"}},
      {"R beyond the range raises its end", "0010-0010 G200", "R",
       {"0200 FF01020304050607:1B [DC]", 8, 0x200, "HH..H..H"}},
      // A paste types its hex digits and nothing else.
      {"a paste", "0010-0010", "{1a RTQq\nG2}",
       {"0010 1A21121314151617:B6 [--]", 9, 0x10, "HHH..H.."}},
      // Undo and redo.
      {"U takes back a digit, its mark and the cursor", "0010-0010", "7rU",
       {std::string(kLine10), 6, 0x10, "..H..H.."}},
      {"Y makes it again", "0010-0010", "7rUY",
       {"0010 7011121314151617:FC [--]", 6, 0x10, "H.H..H.."}},
      {"a new change drops what Y could make again", "0010-0010", "78UU9Y",
       {"0010 9011121314151617:1C [--]", 7, 0x10, "H.H..H.."}},
      {"U with nothing to take back", "0010-0010", "rU",
       {std::string(kLine10), 8, 0x10, "..H..H.."}},
      {"U takes back an Insert with the marks it moved", "0010-0010 G12", "iU",
       {std::string(kLine10), 10, 0x10, "..H..H.."}},
      {"U takes back T", "0010-0048", "dTU",
       {"0018 18191A1B1C1D1E1F:DC [9C]", 6, 0x48, "H..H..H."}},
      {"U takes back a digit beyond the range and the range's end", "0010-0010 G200", "7U",
       {"0200 0001020304050607:1C [DC]", 6, 0x10, ".H..H..H"}},
      {"a digit that only marks its byte is no change in a raw file", "0010-0010", "1U",
       {std::string(kLine10), 7, 0x10, "H.H..H.."}},
      {"a digit that only marks its byte is a change in a record file", "0010-0010 R", "1U",
       {std::string(kLine10), 6, 0x10, "..H..H.."}},
      {"the history outlives leaving the mode", "0010-0010", "7|U",
       {std::string(kLine10), 6, 0x10, "..H..H.."}},
      {"a new start address forgets the history", "0010-0010", "7|@U",
       {"0010 7011121314151617:FC [--]", 6, 0x10, "H.H..H.."}},
      {"a load forgets the history", "0010-0010", "7|!U",
       {"0010 7011121314151617:FC [--]", 6, 0x10, "H.H..H.."}},
      // 10,001 changes of one byte, 7 and 8 by turns, and as many U.
      {"the history keeps the last 10,000 changes",
       "0010-0010", "7l" + Repeated("8l7l", 5000) + std::string(10001, 'U'),
       {"0010 7011121314151617:FC [--]", 6, 0x10, "H.H..H.."}},
      // Goto's answer: hexadecimal at or after the start address, else the start address.
      {"Goto nothing", "0010-0010 G", "", {std::string(kLine10), 6, 0x10, "..H..H.."}},
      {"Goto below the start", "0010-0010 G5", "", {std::string(kLine10), 6, 0x10, "..H..H.."}},
      {"Goto in lower case", "0010-0010 Gfffd", "",
       {"FFF8 F8F9FAFBFCFDFEFF:DC [9C]", 16, 0x10, ".H..H..H"}},
      {"Goto past the image", "0010-0010 G7FFFFFFF", "",
       {"FFF8 F8F9FAFBFCFDFEFF:DC [9C]", 20, 0x10, ".H..H..H"}},
      {"Goto with the top bit set", "0010-0010 G80000000", "",
       {std::string(kLine10), 6, 0x10, "..H..H.."}},
      {"Goto of nine digits", "0010-0010 G123456789", "",
       {std::string(kLine10), 6, 0x10, "..H..H.."}},
      {"Goto of a sign", "0010-0010 G-5", "", {std::string(kLine10), 6, 0x10, "..H..H.."}},
      {"Goto of a prefix", "0010-0010 G0x12", "", {std::string(kLine10), 6, 0x10, "..H..H.."}},
      {"Goto's long answer shows beyond the edit line",
       "0010-0010 G" + std::string(40, '0') + "12", "",
       {std::string(kLine10) + "000000000000000012", 10, 0x10, "..H..H.."}},
      // Keys the mode has no use for, and the two that leave it.
      {"other keys", "0010-0010 G12", "GZSMftwsco", {std::string(kLine10), 10, 0x10, "..H..H.."}},
      {"Esc leaves", "0010-0010", "7q", {"0010 7011121314151617:FC [--]", 7, 0x10, "H.H..H.."}},
      {"Q leaves", "0010-0010", "7Q", {"0010 7011121314151617:FC [--]", 7, 0x10, "H.H..H.."}},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(Type(c.setup, c.keys), c.seen);
  }
}

// Long runs of random keys from every start, under the sanitizers too: the cursor stays on a
// digit of the edit line and the range inside the image, whatever the keys.
TEST_F(LineEditKeys, RandomKeysKeepTheCursorAndTheRangeInside) {
  constexpr std::string_view kKeys = "0123456789ABCDEFklrudpnhexbRTUY{";
  std::mt19937 random(20240601);
  for (std::int32_t start : {0x0000, 0x7FF8, 0xFFF0, 0xFFF8}) {
    SCOPED_TRACE(start);
    image::SetStartAddress(start);
    int pressed = 0;
    screen.OnWait = [&] {
      const image::AddressRange& range = image::Range;
      EXPECT_EQ(CursorRow(), 1);
      EXPECT_GE(CursorColumn(), 6);
      EXPECT_LE(CursorColumn(), 21);
      EXPECT_EQ(range.StartAddress, start);
      EXPECT_GE(range.EndLine, range.StartLine);
      EXPECT_LE(range.EndLine, 8191);
      if (++pressed == 50000 || ::testing::Test::HasFailure()) {
        return false;
      }
      const char c = kKeys[random() % kKeys.size()];
      if (c == '{') {
        screen.Paste("0123456789abcdef\n");
      } else {
        screen.PressKey(KeyOf(c));
      }
      return true;
    };
    Run([] { screens::LineEditMode(false, true); });
    screen.OnWait = nullptr;
  }
}

}  // namespace
