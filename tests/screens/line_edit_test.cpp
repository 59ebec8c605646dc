#include "screens/line_edit.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "console/key_codes.h"
#include "console/text_output.h"
#include "console/window.h"
#include "image/memory_image.h"
#include "stepping_console.h"

namespace {

// What the user sees between two keys: the edit line, the cursor's column, and the range's end.
struct Shown {
  std::string Line;
  int Column = 0;
  int EndLine = 0;
  friend bool operator==(const Shown&, const Shown&) = default;
  friend std::ostream& operator<<(std::ostream& out, const Shown& shown) {
    return out << '"' << shown.Line << "\" column " << shown.Column << " EndLine " << shown.EndLine;
  }
};

// The keys that type `text` (letters and digits give their key codes).
std::vector<KeyCode> Keys(std::string_view text) {
  std::vector<KeyCode> keys;
  for (char c : text) {
    keys.push_back(console::KeyCodeForCharacter(static_cast<char32_t>(c)));
  }
  return keys;
}

std::vector<KeyCode> operator+(std::vector<KeyCode> a, const std::vector<KeyCode>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class LineEdit : public lbe::testing::SteppingTest {
 protected:
  bool nibbles = false;  // /M: Left and Right by nibbles

  // Enters the edit mode (with G and `gotoAnswer` typed at "Goto:" when given, else with E) and
  // presses `keys` one at a time. Returns what was shown on entry and after each key; `Left`
  // tells whether the mode returned by itself.
  std::vector<Shown> Press(const std::vector<KeyCode>& keys,
                           std::optional<std::string> gotoAnswer = std::nullopt) {
    std::vector<Shown> shown;
    std::size_t next = 0;
    screen.OnWait = [&] {
      EXPECT_EQ(CursorRow(), 1);
      shown.push_back({screen.RowText(0).substr(0, 29), CursorColumn(), image::Range.EndLine});
      if (next == keys.size()) {
        return false;
      }
      screen.PressKey(keys[next++]);
      return true;
    };
    if (gotoAnswer) {
      screen.TypeLine(*gotoAnswer);
    }
    Left = Run([&] { screens::LineEditMode(gotoAnswer.has_value(), nibbles); });
    screen.OnWait = nullptr;
    return shown;
  }

  // What is shown once all `keys` have been pressed.
  Shown After(const std::vector<KeyCode>& keys,
              std::optional<std::string> gotoAnswer = std::nullopt) {
    return Press(keys, std::move(gotoAnswer)).back();
  }

  void Put(std::int32_t address, const std::vector<std::uint8_t>& bytes) {
    for (std::uint8_t byte : bytes) {
      image::Image[address++] = byte;
    }
  }
  std::vector<int> Bytes(std::int32_t address, int count) const {
    std::vector<int> bytes;
    for (int i = 0; i < count; ++i) {
      bytes.push_back(image::Image[address + i]);
    }
    return bytes;
  }

  bool Left = false;
};

constexpr std::string_view kZeroLine0100 = "0100 0000000000000000:00 [--]";

TEST_F(LineEdit, EntersAtTheStartLineOnAClearedWindow) {
  console::MoveCursor(1, 5);
  console::Write("menu text");
  image::SetStartAddress(0x0100);
  EXPECT_EQ(Press({}), (std::vector<Shown>{{std::string(kZeroLine0100), 6, 0x20}}));
  EXPECT_EQ(Row(1), kZeroLine0100);
  EXPECT_EQ(Row(5), "");
  EXPECT_FALSE(Left);
}

TEST_F(LineEdit, GotoAnswers) {
  const struct {
    std::int32_t start;
    std::string answer;
    Shown shown;
  } cases[] = {
      {0x0000, "12", {"0010 0000000000000000:00 [00]", 10, 0}},
      {0x0000, "0", {"0000 0000000000000000:00 [--]", 6, 0}},
      {0x0100, "", {std::string(kZeroLine0100), 6, 0x20}},
      {0x0100, "0x12", {std::string(kZeroLine0100), 6, 0x20}},
      {0x0100, "-5", {std::string(kZeroLine0100), 6, 0x20}},
      {0x0100, "12 ", {std::string(kZeroLine0100), 6, 0x20}},
      {0x0100, "FFFFFFFF", {std::string(kZeroLine0100), 6, 0x20}},
      {0x0100, "80000000", {std::string(kZeroLine0100), 6, 0x20}},
      {0x0100, "80", {std::string(kZeroLine0100), 6, 0x20}},
      {0x0100, "FF", {std::string(kZeroLine0100), 6, 0x20}},
      {0x0100, "107", {std::string(kZeroLine0100), 20, 0x20}},
      {0x0100, "108", {"0108 0000000000000000:00 [00]", 6, 0x20}},
      {0x0100, "fff9", {"FFF8 0000000000000000:00 [00]", 8, 0x20}},
      {0x0100, "FFFF", {"FFF8 0000000000000000:00 [00]", 20, 0x20}},
      {0x0100, "10000", {"FFF8 0000000000000000:00 [00]", 20, 0x20}},
      {0x0100, "7FFFFFFF", {"FFF8 0000000000000000:00 [00]", 20, 0x20}},
      {0xFFF8, "1234", {"FFF8 0000000000000000:00 [--]", 6, 8191}},
      {0xFFF8, "FFFD", {"FFF8 0000000000000000:00 [--]", 16, 8191}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer);
    image::SetStartAddress(c.start);
    EXPECT_EQ(Press({}, c.answer), (std::vector<Shown>{c.shown}));
    EXPECT_EQ(Row(1), c.shown.Line);
  }
}

TEST_F(LineEdit, GotoEditLineCoversOnlyTheFirst29ColumnsOfTheAnswer) {
  // "Goto:", 30 zeros and "12": the edit line covers 29 columns, the last 8 stay visible.
  EXPECT_EQ(After({}, std::string(30, '0') + "12"),
            (Shown{"0010 0000000000000000:00 [00]", 10, 0}));
  EXPECT_EQ(Row(1), "0010 0000000000000000:00 [00]00000012");
}

TEST_F(LineEdit, GotoBeyondEndLineKeepsItUntilAMoveDown) {
  EXPECT_EQ(Press({Vk::Down, Vk::Up, Vk::Up}, "100"),
            (std::vector<Shown>{{"0100 0000000000000000:00 [00]", 6, 0x00},
                                {"0108 0000000000000000:00 [00]", 6, 0x21},
                                {"0100 0000000000000000:00 [00]", 6, 0x21},
                                {"00F8 0000000000000000:00 [00]", 6, 0x21}}));
}

TEST_F(LineEdit, NibbleStepsCrossLinesAndStopAtTheStartLine) {
  nibbles = true;
  image::Image[0x0007] = 0x5A;
  EXPECT_EQ(Press({Vk::Left, Vk::Right, Vk::Right, Vk::Left, Vk::Down, Vk::Left, Vk::Left}),
            (std::vector<Shown>{{"0000 000000000000005A:5A [--]", 6, 0},
                                {"0000 000000000000005A:5A [--]", 6, 0},
                                {"0000 000000000000005A:5A [--]", 7, 0},
                                {"0000 000000000000005A:5A [--]", 8, 0},
                                {"0000 000000000000005A:5A [--]", 7, 0},
                                {"0008 0000000000000000:00 [5A]", 7, 1},
                                {"0008 0000000000000000:00 [5A]", 6, 1},
                                {"0000 000000000000005A:5A [--]", 21, 1}}));
}

TEST_F(LineEdit, ByteStepsGoFromHighNibbleToHighNibble) {
  EXPECT_EQ(Press(Keys("123") + std::vector<KeyCode>{Vk::Right, Vk::Left} + Keys("4") +
                  std::vector<KeyCode>{Vk::Left, Vk::Down} + Keys("5") +
                  std::vector<KeyCode>{Vk::Left, Vk::Left}),
            (std::vector<Shown>{{"0000 0000000000000000:00 [--]", 6, 0},
                                {"0000 1000000000000000:10 [--]", 7, 0},
                                {"0000 1200000000000000:12 [--]", 8, 0},
                                {"0000 1230000000000000:42 [--]", 9, 0},
                                {"0000 1230000000000000:42 [--]", 10, 0},
                                {"0000 1230000000000000:42 [--]", 8, 0},
                                {"0000 1240000000000000:52 [--]", 9, 0},
                                {"0000 1240000000000000:52 [--]", 6, 0},
                                {"0008 0000000000000000:00 [52]", 6, 1},
                                {"0008 5000000000000000:50 [52]", 7, 1},
                                {"0000 1240000000000000:52 [--]", 20, 1},
                                {"0000 1240000000000000:52 [--]", 18, 1}}));
}

TEST_F(LineEdit, RightAtTheEndOfTheLastLineStaysThere) {
  for (bool byNibbles : {false, true}) {
    SCOPED_TRACE(byNibbles ? "nibble steps" : "byte steps");
    image::SetStartAddress(0);
    nibbles = byNibbles;
    const std::vector<Shown> shown = Press({Vk::Right, Vk::Right, Vk::Right}, "FFFF");
    ASSERT_EQ(shown.size(), 4u);
    EXPECT_EQ(shown[0], (Shown{"FFF8 0000000000000000:00 [00]", 20, 0}));
    EXPECT_EQ(shown[2], (Shown{"FFF8 0000000000000000:00 [00]", 21, 8191}));
    EXPECT_EQ(shown[3], (Shown{"FFF8 0000000000000000:00 [00]", 21, 8191}));
  }
}

TEST_F(LineEdit, SixteenDigitsFillTheLineAndShowTheNext) {
  const std::vector<Shown> shown = Press(Keys("0123456789abcdef") + std::vector{Vk::Up});
  ASSERT_EQ(shown.size(), 18u);
  EXPECT_EQ(shown[15], (Shown{"0000 0123456789ABCDE0:B1 [--]", 21, 0}));
  EXPECT_EQ(shown[16], (Shown{"0008 0000000000000000:00 [C0]", 6, 1}));
  EXPECT_EQ(shown[17], (Shown{"0000 0123456789ABCDEF:C0 [--]", 6, 1}));
}

TEST_F(LineEdit, TypingPastTheLastNibbleOfTheImageReturnsToItsLineStart) {
  EXPECT_EQ(Press(Keys("AB"), "FFFF"),
            (std::vector<Shown>{{"FFF8 0000000000000000:00 [00]", 20, 0},
                                {"FFF8 00000000000000A0:A0 [00]", 21, 8191},
                                {"FFF8 00000000000000AB:AB [00]", 6, 8191}}));
}

TEST_F(LineEdit, TypedDigitRewritesOnlyTheChecksumAndTheDigit) {
  nibbles = true;
  image::Image[0x0000] = 0x5A;
  image::Image[0x0009] = 0x01;
  EXPECT_EQ(Press({Vk::Right, 'C', Vk::Down, '7'}).back(),
            (Shown{"0008 0071000000000000:71 [5C]", 9, 1}));
  // The edit line on entry, nothing for Right, checksum and digit, the edit line for Down,
  // checksum and digit.
  EXPECT_EQ(screen.Writes,
            (std::vector<std::string>{"0000 5A00000000000000:", "5A", " [", "--", "]", "5C", "C",
                                      "0008 0001000000000000:", "01", " [", "5C", "]", "71", "7"}));
}

TEST_F(LineEdit, DigitKeysOfAllThreeKindsReplaceTheHighNibble) {
  const struct {
    KeyCode key;
    std::string line;
  } cases[] = {
      {'0', "0000 0F00000000000000:0F [--]"},
      {'9', "0000 9F00000000000000:9F [--]"},
      {'A', "0000 AF00000000000000:AF [--]"},
      {'F', "0000 FF00000000000000:FF [--]"},
      {Vk::Numpad0, "0000 0F00000000000000:0F [--]"},
      {Vk::Numpad0 + 1, "0000 1F00000000000000:1F [--]"},
      {Vk::Numpad0 + 9, "0000 9F00000000000000:9F [--]"},
      {console::KeyCodeForCharacter(U'!'), "0000 1F00000000000000:1F [--]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    image::Image[0x0000] = 0xEF;
    EXPECT_EQ(After({c.key}), (Shown{c.line, 7, 0}));
  }
}

TEST_F(LineEdit, DigitOnALowNibbleKeepsTheHighNibble) {
  image::Image[0x0000] = 0xEF;
  EXPECT_EQ(After({'3', 'B'}), (Shown{"0000 3B00000000000000:3B [--]", 8, 0}));
  EXPECT_EQ(After({Vk::Numpad0 + 4, Vk::Numpad0 + 2}),
            (Shown{"0000 4200000000000000:42 [--]", 8, 0}));
  EXPECT_EQ(After(Keys("1")), (Shown{"0000 1200000000000000:12 [--]", 7, 0}));
}

TEST_F(LineEdit, RepeatCopiesTheByteBeforeAndWritesZeroAtTheStart) {
  image::SetStartAddress(0x0100);
  Put(0x00FF, {0x99, 0x3C, 0x77});
  EXPECT_EQ(Press({Vk::Right, 'R', Vk::Home, Vk::Left, Vk::Left, 'R'}),
            (std::vector<Shown>{{"0100 3C77000000000000:B3 [--]", 6, 0x20},
                                {"0100 3C77000000000000:B3 [--]", 8, 0x20},
                                {"0100 3C3C000000000000:78 [--]", 10, 0x20},
                                {"0100 3C3C000000000000:78 [--]", 10, 0x20},
                                {"0100 3C3C000000000000:78 [--]", 8, 0x20},
                                {"0100 3C3C000000000000:78 [--]", 6, 0x20},
                                {"0100 003C000000000000:3C [--]", 8, 0x20}}));
  EXPECT_EQ(image::Image[0x00FF], 0x99);
}

TEST_F(LineEdit, RepeatFromALowNibbleAndAcrossTheLineEnd) {
  nibbles = true;
  Put(0x0005, {0x21, 0x00, 0x00});
  EXPECT_EQ(Press({Vk::Right, 'R', 'R'}, "6"),
            (std::vector<Shown>{{"0000 0000000000210000:21 [--]", 18, 0},
                                {"0000 0000000000210000:21 [--]", 19, 0},
                                {"0000 0000000000212100:42 [--]", 20, 0},
                                {"0008 0000000000000000:00 [63]", 6, 1}}));
  EXPECT_EQ(Bytes(0x0005, 3), (std::vector<int>{0x21, 0x21, 0x21}));
}

TEST_F(LineEdit, RepeatWritesOnlyTheChecksumAndTheByte) {
  image::Image[0x0000] = 0x4D;
  Press({Vk::Right, 'R'});
  EXPECT_EQ(screen.Writes, (std::vector<std::string>{"0000 4D00000000000000:", "4D", " [", "--",
                                                     "]", "9A", "4D"}));
}

TEST_F(LineEdit, InsertShiftsTheRestOfTheImageUp) {
  Put(0x0010, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF});
  image::Image[0xFFFE] = 0x88;
  image::Image[0xFFFF] = 0x99;
  EXPECT_EQ(After({Vk::Insert}, "13"), (Shown{"0010 012345006789ABCD:D1 [00]", 12, 0}));
  EXPECT_EQ(Bytes(0x0018, 2), (std::vector<int>{0xEF, 0x00}));
  EXPECT_EQ(Bytes(0xFFFE, 2), (std::vector<int>{0x00, 0x88}));
}

TEST_F(LineEdit, DeleteShiftsTheRestOfTheImageDown) {
  Put(0x0010, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0x5A});
  image::Image[0xFFFE] = 0x88;
  image::Image[0xFFFF] = 0x99;
  EXPECT_EQ(After({Vk::Delete}, "13"), (Shown{"0010 01234589ABCDEF5A:B3 [00]", 12, 0}));
  EXPECT_EQ(Bytes(0x0018, 2), (std::vector<int>{0x00, 0x00}));
  EXPECT_EQ(Bytes(0xFFFD, 3), (std::vector<int>{0x88, 0x99, 0x00}));
}

TEST_F(LineEdit, InsertAndDeleteFromALowNibbleActOnItsByte) {
  nibbles = true;
  Put(0x0000, {0x11, 0x22, 0x33});
  EXPECT_EQ(After({Vk::Right, Vk::Right, Vk::Right, Vk::Insert}),
            (Shown{"0000 1100223300000000:66 [--]", 8, 0}));
  EXPECT_EQ(After({Vk::Right, Vk::Right, Vk::Right, Vk::Delete}),
            (Shown{"0000 1122330000000000:66 [--]", 8, 0}));
}

TEST_F(LineEdit, InsertAndDeleteAtTheLastByteOnlyClearIt) {
  const struct {
    bool nibbles;
    std::vector<KeyCode> keys;
  } cases[] = {
      {false, {Vk::Insert}},
      {false, {Vk::Delete}},
      {true, {Vk::Right, Vk::Insert}},
      {true, {Vk::Right, Vk::Delete}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.keys));
    nibbles = c.nibbles;
    image::Image[0xFFF7] = 0x01;
    image::Image[0xFFFE] = 0x11;
    image::Image[0xFFFF] = 0x22;
    EXPECT_EQ(After(c.keys, "FFFF"), (Shown{"FFF8 0000000000001100:11 [01]", 20, 0}));
    EXPECT_EQ(Bytes(0xFFF6, 4), (std::vector<int>{0x00, 0x01, 0x00, 0x00}));
  }
}

TEST_F(LineEdit, BackspaceRemovesTheByteBeforeTheCursorByte) {
  const struct {
    const char* what;
    bool nibbles;
    std::vector<KeyCode> keys;
    // What is shown afterwards, as plain values: GCC 12 at -O3 takes a Shown, whose string is
    // built inside this table, for one that may be used uninitialised.
    const char* line;
    int column;
    int endLine;
    std::vector<int> bytes;  // 0x0000 to 0x0009 afterwards
  } cases[] = {
      {"column 0 after the start line",
       false,
       {Vk::Down, Vk::Backspace},
       "0000 0123456789ABCD10:E1 [--]",
       20,
       1,
       {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0x10, 0x20, 0x30}},
      {"column 1 after the start line",
       true,
       {Vk::Down, Vk::Right, Vk::Backspace},
       "0000 0123456789ABCD10:E1 [--]",
       20,
       1,
       {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0x10, 0x20, 0x30}},
      {"column 0 of the start line",
       false,
       {Vk::Backspace},
       "0000 0123456789ABCDEF:C0 [--]",
       6,
       0,
       {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0x10, 0x20}},
      {"column 1 of the start line",
       true,
       {Vk::Right, Vk::Backspace},
       "0000 0123456789ABCDEF:C0 [--]",
       6,
       0,
       {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0x10, 0x20}},
      {"column 4",
       false,
       {Vk::Right, Vk::Right, Vk::Backspace},
       "0000 01456789ABCDEF10:AD [--]",
       8,
       0,
       {0x01, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0x10, 0x20, 0x30}},
      {"column 5 in byte steps",
       false,
       {Vk::Right, Vk::Right, '4', Vk::Backspace},
       "0000 01456789ABCDEF10:AD [--]",
       8,
       0,
       {0x01, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0x10, 0x20, 0x30}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    image::Image = {};
    Put(0x0000, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF});
    Put(0x0008, {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80});
    image::Range = {};
    nibbles = c.nibbles;
    EXPECT_EQ(After(c.keys), (Shown{c.line, c.column, c.endLine}));
    EXPECT_EQ(Bytes(0x0000, 10), c.bytes);
  }
}

TEST_F(LineEdit, PageMovesStopAtTheStartLineAndTheLastLine) {
  image::SetStartAddress(0x0100);
  EXPECT_EQ(Press({Vk::PageUp, Vk::PageDown, Vk::PageDown}, "153"),
            (std::vector<Shown>{{"0150 0000000000000000:00 [00]", 12, 0x20},
                                {"0100 0000000000000000:00 [--]", 12, 0x20},
                                {"0200 0000000000000000:00 [00]", 12, 0x40},
                                {"0300 0000000000000000:00 [00]", 12, 0x60}}));
  EXPECT_EQ(Press({Vk::PageDown, Vk::PageDown, Vk::PageUp}, "FFA0"),
            (std::vector<Shown>{{"FFA0 0000000000000000:00 [00]", 6, 0x60},
                                {"FFF8 0000000000000000:00 [00]", 6, 8191},
                                {"FFF8 0000000000000000:00 [00]", 6, 8191},
                                {"FEF8 0000000000000000:00 [00]", 6, 8191}}));
}

TEST_F(LineEdit, UpStopsAtTheStartLineAndNeverLowersEndLine) {
  image::SetStartAddress(0x0008);
  EXPECT_EQ(Press({Vk::Up, Vk::Down, Vk::Down, Vk::Up, Vk::Up, Vk::Up}, "9"),
            (std::vector<Shown>{{"0008 0000000000000000:00 [--]", 8, 1},
                                {"0008 0000000000000000:00 [--]", 8, 1},
                                {"0010 0000000000000000:00 [00]", 8, 2},
                                {"0018 0000000000000000:00 [00]", 8, 3},
                                {"0010 0000000000000000:00 [00]", 8, 3},
                                {"0008 0000000000000000:00 [--]", 8, 3},
                                {"0008 0000000000000000:00 [--]", 8, 3}}));
}

TEST_F(LineEdit, TSetsTheEndOfTheRangeAndEndGoesThere) {
  const std::vector<Shown> shown = Press({Vk::Down, Vk::Down, Vk::Down, Vk::Down, Vk::Down, Vk::Up,
                                          Vk::Up, Vk::Up, 'T', Vk::Home, Vk::End},
                                         "4");
  ASSERT_EQ(shown.size(), 12u);
  EXPECT_EQ(shown[5], (Shown{"0028 0000000000000000:00 [00]", 14, 5}));
  EXPECT_EQ(shown[8], (Shown{"0010 0000000000000000:00 [00]", 14, 5}));
  EXPECT_EQ(shown[9], (Shown{"0010 0000000000000000:00 [00]", 14, 2}));
  EXPECT_EQ(shown[10], (Shown{"0000 0000000000000000:00 [--]", 14, 2}));
  EXPECT_EQ(shown[11], (Shown{"0010 0000000000000000:00 [00]", 14, 2}));
}

TEST_F(LineEdit, TOnALineBeyondTheRangeGrowsIt) {
  EXPECT_EQ(Press({'T', Vk::Home, Vk::End}, "400"),
            (std::vector<Shown>{{"0400 0000000000000000:00 [00]", 6, 0},
                                {"0400 0000000000000000:00 [00]", 6, 0x80},
                                {"0000 0000000000000000:00 [--]", 6, 0x80},
                                {"0400 0000000000000000:00 [00]", 6, 0x80}}));
}

TEST_F(LineEdit, ByteTypedOnALineBeyondTheRangeJoinsIt) {
  const struct {
    std::int32_t start;
    std::int32_t endLine;  // before the keys; StartLine - 1 is an empty file loaded
    std::string gotoAnswer;
    std::vector<KeyCode> keys;
    int endLineAfter;
  } cases[] = {
      {0x0000, 0, "10", {'1'}, 2},
      {0x0000, 0, "10", {'0'}, 2},  // the byte's value need not change
      {0x0000, 0, "10", {'R'}, 2},
      {0x0000, 0, "17", {Vk::Numpad0 + 4, Vk::Numpad0 + 5}, 3},  // the wrap moves down as ever
      {0x0000, -1, "", {'A'}, 0},
      {0x0100, 0x1F, "", {'R'}, 0x20},
      {0x0000, 5, "10", {'1', 'R'}, 5},  // inside the range nothing changes
      {0x0000, 0, "10", {Vk::Insert, Vk::Delete, Vk::Backspace, Vk::Left, Vk::Up}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.gotoAnswer);
    image::SetStartAddress(c.start);
    image::Range.EndLine = c.endLine;
    EXPECT_EQ(After(c.keys, c.gotoAnswer).EndLine, c.endLineAfter);
  }
}

TEST_F(LineEdit, PasteTypesItsHexDigitsAndRunsNoKey) {
  const struct {
    std::string gotoAnswerPasted;
    std::string pasted;
    std::string line;
    int column;
  } cases[] = {
      // Letters that are keys here (Q, T, R, G), Esc, Tab and line ends are all passed over.
      {"", "x 12 ab\tQTRG-\x1b\ncD", "0000 12ABCD0000000000:8A [--]", 12},
      {"1\t0\n8", "0", "0010 0000000000000000:00 [00]", 7},  // Goto takes "10" only
      {"", "0123456789abcdefF", "0008 F000000000000000:F0 [C0]", 7},
      {"",
       "/9:@`A`g\xC3\x81"
       "Ff",
       "0000 9AFF000000000000:99 [--]", 10},  // \xC3\x81: U+00C1
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pasted);
    image::Image = {};
    image::SetStartAddress(0);
    if (!c.gotoAnswerPasted.empty()) {
      screen.Paste(c.gotoAnswerPasted);
      screen.PressKey(Vk::Enter, U'\r');
    }
    screen.Paste(c.pasted);
    EXPECT_FALSE(Run([&] { screens::LineEditMode(!c.gotoAnswerPasted.empty(), nibbles); }));
    EXPECT_EQ(Row(1), c.line);
    EXPECT_EQ(CursorColumn(), c.column);
  }
}

TEST_F(LineEdit, PasteOfTheWholeImageTypesEveryDigit) {
  std::string digits;
  for (int i = 0; i < 2 * 0x10000; ++i) {
    digits += "0123456789ABCDEF"[(i * 7 + i / 16) % 16];
  }
  screen.Paste(digits);
  screen.PressKey(Vk::Escape);
  EXPECT_TRUE(Run([this] { screens::LineEditMode(false, nibbles); }));
  for (int address = 0; address < 0x10000; address += 0x1001) {
    SCOPED_TRACE(address);
    EXPECT_EQ(image::Image[address],
              std::stoi(digits.substr(static_cast<std::size_t>(address) * 2, 2), nullptr, 16));
  }
  EXPECT_EQ(image::Range.EndLine, 8191);
}

TEST_F(LineEdit, EndOnAnEmptyRangeStaysOnTheStartLine) {
  const struct {
    std::int32_t start;
    std::string fifthByte;
    std::string line;
    int endLine;
    std::string nextLine;
  } cases[] = {
      {0x0000, "4", "0000 0000000000000000:00 [--]", -1, "0008 0000000000000000:00 [00]"},
      {0x0100, "104", "0100 0000000000000000:00 [--]", 0x1F, "0108 0000000000000000:00 [00]"},
  };
  image::Image[0x00FF] = 0x77;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.start);
    image::SetStartAddress(c.start);
    image::Range.EndLine = image::Range.StartLine - 1;  // as after loading an empty file
    EXPECT_EQ(Press({Vk::End, Vk::Home, Vk::End}, c.fifthByte),
              (std::vector<Shown>(4, Shown{c.line, 14, c.endLine})));
    EXPECT_EQ(Press({Vk::End, Vk::Down, Vk::End}),
              (std::vector<Shown>{{c.line, 6, c.endLine},
                                  {c.line, 6, c.endLine},
                                  {c.nextLine, 6, c.endLine + 2},
                                  {c.nextLine, 6, c.endLine + 2}}));
  }
}

TEST_F(LineEdit, EscAndQLeaveWithoutDrawing) {
  for (KeyCode key : {Vk::Escape, KeyCode{'Q'}}) {
    SCOPED_TRACE(key);
    screen.Writes.clear();
    EXPECT_EQ(Press({'1', key}).size(), 2u);
    EXPECT_TRUE(Left);
    EXPECT_EQ(screen.Writes.back(), "1");
    EXPECT_EQ(Row(1), "0000 1000000000000000:10 [--]");
  }
}

TEST_F(LineEdit, OtherKeysAreIgnored) {
  const KeyCode keys[] = {
      'G',       'Z',       'S',       'P',         'M',      Vk::F1,       Vk::Tab,
      Vk::Enter, Vk::Space, Vk::Shift, Vk::Control, Vk::Oem1, Vk::OemMinus, Vk::Numpad0 + 10,
      Vk::Packet};
  image::Image[0x0010] = 0x42;
  for (KeyCode key : keys) {
    SCOPED_TRACE(key);
    screen.Writes.clear();
    EXPECT_EQ(Press({key}, "11"), (std::vector<Shown>{{"0010 4200000000000000:42 [00]", 8, 0},
                                                      {"0010 4200000000000000:42 [00]", 8, 0}}));
    EXPECT_EQ(screen.Writes.back(), "]");
    EXPECT_FALSE(Left);
  }
  EXPECT_EQ(image::Image[0x0010], 0x42);
}

}  // namespace

namespace {

// Each kind of change taken back with U and made again with Y: the image, the range and the
// cursor exactly as before the change, then as after it.
TEST_F(LineEdit, UndoTakesBackEachKindOfChangeAndRedoMakesItAgain) {
  const struct {
    std::string label;
    std::optional<std::string> gotoAnswer;  // none: E, at the start line
    std::vector<KeyCode> change;
    std::string pasted;  // typed before the keys, as one paste
    std::string line;    // the line of the change, and the cursor's column there
    int column;
  } cases[] = {
      {"a digit", "12", Keys("7"), "", "0010", 10},
      {"a digit beyond the range", "200", Keys("7"), "", "0200", 6},
      {"R", "13", Keys("R"), "", "0010", 12},
      {"Insert at FFFF", "FFFF", {Vk::Insert}, "", "FFF8", 20},
      {"Delete", "12", {Vk::Delete}, "", "0010", 10},
      {"Backspace at a line start", "18", {Vk::Backspace}, "", "0018", 6},
      {"T", "120", Keys("T"), "", "0120", 6},
      {"a paste over two lines", std::nullopt, {}, "0123456789abcdef0123", "0010", 6},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    for (std::int32_t address = 0; address < 0x10000; ++address) {
      image::Image[address] = static_cast<std::uint8_t>(address * 13 + 5);
    }
    image::SetStartAddress(0x10);
    image::Range.EndLine = 0x10;
    const image::MemoryImage before = image::Image;
    if (!c.pasted.empty()) {
      screen.Paste(c.pasted);
    }
    // Each in a stay of its own: the history outlives leaving the edit mode.
    Press(c.change, c.gotoAnswer);
    const image::MemoryImage changed = image::Image;
    const std::int32_t changedEndLine = image::Range.EndLine;
    EXPECT_TRUE(changed != before || changedEndLine != 0x10);
    const Shown undone = After(Keys("U"));
    EXPECT_TRUE(image::Image == before);
    EXPECT_EQ(undone.Line.substr(0, 4), c.line);
    EXPECT_EQ(undone.Column, c.column);
    EXPECT_EQ(undone.EndLine, 0x10);
    const Shown redone = After(Keys("Y"));
    EXPECT_TRUE(image::Image == changed);
    EXPECT_EQ(redone.Line.substr(0, 4), c.line);
    EXPECT_EQ(redone.Column, c.column);
    EXPECT_EQ(redone.EndLine, changedEndLine);
    After(Keys("UUU"));
    EXPECT_TRUE(image::Image == before) << "one change, however many U";
  }
}

}  // namespace

namespace {

// "/" asks on row 2 and finds from the byte after the cursor, N again; what it says stands on
// row 2 until the next key. Row 1 shows the match's line, the cursor on its first byte.
TEST_F(LineEdit, FindPutsTheCursorOnTheMatch) {
  const struct {
    std::string label;
    std::vector<std::string> answers;  // "" for N, else the line typed at "Find:"
    std::string line;                  // row 1's address, then the cursor's column and row 2
    int column;
    std::string message;
  } cases[] = {
      {"hex, from the byte after the cursor", {"3e 00 d3"}, "0300", 6, ""},
      {"N: on round to the start",
       {"3E00D3", ""},
       "0100",
       6,
       "Found after going round to the start of the range."},
      {"a wildcard", {"CD ?? 12"}, "0400", 14, ""},
      {"text over two lines", {"\"HELLO\""}, "0200", 20, ""},
      {"ending at FFFF", {"AA BB"}, "FFF8", 18, ""},
      {"not found: the cursor stays", {"99 99"}, "0100", 6, "Not found."},
      {"a bad pattern", {"3E0"}, "0100", 6, "odd number of hex digits in \"3E0\" at column 1"},
      {"an empty answer finds nothing", {""}, "0100", 6, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    image::Image = {};
    Put(0x0100, {0x3E, 0x00, 0xD3});
    Put(0x0300, {0x3E, 0x00, 0xD3});
    Put(0x0404, {0xCD, 0x77, 0x12});
    Put(0x0207, {'H', 'E', 'L', 'L', 'O'});
    Put(0xFFFE, {0xAA, 0xBB});
    image::SetStartAddress(0x0100);
    screens::ForgetLastFind();
    for (std::size_t i = 0; i < c.answers.size(); ++i) {
      if (i > 0 && c.answers[i].empty()) {
        screen.PressKey('N');
      } else {
        screen.PressKey(Vk::Slash, U'/');
        screen.TypeLine(c.answers[i]);
      }
    }
    EXPECT_FALSE(Run([] { screens::LineEditMode(false, false); }));
    EXPECT_EQ(Row(1).substr(0, 4), c.line);
    EXPECT_EQ(CursorColumn(), c.column);
    EXPECT_EQ(CursorRow(), 1);
    EXPECT_EQ(Row(2), c.message);
    EXPECT_EQ(Row(3), "");
    EXPECT_EQ(image::Range.EndLine, 0x20) << "a find moves, it never changes the range";
  }
}

}  // namespace
