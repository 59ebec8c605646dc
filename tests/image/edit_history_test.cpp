#include "image/edit_history.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "image/memory_image.h"

namespace lbe::image {
namespace {

struct State {
  MemoryImage Bytes;
  std::int32_t EndLine = 0;
  bool operator==(const State&) const = default;
};

State Now() {
  return {Image, Range.EndLine};
}

// A digit typed as the edit mode types it: the line taken into the range, the byte noted, one
// nibble written.
void Type(EditPlace place, std::uint8_t value) {
  BeginChange(place);
  Range.EndLine = std::max(Range.EndLine, place.Line);
  const std::int32_t address = place.Line * kLineBytes + place.Nibble / 2;
  NoteByte(address);
  Image[address] = place.Nibble % 2 == 0
                       ? static_cast<std::uint8_t>((Image[address] & 0x0F) | value << 4)
                       : static_cast<std::uint8_t>((Image[address] & 0xF0) | value);
  EndChange();
}

// A value other than the one the nibble at `place` holds.
std::uint8_t OtherValue(EditPlace place) {
  const std::uint8_t byte = Image[place.Line * kLineBytes + place.Nibble / 2];
  return static_cast<std::uint8_t>(((place.Nibble % 2 == 0 ? byte >> 4 : byte) + 1) & 0x0F);
}

EditPlace Next(EditPlace place) {
  return place.Nibble == 15 ? EditPlace{place.Line + 1, 0}
                            : EditPlace{place.Line, place.Nibble + 1};
}

class EditHistory : public testing::Test {
 protected:
  void SetUp() override {
    Image = {};
    for (std::int32_t address = 0; address < kImageSize; ++address) {
      Image[address] = static_cast<std::uint8_t>(address * 7 + 3);
      Image.Marks[static_cast<std::size_t>(address)] = address % 3 != 0;
    }
    Range = {};
    Range.EndLine = 0x20;
    ClearHistory();
    KeepChangesOfMarks(true);
  }
  void TearDown() override {
    ClearHistory();
    KeepChangesOfMarks(false);
  }
};

// Digits typed one after the other are taken back one at a time and made again one at a time:
// each undo gives the image, marks and range as they were before that digit and its place, each
// redo those after it. A digit with the value it had (only its mark changes), a run over a line's
// end, one that starts beyond the range, and the last line, whose cursor stays on it.
TEST_F(EditHistory, EachDigitOfARunIsItsOwnChange) {
  const struct {
    std::string label;
    std::vector<EditPlace> places;
    std::vector<std::uint8_t> values;
  } cases[] = {
      {"within a line", {{0x10, 3}, {0x10, 4}, {0x10, 5}, {0x10, 6}}, {1, 2, 0xF, 0}},
      {"over a line's end", {{0x11, 14}, {0x11, 15}, {0x12, 0}, {0x12, 1}}, {9, 9, 9, 9}},
      {"beyond the range", {{0x40, 0}, {0x40, 1}, {0x40, 2}}, {0xA, 0xB, 0xC}},
      {"a value kept: the mark alone", {{0x00, 0}, {0x00, 1}, {0x00, 2}}, {0x0, 0x4, 0xF}},
      {"the last line", {{8191, 14}, {8191, 15}, {8191, 0}, {8191, 1}}, {1, 2, 3, 4}},
      {"after a move", {{0x10, 3}, {0x10, 4}, {0x30, 0}, {0x30, 1}}, {5, 6, 7, 8}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    SetUp();
    std::vector<State> states{Now()};
    for (std::size_t i = 0; i < c.places.size(); ++i) {
      Type(c.places[i], c.values[i]);
      states.push_back(Now());
    }
    for (std::size_t i = c.places.size(); i-- > 0;) {
      EXPECT_EQ(Undo(), c.places[i]) << i;
      EXPECT_TRUE(Now() == states[i]) << i;
    }
    EXPECT_EQ(Undo(), std::nullopt);
    for (std::size_t i = 0; i < c.places.size(); ++i) {
      EXPECT_EQ(Redo(), c.places[i]) << i;
      EXPECT_TRUE(Now() == states[i + 1]) << i;
    }
    EXPECT_EQ(Redo(), std::nullopt);
    // Taken back half-way, a new digit drops what could have been made again.
    Undo();
    Undo();
    const State kept = Now();
    Type(c.places[c.places.size() - 2], 0x5);
    EXPECT_EQ(Redo(), std::nullopt);
    EXPECT_EQ(Undo(), c.places[c.places.size() - 2]);
    EXPECT_TRUE(Now() == kept);
    EXPECT_EQ(CurrentHistorySize().UndoSteps, c.places.size() - 2);
  }
}

// Past the bound the oldest digits go first, one at a time, though they share a run: here a run
// a line, each beyond the range, whose first digit moved it. The cut falls inside a run; the
// range a gone digit moved stays where it is.
TEST_F(EditHistory, TheBoundDropsTheOldestDigitsOfARun) {
  const std::size_t extra = 1237;
  EditPlace place{0x11, 8};
  std::optional<State> oldestKept;
  std::optional<EditPlace> oldestPlace;
  for (std::size_t i = 0; i < kMostSteps + extra; ++i) {
    if (i == extra) {
      oldestKept = Now();
      oldestPlace = place;
    }
    Type(place, OtherValue(place));
    place = Next(place);
  }
  const State last = Now();
  EXPECT_EQ(CurrentHistorySize().UndoSteps, kMostSteps);
  std::optional<EditPlace> at;
  for (std::size_t i = 0; i < kMostSteps; ++i) {
    at = Undo();
  }
  EXPECT_EQ(at, oldestPlace);
  EXPECT_TRUE(Now() == *oldestKept);
  EXPECT_EQ(Undo(), std::nullopt);
  for (std::size_t i = 0; i < kMostSteps; ++i) {
    Redo();
  }
  EXPECT_TRUE(Now() == last);
  EXPECT_EQ(Redo(), std::nullopt);
}

// A run cut by the bound, partly taken back, then typed on: the digits still done stay, down to
// the oldest one kept, and the new one joins them.
TEST_F(EditHistory, ADigitTypedAfterUndoKeepsTheDoneDigitsOfACutRun) {
  Range.EndLine = kLastLine;
  const std::size_t gone = 5;
  std::vector<EditPlace> places;
  std::optional<State> oldestKept;
  EditPlace place{0, 0};
  for (std::size_t i = 0; i < kMostSteps + gone; ++i) {
    if (i == gone) {
      oldestKept = Now();
    }
    places.push_back(place);
    Type(place, OtherValue(place));
    place = Next(place);
  }
  for (int i = 0; i < 3; ++i) {
    Undo();
  }
  Type(places[kMostSteps + gone - 3], 0x5);
  const State last = Now();
  EXPECT_EQ(CurrentHistorySize().UndoSteps, kMostSteps - 2);
  for (std::size_t i = 0; i < kMostSteps - 2; ++i) {
    Undo();
  }
  EXPECT_TRUE(Now() == *oldestKept);
  EXPECT_EQ(Undo(), std::nullopt);
  for (std::size_t i = 0; i < kMostSteps - 2; ++i) {
    Redo();
  }
  EXPECT_TRUE(Now() == last);
  EXPECT_EQ(Redo(), std::nullopt);
}

// Ten thousand digits typed in a row inside the range hold a few bytes each.
TEST_F(EditHistory, ADigitOfARunCostsAFewBytes) {
  Range.EndLine = kLastLine;
  EditPlace place{0, 0};
  for (std::size_t i = 0; i < kMostSteps; ++i) {
    Type(place, OtherValue(place));
    place = Next(place);
  }
  EXPECT_EQ(CurrentHistorySize().UndoSteps, kMostSteps);
  EXPECT_LT(CurrentHistorySize().Bytes, 4 * kMostSteps);
}

// The history keeps the last 10000 changes: the change before them goes, and each of them is
// taken back.
TEST(EditHistoryOfWholeBytes, KeepsTheLast10000Changes) {
  Image = {};
  Range = {};
  ClearHistory();
  constexpr std::int32_t kChanges = 10'001;
  for (std::int32_t address = 0; address < kChanges; ++address) {
    BeginChange({address / kLineBytes, 0});
    NoteByte(address);
    Image[address] = 0x5A;
    EndChange();
  }
  int undone = 0;
  while (Undo()) {
    ++undone;
  }
  EXPECT_EQ(undone, 10'000);
  EXPECT_EQ(Image[0], 0x5A);
  EXPECT_EQ(Image[1], 0);
  EXPECT_EQ(Image[kChanges - 1], 0);
  ClearHistory();
  Image = {};
}

}  // namespace
}  // namespace lbe::image
