#include "image/edit_history.h"

#include <algorithm>
#include <cassert>
#include <deque>
#include <vector>

#include "image/memory_image.h"

namespace lbe::image {

namespace {

constexpr std::int32_t kLastAddress = kImageSize - 1;
constexpr std::int32_t kNibblesPerLine = kLineBytes * 2;

// One typed digit of a run: the nibble it replaced (high four bits) and the one it wrote (low four
// bits), and whether its byte was marked before it (it is marked after it).
struct TypedDigit {
  std::uint8_t Nibbles = 0;
  bool MarkedBefore = false;
};

// A record of the history. Bytes: one change, the bytes from `From` on before it, then the same
// bytes after it, in one allocation; `Marks`, their marks (memory_image.h) laid out the same way.
// Insert and Delete: one change, the shift at `From`, and the byte it drops with its mark (the one
// at 0xFFFF for Insert, the deleted one for Delete); the rest of the bytes follow from the shift,
// so a shift costs a few bytes, not 64 KiB. Digits: a run of changes that each wrote one nibble,
// the next one to the right of the last (`From` is the first one's Line * 16 + Nibble): a typed
// digit is a change of its own, ten thousand of them add up, and here each costs two bytes; only
// the first may have moved the range.
struct Step {
  enum class Kind { Bytes, Insert, Delete, Digits } What = Kind::Bytes;
  EditPlace Place;
  std::int32_t EndLineBefore = 0;
  std::int32_t EndLineAfter = 0;
  std::int32_t From = 0;
  std::vector<std::uint8_t> Bytes;  // before, then after (once the change is closed)
  std::vector<bool> Marks;          // the same for the marks
  std::uint8_t Dropped = 0;
  bool DroppedMark = false;
  bool ShiftChanges = false;  // Insert, Delete: the shift moved a byte or a mark that differs
  std::vector<TypedDigit> Digits;
  std::size_t Gone = 0;  // Digits: how many at the front the bounds dropped
  std::size_t Done = 1;  // how many of its changes are made (not taken back), the first ones

  std::ptrdiff_t Half() const { return static_cast<std::ptrdiff_t>(Bytes.size() / 2); }
  std::size_t Changes() const { return What == Kind::Digits ? Digits.size() - Gone : 1; }
  std::size_t Size() const {
    return sizeof(Step) + Bytes.capacity() + Marks.capacity() / 8 +
           Digits.capacity() * sizeof(TypedDigit);
  }
  bool ChangesBytes(bool marksCount) const {
    return What == Kind::Bytes
               ? !std::equal(Bytes.begin(), Bytes.begin() + Half(), Bytes.begin() + Half()) ||
                     (marksCount &&
                      !std::equal(Marks.begin(), Marks.begin() + Half(), Marks.begin() + Half()))
               : ShiftChanges;
  }
  // Where change `index` (counted from the first not dropped) of a run was made.
  std::int32_t NibbleOf(std::size_t index) const {
    return From + static_cast<std::int32_t>(Gone + index);
  }
};

// Records [0, Split) hold a change that is made, all of them but the last one whole; the records
// from Split on hold changes taken back alone.
struct EditHistory {
  std::deque<Step> Steps;  // the oldest first
  std::size_t Split = 0;
  std::size_t Changes = 0;  // made and taken back
  std::size_t Made = 0;
  std::size_t Bytes = 0;
  bool Open = false;
  Step Current;
};
EditHistory History;
bool MarksCount = false;  // KeepChangesOfMarks

bool MarkedAt(std::int32_t address) {
  return Image.Marks[static_cast<std::size_t>(address)];
}

void SetMarked(std::int32_t address, bool marked) {
  Image.Marks[static_cast<std::size_t>(address)] = marked;
}

void SetNibble(std::int32_t nibble, std::uint8_t value) {
  std::uint8_t& byte = Image[nibble / 2];
  byte = nibble % 2 == 0 ? static_cast<std::uint8_t>((byte & 0x0F) | (value << 4))
                         : static_cast<std::uint8_t>((byte & 0xF0) | value);
}

// The range goes back only where the change moved it: a move down since keeps its line.
void ApplyRange(const Step& step, bool forward) {
  if (step.EndLineBefore != step.EndLineAfter) {
    Range.EndLine = forward ? step.EndLineAfter : step.EndLineBefore;
  }
}

// Applies change `index` of `step` backward (undo) or forward (redo).
void Apply(const Step& step, std::size_t index, bool forward) {
  switch (step.What) {
    case Step::Kind::Bytes: {
      const std::ptrdiff_t from = forward ? step.Half() : 0;
      std::copy(step.Bytes.begin() + from, step.Bytes.begin() + from + step.Half(),
                Image.Bytes.begin() + step.From);
      for (std::int32_t i = 0; i < step.Half(); ++i) {
        SetMarked(step.From + i, step.Marks[static_cast<std::size_t>(from + i)]);
      }
      break;
    }
    case Step::Kind::Insert:
      if (forward) {
        InsertByte(step.From);
      } else {
        DeleteByte(step.From);
        Image[kLastAddress] = step.Dropped;
        SetMarked(kLastAddress, step.DroppedMark);
      }
      break;
    case Step::Kind::Delete:
      if (forward) {
        DeleteByte(step.From);
      } else {
        InsertByte(step.From);
        Image[step.From] = step.Dropped;
        SetMarked(step.From, step.DroppedMark);
      }
      break;
    case Step::Kind::Digits: {
      const TypedDigit digit = step.Digits[step.Gone + index];
      const std::int32_t nibble = step.NibbleOf(index);
      SetNibble(nibble, forward ? digit.Nibbles & 0x0F : digit.Nibbles >> 4);
      SetMarked(nibble / 2, forward || digit.MarkedBefore);
      if (step.Gone + index == 0) {
        ApplyRange(step, forward);  // the first digit alone may have moved it
      }
      return;
    }
  }
  ApplyRange(step, forward);
}

EditPlace PlaceOf(const Step& step, std::size_t index) {
  if (step.What != Step::Kind::Digits) {
    return step.Place;
  }
  const std::int32_t nibble = step.NibbleOf(index);
  return {nibble / kNibblesPerLine, nibble % kNibblesPerLine};
}

// Drops the oldest changes beyond the bounds. Only made changes are kept when it runs.
void Trim() {
  while (!History.Steps.empty() && (History.Changes > kMostSteps || History.Bytes > kMostBytes)) {
    Step& oldest = History.Steps.front();
    --History.Changes;
    --History.Made;
    if (oldest.Changes() > 1) {
      History.Bytes -= oldest.Size();
      oldest.EndLineBefore = oldest.EndLineAfter;  // the range moved with the first digit alone
      ++oldest.Gone;
      --oldest.Done;
      if (oldest.Gone > oldest.Digits.size() / 2) {
        oldest.Digits.erase(oldest.Digits.begin(),
                            oldest.Digits.begin() + static_cast<std::ptrdiff_t>(oldest.Gone));
        oldest.From += static_cast<std::int32_t>(oldest.Gone);
        oldest.Gone = 0;
      }
      History.Bytes += oldest.Size();
    } else {
      History.Bytes -= oldest.Size();
      History.Steps.pop_front();
      --History.Split;
    }
  }
}

// Whether a shift at `address` changes anything: Insert when some byte from there on is not
// zero or the marks from there on are not all alike; Delete when some byte or mark from there on
// is set.
bool ShiftChanges(Step::Kind kind, std::int32_t address) {
  const bool bytes = !std::all_of(Image.Bytes.begin() + address, Image.Bytes.end(),
                                  [](std::uint8_t byte) { return byte == 0; });
  const std::size_t marked = (Image.Marks >> static_cast<std::size_t>(address)).count();
  const auto all = static_cast<std::size_t>(kImageSize - address);
  return bytes ||
         (MarksCount && (kind == Step::Kind::Insert ? marked != 0 && marked != all : marked != 0));
}

// Drops every change taken back: a new change was made.
void ForgetTakenBack() {
  while (History.Steps.size() > History.Split) {
    History.Bytes -= History.Steps.back().Size();
    History.Changes -= History.Steps.back().Changes();
    History.Steps.pop_back();
  }
  if (History.Split > 0) {
    Step& last = History.Steps.back();
    if (last.Done < last.Changes()) {
      History.Bytes -= last.Size();
      History.Changes -= last.Changes() - last.Done;
      last.Digits.resize(last.Gone + last.Done);
      History.Bytes += last.Size();
    }
  }
}

// The digit `step` (closed) is when it wrote one nibble of one byte, the nibble of its place:
// what a typed digit does.
std::optional<TypedDigit> AsDigit(const Step& step) {
  if (step.What != Step::Kind::Bytes || step.Bytes.size() != 2 ||
      step.From != step.Place.Line * kLineBytes + step.Place.Nibble / 2 || !step.Marks[1]) {
    return std::nullopt;
  }
  const int shift = step.Place.Nibble % 2 == 0 ? 4 : 0;
  const std::uint8_t before = step.Bytes[0];
  const std::uint8_t after = step.Bytes[1];
  if (((before ^ after) & ~(0x0F << shift)) != 0) {
    return std::nullopt;
  }
  return TypedDigit{
      static_cast<std::uint8_t>(((before >> shift) & 0x0F) << 4 | ((after >> shift) & 0x0F)),
      step.Marks[0]};
}

// Keeps the closed change `step`: a digit right after the last run's last one joins it.
void Keep(Step& step) {
  const std::optional<TypedDigit> digit = AsDigit(step);
  ++History.Changes;
  ++History.Made;
  if (digit && !History.Steps.empty() && step.EndLineBefore == step.EndLineAfter) {
    Step& last = History.Steps.back();
    if (last.What == Step::Kind::Digits &&
        last.NibbleOf(last.Changes()) == step.Place.Line * kNibblesPerLine + step.Place.Nibble) {
      History.Bytes -= last.Size();
      last.Digits.push_back(*digit);
      ++last.Done;
      History.Bytes += last.Size();
      return;
    }
  }
  if (digit) {
    step.What = Step::Kind::Digits;
    step.From = step.Place.Line * kNibblesPerLine + step.Place.Nibble;
    step.Bytes = {};
    step.Marks = {};
    step.Digits.push_back(*digit);
  }
  History.Bytes += step.Size();
  History.Steps.push_back(std::move(step));
  ++History.Split;
}

}  // namespace

void BeginChange(EditPlace place) {
  assert(!History.Open);
  History.Current = Step{};
  History.Current.Place = place;
  History.Current.EndLineBefore = Range.EndLine;
  History.Open = true;
}

void NoteByte(std::int32_t address) {
  Step& step = History.Current;
  assert(History.Open && step.What == Step::Kind::Bytes);
  // While the change is open Bytes holds the before half alone. The bytes between the noted ones
  // have not changed yet: they are read as they stand.
  const auto marks = [](std::int32_t from, std::int32_t to) {
    std::vector<bool> marked;
    for (std::int32_t at = from; at < to; ++at) {
      marked.push_back(MarkedAt(at));
    }
    return marked;
  };
  if (step.Bytes.empty()) {
    step.From = address;
    step.Bytes.push_back(Image[address]);
    step.Marks.push_back(MarkedAt(address));
  } else if (address < step.From) {
    step.Bytes.insert(step.Bytes.begin(), Image.Bytes.begin() + address,
                      Image.Bytes.begin() + step.From);
    const std::vector<bool> marked = marks(address, step.From);
    step.Marks.insert(step.Marks.begin(), marked.begin(), marked.end());
    step.From = address;
  } else if (const auto end = step.From + static_cast<std::int32_t>(step.Bytes.size());
             address >= end) {
    step.Bytes.insert(step.Bytes.end(), Image.Bytes.begin() + end,
                      Image.Bytes.begin() + address + 1);
    const std::vector<bool> marked = marks(end, address + 1);
    step.Marks.insert(step.Marks.end(), marked.begin(), marked.end());
  }
  SetMarked(address, true);  // a typed byte is saved whatever its value
}

namespace {

void NoteShift(Step::Kind kind, std::int32_t address, std::int32_t dropped) {
  Step& step = History.Current;
  assert(History.Open && step.Bytes.empty());
  step.What = kind;
  step.From = address;
  step.Dropped = Image[dropped];
  step.DroppedMark = MarkedAt(dropped);
  step.ShiftChanges = ShiftChanges(kind, address);
}

}  // namespace

void NoteInsert(std::int32_t address) {
  NoteShift(Step::Kind::Insert, address, kLastAddress);
}

void NoteDelete(std::int32_t address) {
  NoteShift(Step::Kind::Delete, address, address);
}

void EndChange() {
  assert(History.Open);
  History.Open = false;
  Step& step = History.Current;
  step.EndLineAfter = Range.EndLine;
  if (step.What == Step::Kind::Bytes) {
    const auto count = static_cast<std::ptrdiff_t>(step.Bytes.size());
    step.Bytes.reserve(step.Bytes.size() * 2);
    step.Bytes.insert(step.Bytes.end(), Image.Bytes.begin() + step.From,
                      Image.Bytes.begin() + step.From + count);
    step.Marks.reserve(step.Marks.size() * 2);
    for (std::int32_t i = 0; i < count; ++i) {
      step.Marks.push_back(MarkedAt(step.From + i));
    }
  }
  if (!step.ChangesBytes(MarksCount) && step.EndLineBefore == step.EndLineAfter) {
    return;
  }
  ForgetTakenBack();
  Keep(step);
  Trim();
}

std::optional<EditPlace> Undo() {
  assert(!History.Open);
  if (History.Split == 0) {
    return std::nullopt;
  }
  Step& step = History.Steps[History.Split - 1];
  const std::size_t index = --step.Done;
  Apply(step, index, false);
  --History.Made;
  if (step.Done == 0) {
    --History.Split;
  }
  return PlaceOf(step, index);
}

std::optional<EditPlace> Redo() {
  assert(!History.Open);
  if (History.Made == History.Changes) {
    return std::nullopt;
  }
  if (History.Split == 0 ||
      History.Steps[History.Split - 1].Done == History.Steps[History.Split - 1].Changes()) {
    ++History.Split;
  }
  Step& step = History.Steps[History.Split - 1];
  const std::size_t index = step.Done++;
  Apply(step, index, true);
  ++History.Made;
  return PlaceOf(step, index);
}

void KeepChangesOfMarks(bool keep) {
  MarksCount = keep;
}

void ClearHistory() {
  History = {};
}

HistorySize CurrentHistorySize() {
  return {History.Made, History.Changes - History.Made, History.Bytes};
}

}  // namespace lbe::image
