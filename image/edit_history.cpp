#include "image/edit_history.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <deque>
#include <vector>

#include "image/memory_image.h"

namespace lbe::image {

namespace {

constexpr std::int32_t kLastAddress = kImageSize - 1;

// One change. Bytes: the bytes from `From` on before it, then the same bytes after it, in one
// allocation: a typed digit is a change of its own, and ten thousand of them add up. Insert and
// Delete: the shift
// at `From`, and the byte it drops (the one at 0xFFFF for Insert, the deleted one for Delete);
// the rest of the bytes follow from the shift, so a shift costs a few bytes, not 64 KiB.
struct Step {
  enum class Kind { Bytes, Insert, Delete } What = Kind::Bytes;
  EditPlace Place;
  std::int32_t EndLineBefore = 0;
  std::int32_t EndLineAfter = 0;
  std::int32_t From = 0;
  std::vector<std::uint8_t> Bytes;  // before, then after (once the change is closed)
  std::uint8_t Dropped = 0;
  bool ShiftChanges = false;  // Insert, Delete: some byte from `From` on was not zero

  std::ptrdiff_t Half() const { return static_cast<std::ptrdiff_t>(Bytes.size() / 2); }
  std::size_t Size() const { return sizeof(Step) + Bytes.capacity(); }
  bool ChangesBytes() const {
    return What == Kind::Bytes
               ? !std::equal(Bytes.begin(), Bytes.begin() + Half(), Bytes.begin() + Half())
               : ShiftChanges;
  }
};

struct EditHistory {
  std::deque<Step> Done;    // the oldest first
  std::deque<Step> Undone;  // the last taken back at the end
  std::size_t Bytes = 0;
  bool Open = false;
  Step Current;
};
EditHistory History;

void ShiftUp(std::int32_t at) {
  std::uint8_t* bytes = Image.Bytes.data();
  std::memmove(bytes + at + 1, bytes + at, static_cast<std::size_t>(kLastAddress - at));
}

void ShiftDown(std::int32_t at) {
  std::uint8_t* bytes = Image.Bytes.data();
  std::memmove(bytes + at, bytes + at + 1, static_cast<std::size_t>(kLastAddress - at));
}

void Apply(const Step& step, bool forward) {
  switch (step.What) {
    case Step::Kind::Bytes: {
      const auto from = step.Bytes.begin() + (forward ? step.Half() : 0);
      std::copy(from, from + step.Half(), Image.Bytes.begin() + step.From);
      break;
    }
    case Step::Kind::Insert:
      if (forward) {
        ShiftUp(step.From);
        Image[step.From] = 0;
      } else {
        ShiftDown(step.From);
        Image[kLastAddress] = step.Dropped;
      }
      break;
    case Step::Kind::Delete:
      if (forward) {
        ShiftDown(step.From);
        Image[kLastAddress] = 0;
      } else {
        ShiftUp(step.From);
        Image[step.From] = step.Dropped;
      }
      break;
  }
  // The range goes back only where the change moved it: a move down since keeps its line.
  if (step.EndLineBefore != step.EndLineAfter) {
    Range.EndLine = forward ? step.EndLineAfter : step.EndLineBefore;
  }
}

// Drops the oldest changes beyond the bounds.
void Trim() {
  while (!History.Done.empty() &&
         (History.Done.size() > kMostSteps || History.Bytes > kMostBytes)) {
    History.Bytes -= History.Done.front().Size();
    History.Done.pop_front();
  }
}

bool NoShiftChanges(std::int32_t address) {
  return std::all_of(Image.Bytes.begin() + address, Image.Bytes.end(),
                     [](std::uint8_t byte) { return byte == 0; });
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
  if (step.Bytes.empty()) {
    step.From = address;
    step.Bytes.push_back(Image[address]);
  } else if (address < step.From) {
    step.Bytes.insert(step.Bytes.begin(), Image.Bytes.begin() + address,
                      Image.Bytes.begin() + step.From);
    step.From = address;
  } else if (const auto end = step.From + static_cast<std::int32_t>(step.Bytes.size());
             address >= end) {
    step.Bytes.insert(step.Bytes.end(), Image.Bytes.begin() + end,
                      Image.Bytes.begin() + address + 1);
  }
}

namespace {

void NoteShift(Step::Kind kind, std::int32_t address, std::uint8_t dropped) {
  Step& step = History.Current;
  assert(History.Open && step.Bytes.empty());
  step.What = kind;
  step.From = address;
  step.Dropped = dropped;
  step.ShiftChanges = !NoShiftChanges(address);
}

}  // namespace

void NoteInsert(std::int32_t address) {
  NoteShift(Step::Kind::Insert, address, Image[kLastAddress]);
}

void NoteDelete(std::int32_t address) {
  NoteShift(Step::Kind::Delete, address, Image[address]);
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
  }
  if (!step.ChangesBytes() && step.EndLineBefore == step.EndLineAfter) {
    return;
  }
  for (const Step& undone : History.Undone) {
    History.Bytes -= undone.Size();
  }
  History.Undone.clear();
  History.Bytes += step.Size();
  History.Done.push_back(std::move(step));
  Trim();
}

namespace {

// Takes the last step of `from`, applies it backward (undo) or forward (redo) and keeps it at the
// end of `to`: where it was made, or nullopt when `from` is empty.
std::optional<EditPlace> Replay(std::deque<Step>& from, std::deque<Step>& to, bool forward) {
  assert(!History.Open);
  if (from.empty()) {
    return std::nullopt;
  }
  Apply(from.back(), forward);
  to.push_back(std::move(from.back()));
  from.pop_back();
  return to.back().Place;
}

}  // namespace

std::optional<EditPlace> Undo() {
  return Replay(History.Done, History.Undone, false);
}

std::optional<EditPlace> Redo() {
  return Replay(History.Undone, History.Done, true);
}

void ClearHistory() {
  History = {};
}

HistorySize CurrentHistorySize() {
  return {History.Done.size(), History.Undone.size(), History.Bytes};
}

}  // namespace lbe::image
