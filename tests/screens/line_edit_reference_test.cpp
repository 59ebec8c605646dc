// The edit mode against a second, independent statement of its rules: a small editor model with
// its own image, cursor position and range end, driven by the same random keys. After every key
// the real mode's image, EndLine, row 1 and cursor must match the model's.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "console/key_codes.h"
#include "image/edit_history.h"
#include "image/memory_image.h"
#include "screens/line_edit.h"
#include "stepping_console.h"

namespace {

constexpr int kLast = 8191;          // last line
constexpr int kNibbles = 8192 * 16;  // nibbles in the image
constexpr char kHex[] = "0123456789ABCDEF";

// A change as the model keeps it for undo: the stretch of the image it changed (bytes or marks),
// read off the image before and after, whatever the key did; and the range end and the cursor
// before it.
struct ModelChange {
  int From = 0;
  std::vector<std::uint8_t> Before;
  std::vector<std::uint8_t> After;
  std::vector<bool> MarksBefore;
  std::vector<bool> MarksAfter;
  int EndLineBefore = 0;
  int EndLineAfter = 0;
  int Position = 0;
};

// The cursor is one absolute nibble index into the image (line * 16 + column), unlike the real
// mode's line and column; moves that cross a line are found by comparing line numbers.
struct ModelEditor {
  std::array<std::uint8_t, 0x10000> Bytes{};
  std::array<bool, 0x10000> Marks{};  // typed bytes, and those a load marked, move with their bytes
  bool MarksCount = false;            // a change of marks alone is a change (a record file)
  int StartLine = 0;
  int EndLine = 0;
  int Position = 0;
  bool NibbleSteps = false;
  std::string RowTail = std::string(80, ' ');  // what row 1 holds beside the edit line
  std::vector<ModelChange> Done;               // at most 10,000, the oldest first
  std::vector<ModelChange> Undone;

  int Line() const { return Position / 16; }
  int Column() const { return Position % 16; }
  int StartNibble() const { return StartLine * 16; }

  void EnterAtStart(bool nibbleSteps) {
    NibbleSteps = nibbleSteps;
    Position = StartNibble();
    RowTail = std::string(80, ' ');
  }

  void EnterWithGoto(bool nibbleSteps, const std::string& answer) {
    NibbleSteps = nibbleSteps;
    const std::int64_t start = StartLine * 8;
    std::int64_t address = start;
    std::uint32_t parsed = 0;
    const auto result = std::from_chars(answer.data(), answer.data() + answer.size(), parsed, 16);
    if (!answer.empty() && result.ec == std::errc() &&
        result.ptr == answer.data() + answer.size()) {
      address = static_cast<std::int32_t>(parsed);
    }
    address = std::clamp<std::int64_t>(address, start, 0xFFFF);
    Position = static_cast<int>(address * 2);
    RowTail = "Goto:" + answer;
    RowTail.resize(80, ' ');
  }

  // Moves to `target`; a target on a later line raises EndLine to the line reached, even when
  // the image's end holds the cursor on the last line, at `columnAtImageEnd`.
  void MoveTo(int target, int columnAtImageEnd) {
    const bool down = target / 16 > Line();
    if (target >= kNibbles) {
      target = kLast * 16 + columnAtImageEnd;
    }
    if (down) {
      EndLine = std::max(EndLine, target / 16);
    }
    Position = target;
  }
  void MoveLines(int lines) {
    const int line = std::clamp(Line() + lines, StartLine, kLast);
    if (lines > 0) {
      EndLine = std::max(EndLine, line);
    }
    Position = line * 16 + Column();
  }

  void RemoveByteAt(int address) {
    std::copy(Bytes.begin() + address + 1, Bytes.end(), Bytes.begin() + address);
    std::copy(Marks.begin() + address + 1, Marks.end(), Marks.begin() + address);
    Bytes[0xFFFF] = 0;
    Marks[0xFFFF] = false;
  }
  // The new byte keeps the mark of the byte it pushed up.
  void InsertByteAt(int address) {
    std::copy_backward(Bytes.begin() + address, Bytes.end() - 1, Bytes.end());
    std::copy_backward(Marks.begin() + address, Marks.end() - 1, Marks.end());
    Bytes[static_cast<std::size_t>(address)] = 0;
  }

  // Applies `change` backward (undo) or forward (redo).
  void Apply(const ModelChange& change, bool forward) {
    const std::vector<std::uint8_t>& bytes = forward ? change.After : change.Before;
    std::copy(bytes.begin(), bytes.end(), Bytes.begin() + change.From);
    const std::vector<bool>& marks = forward ? change.MarksAfter : change.MarksBefore;
    std::copy(marks.begin(), marks.end(), Marks.begin() + change.From);
    if (change.EndLineBefore != change.EndLineAfter) {
      EndLine = forward ? change.EndLineAfter : change.EndLineBefore;
    }
    Position = change.Position;
  }
  void TakeBack(std::vector<ModelChange>& from, std::vector<ModelChange>& to, bool forward) {
    if (!from.empty()) {
      Apply(from.back(), forward);
      to.push_back(std::move(from.back()));
      from.pop_back();
    }
  }
  // Runs `key` (a change) and keeps what it changed, if anything, for undo.
  template <typename Key>
  void Change(Key key) {
    const std::array<std::uint8_t, 0x10000> before = Bytes;
    const std::array<bool, 0x10000> marksBefore = Marks;
    ModelChange change{0, {}, {}, {}, {}, EndLine, 0, Position};
    key();
    change.EndLineAfter = EndLine;
    int first = 0;
    int last = 0x10000;
    const auto same = [&](int at) {
      return before[at] == Bytes[at] && (!MarksCount || marksBefore[at] == Marks[at]);
    };
    while (first < last && same(first)) {
      ++first;
    }
    if (first == last && change.EndLineBefore == EndLine) {
      return;
    }
    while (last > first && same(last - 1)) {
      --last;
    }
    change.From = first;
    change.Before.assign(before.begin() + first, before.begin() + last);
    change.After.assign(Bytes.begin() + first, Bytes.begin() + last);
    change.MarksBefore.assign(marksBefore.begin() + first, marksBefore.begin() + last);
    change.MarksAfter.assign(Marks.begin() + first, Marks.begin() + last);
    Undone.clear();
    Done.push_back(std::move(change));
    if (Done.size() > 10000) {
      Done.erase(Done.begin());
    }
  }
  void ForgetChanges() {
    Done.clear();
    Undone.clear();
  }

  // False when the key leaves the edit mode; keeps each change for undo.
  bool Press(KeyCode key) {
    if (key == 'U' || key == 'Y') {
      key == 'U' ? TakeBack(Done, Undone, false) : TakeBack(Undone, Done, true);
      return true;
    }
    const bool changes = (key >= '0' && key <= '9') || (key >= 'A' && key <= 'F') ||
                         (key >= 96 && key <= 105) || key == 45 || key == 46 || key == 8 ||
                         key == 'R' || key == 'T';
    if (!changes) {
      return Run(key);
    }
    Change([&] { Run(key); });
    return true;
  }

  bool Run(KeyCode key) {
    int digit = -1;
    if (key >= '0' && key <= '9') {
      digit = key - '0';
    } else if (key >= 'A' && key <= 'F') {
      digit = key - 'A' + 10;
    } else if (key >= 96 && key <= 105) {
      digit = key - 96;
    }
    if (digit >= 0) {
      EndLine = std::max(EndLine, Line());  // a typed byte is always inside the saved range
      Marks[static_cast<std::size_t>(Position / 2)] = true;
      std::uint8_t& byte = Bytes[static_cast<std::size_t>(Position / 2)];
      byte = Position % 2 == 0 ? static_cast<std::uint8_t>(digit * 16 + byte % 16)
                               : static_cast<std::uint8_t>(byte / 16 * 16 + digit);
      MoveTo(Position + 1, 0);
      return true;
    }
    const int evenPosition = Position / 2 * 2;
    switch (key) {
      case 27:
      case 'Q':
        return false;
      case 37:  // Left
        Position = std::max(NibbleSteps ? Position - 1 : evenPosition - 2, StartNibble());
        break;
      case 39:  // Right
        MoveTo(NibbleSteps ? Position + 1 : evenPosition + 2, 15);
        break;
      case 38:
        MoveLines(-1);
        break;
      case 40:
        MoveLines(1);
        break;
      case 33:
        MoveLines(-32);
        break;
      case 34:
        MoveLines(32);
        break;
      case 36:  // Home
        Position = StartNibble() + Column();
        break;
      case 35:  // End: an empty range (EndLine below StartLine) keeps the start line
        Position = std::max(EndLine, StartLine) * 16 + Column();
        break;
      case 45:
        Position = evenPosition;
        InsertByteAt(Position / 2);
        break;
      case 46:
        Position = evenPosition;
        RemoveByteAt(Position / 2);
        break;
      case 8:  // Backspace
        Position = evenPosition;
        if (Position > StartNibble()) {
          Position -= 2;
          RemoveByteAt(Position / 2);
        }
        break;
      case 'R': {
        EndLine = std::max(EndLine, Line());
        const int address = Position / 2;
        Marks[static_cast<std::size_t>(address)] = true;
        Bytes[static_cast<std::size_t>(address)] =
            address > StartLine * 8 ? Bytes[static_cast<std::size_t>(address - 1)] : 0;
        Position = evenPosition;
        MoveTo(Position + 2, 0);
        break;
      }
      case 'T':
        EndLine = Line();
        break;
      default:
        break;
    }
    return true;
  }

  // A pasted character types a hex digit as its key would, and does nothing else.
  void Paste(char c) {
    const auto digit = std::string_view("0123456789abcdef").find(static_cast<char>(c | 0x20));
    if (c >= '0' && digit != std::string_view::npos) {
      Press(static_cast<KeyCode>(digit < 10 ? '0' + digit : 'A' + digit - 10));
    }
  }

  std::string HexByte(int value) const { return {kHex[value / 16], kHex[value % 16]}; }
  int Sum(int line) const {
    int sum = 0;
    for (int i = 0; i < 8; ++i) {
      sum += Bytes[static_cast<std::size_t>(line * 8 + i)];
    }
    return sum % 256;
  }
  // Row 1 as the user should see it: 29 characters of edit line, then whatever stood there.
  std::string Row() const {
    const int line = Line();
    std::string row = HexByte(line * 8 / 256) + HexByte(line * 8 % 256) + " ";
    for (int i = 0; i < 8; ++i) {
      row += HexByte(Bytes[static_cast<std::size_t>(line * 8 + i)]);
    }
    row +=
        ":" + HexByte(Sum(line)) + " [" + (line > StartLine ? HexByte(Sum(line - 1)) : "--") + "]";
    return row + RowTail.substr(29);
  }
  int CursorX() const { return 5 + Column(); }
};

struct WeightedKeys {
  std::vector<KeyCode> Keys;
  void Add(KeyCode key, int weight) {
    Keys.insert(Keys.end(), static_cast<std::size_t>(weight), key);
  }
};

// Every key of the edit mode's table, weighted so that stays are long and the cursor wanders,
// and keys the mode must ignore.
std::vector<KeyCode> KeyPool() {
  WeightedKeys pool;
  for (KeyCode key = '0'; key <= '9'; ++key) {
    pool.Add(key, 6);
  }
  for (KeyCode key = 'A'; key <= 'F'; ++key) {
    pool.Add(key, 6);
  }
  for (KeyCode key = 96; key <= 105; ++key) {
    pool.Add(key, 3);
  }
  pool.Add(Vk::Left, 40);
  pool.Add(Vk::Right, 40);
  pool.Add(Vk::Up, 25);
  pool.Add(Vk::Down, 25);
  pool.Add(Vk::PageUp, 6);
  pool.Add(Vk::PageDown, 5);
  pool.Add(Vk::Home, 4);
  pool.Add(Vk::End, 4);
  pool.Add(Vk::Insert, 8);
  pool.Add(Vk::Delete, 8);
  pool.Add(Vk::Backspace, 12);
  pool.Add('R', 15);
  pool.Add('T', 3);
  pool.Add(Vk::Escape, 1);
  pool.Add('Q', 1);
  pool.Add('U', 10);
  pool.Add('Y', 6);
  for (KeyCode key :
       {KeyCode{'G'}, KeyCode{'Z'}, KeyCode{'S'}, KeyCode{'M'}, Vk::F1, Vk::Tab, Vk::Enter,
        Vk::Space, Vk::Shift, Vk::Control, KeyCode{106}, Vk::Oem1, Vk::OemMinus, Vk::Packet}) {
    pool.Add(key, 1);
  }
  return pool.Keys;
}

std::string GotoAnswer(std::mt19937& random) {
  const char* const samples[] = {"",     "0",     "12",        "100",      "FFF8",     "FFFF",
                                 "fffd", "10000", "7FFFFFFF",  "FFFFFFFF", "80000000", "-5",
                                 "0x12", "12 ",   "123456789", "g",        " 1"};
  const std::uint32_t kind = random() % 4;
  if (kind == 0) {
    return samples[random() % std::size(samples)];
  }
  std::string answer = kind == 1 ? std::string(random() % 40, '0') : "";
  const std::size_t digits = random() % 6;
  for (std::size_t i = 0; i < digits; ++i) {
    answer += "0123456789abcdefABCDEF"[random() % 22];
  }
  return answer;
}

struct RunSettings {
  std::uint32_t Seed = 0;
  int Keys = 0;
  std::int32_t FirstStart = 0;
  bool CompareImageEveryKey = true;
};

class LineEditReference : public lbe::testing::SteppingTest {
 protected:
  // A new range for the next stay, as the A command or a load would leave it.
  void ChooseRange(std::mt19937& random, std::int32_t start) {
    image::SetStartAddress(start);
    switch (random() % 4) {
      case 0:
        image::Range.EndLine = image::Range.StartLine - 1;  // an empty file was loaded
        break;
      case 1:
        break;
      default:
        image::Range.EndLine =
            image::Range.StartLine +
            static_cast<std::int32_t>(random() % (8192 - image::Range.StartLine));
        break;
    }
    model.StartLine = image::Range.StartLine;
    model.EndLine = image::Range.EndLine;
    model.ForgetChanges();  // a new start address begins a new history
  }

  // Empty when the real mode shows what the model shows.
  std::string Difference(bool compareImage) const {
    std::ostringstream out;
    if (compareImage && std::memcmp(model.Bytes.data(), image::Image.Bytes.data(), 0x10000) != 0) {
      const auto where =
          std::mismatch(model.Bytes.begin(), model.Bytes.end(), image::Image.Bytes.begin());
      out << "image differs first at " << std::hex << (where.first - model.Bytes.begin())
          << std::dec << "; ";
    }
    for (int at = 0; compareImage && model.MarksCount && at < 0x10000; ++at) {
      if (model.Marks[static_cast<std::size_t>(at)] !=
          image::Image.Marks[static_cast<std::size_t>(at)]) {
        out << "marks differ first at " << std::hex << at << std::dec << "; ";
        break;
      }
    }
    if (image::Range.EndLine != model.EndLine) {
      out << "EndLine " << image::Range.EndLine << " instead of " << model.EndLine << "; ";
    }
    if (image::Range.StartLine != model.StartLine ||
        image::Range.StartAddress != model.StartLine * 8) {
      out << "the start of the range changed; ";
    }
    if (screen.RowText(0) != model.Row()) {
      out << "row 1 \"" << screen.RowText(0) << "\" instead of \"" << model.Row() << "\"; ";
    }
    if (screen.Cursor().X != model.CursorX() || screen.Cursor().Y != 0) {
      out << "cursor " << screen.Cursor().X << "," << screen.Cursor().Y << " instead of "
          << model.CursorX() << ",0; ";
    }
    return out.str();
  }

  void RunRandomKeys(const RunSettings& settings) {
    std::mt19937 random(settings.Seed);
    const std::vector<KeyCode> pool = KeyPool();
    for (std::size_t at = 0; at < 0x10000; ++at) {
      image::Image.Bytes[at] = random() % 3 == 0 ? 0 : static_cast<std::uint8_t>(random());
      image::Image.Marks[at] = model.Marks[at] = random() % 4 != 0;
    }
    model.Bytes = image::Image.Bytes;
    model.MarksCount = settings.Seed % 2 == 1;
    image::KeepChangesOfMarks(model.MarksCount);
    ChooseRange(random, settings.FirstStart);

    int pressed = 0;
    bool firstKeyOfStay = true;
    std::vector<KeyCode> recent;
    std::string failure;
    const auto check = [&](bool compareImage) {
      if (failure.empty()) {
        failure = Difference(compareImage);
      }
      return failure.empty();
    };
    screen.OnWait = [&] {
      if (!check(settings.CompareImageEveryKey || pressed % 1000 == 0) ||
          pressed == settings.Keys) {
        return false;
      }
      if (random() % 16 == 0) {
        // Pasted characters, keys of the edit mode among them, and line ends.
        const char pasted = "0123456789abcdefABCDEFRTQGq \n\x1b"[random() % 30];
        recent.push_back(static_cast<KeyCode>(1000 + pasted));  // 1000 + a pasted character
        ++pressed;
        model.Paste(pasted);
        screen.Paste(std::string(1, pasted));
        return true;
      }
      // End as the first key of a stay often meets a range left empty by ChooseRange.
      const KeyCode key =
          firstKeyOfStay && random() % 3 == 0 ? Vk::End : pool[random() % pool.size()];
      firstKeyOfStay = false;
      recent.push_back(key);
      if (recent.size() > 12) {
        recent.erase(recent.begin());
      }
      ++pressed;
      model.Press(key);
      screen.PressKey(key);
      return true;
    };

    int stays = 0;
    bool returned = true;
    while (returned && failure.empty()) {
      if (stays > 0 && random() % 2 == 0) {
        const std::int32_t starts[] = {0x0000, 0xFFF8, 0xFFF0,
                                       static_cast<std::int32_t>(random() % 0x10000)};
        ChooseRange(random, starts[random() % 4]);
      }
      // Deletes fill the image's end with zeros, which would hide faults of the shifts there.
      // Bytes changed behind the edit mode's back are as a load: the history starts afresh.
      // Otherwise it goes on from the last stay.
      if (random() % 3 == 0) {
        for (int i = 0; i < 64; ++i) {
          const std::size_t address =
              i < 32 ? 0xFFFF - static_cast<std::size_t>(i) : random() % 0x10000;
          image::Image.Bytes[address] = model.Bytes[address] = static_cast<std::uint8_t>(random());
          image::Image.Marks[address] = model.Marks[address] = random() % 2 == 0;
        }
        image::ClearHistory();
        model.ForgetChanges();
      }
      const bool nibbles = random() % 2 == 0;
      firstKeyOfStay = true;
      if (random() % 3 == 0) {
        const std::string answer = GotoAnswer(random);
        model.EnterWithGoto(nibbles, answer);
        screen.TypeLine(answer);
        returned = Run([nibbles] { screens::LineEditMode(true, nibbles); });
      } else {
        model.EnterAtStart(nibbles);
        returned = Run([nibbles] { screens::LineEditMode(false, nibbles); });
      }
      ++stays;
      check(true);  // leaving draws nothing and changes nothing
    }
    screen.OnWait = nullptr;
    EXPECT_EQ(failure, "") << "seed " << settings.Seed << ", key " << pressed << " of stay "
                           << stays << ", last keys " << testing::PrintToString(recent);
    EXPECT_EQ(pressed, settings.Keys);
    EXPECT_GT(stays, 1);
  }

  ModelEditor model;
};

TEST_F(LineEditReference, RandomKeysFromSeveralSeeds) {
  const RunSettings runs[] = {
      {1, 6000, 0x0000, true}, {2, 6000, 0xFFF8, true}, {3, 6000, 0x0100, true},
      {4, 6000, 0x7FF8, true}, {5, 6000, 0xFF00, true}, {6, 6000, 0xFFF0, true},
  };
  for (const RunSettings& run : runs) {
    SCOPED_TRACE(run.Seed);
    RunRandomKeys(run);
  }
}

// Run under the sanitizer build too: any read or write outside the image stops it there.
TEST_F(LineEditReference, LongRandomRunStaysInsideTheImage) {
  RunRandomKeys({20240601, 200000, 0xFFF8, false});
}

}  // namespace
