#include "image/edit_history.h"

#include <algorithm>
#include <cassert>
#include <deque>
#include <vector>

#include "image/memory_image.h"

namespace lbe::image {

namespace {

constexpr std::int32_t kLastAddress = kImageSize - 1;

// One change. Bytes: the bytes from `From` on before it, then the same bytes after it, in one
// allocation: a typed digit is a change of its own, and ten thousand of them add up; `Marks`, their
// marks (memory_image.h) laid out the same way. Insert and Delete: the shift at `From`, and the
// byte it drops with its mark (the one at 0xFFFF for Insert, the deleted one for Delete); the rest
// of the bytes follow from the shift, so a shift costs a few bytes, not 64 KiB.
struct Step {
  enum class Kind { Bytes, Insert, Delete } What = Kind::Bytes;
  EditPlace Place;
  std::int32_t EndLineBefore = 0;
  std::int32_t EndLineAfter = 0;
  std::int32_t From = 0;
  std::vector<std::uint8_t> Bytes;  // before, then after (once the change is closed)
  std::vector<bool> Marks;          // the same for the marks
  std::uint8_t Dropped = 0;
  bool DroppedMark = false;
  bool ShiftChanges = false;  // Insert, Delete: the shift moved a byte or a mark that differs

  std::ptrdiff_t Half() const { return static_cast<std::ptrdiff_t>(Bytes.size() / 2); }
  std::size_t Size() const { return sizeof(Step) + Bytes.capacity() + Marks.capacity() / 8; }
  bool ChangesBytes(bool marksCount) const {
    return What == Kind::Bytes
               ? !std::equal(Bytes.begin(), Bytes.begin() + Half(), Bytes.begin() + Half()) ||
                     (marksCount &&
                      !std::equal(Marks.begin(), Marks.begin() + Half(), Marks.begin() + Half()))
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
bool MarksCount = false;  // KeepChangesOfMarks

bool MarkedAt(std::int32_t address) {
  return Image.Marks[static_cast<std::size_t>(address)];
}

void SetMarked(std::int32_t address, bool marked) {
  Image.Marks[static_cast<std::size_t>(address)] = marked;
}

void Apply(const Step& step, bool forward) {
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

void KeepChangesOfMarks(bool keep) {
  MarksCount = keep;
}

void ClearHistory() {
  History = {};
}

HistorySize CurrentHistorySize() {
  return {History.Done.size(), History.Undone.size(), History.Bytes};
}

}  // namespace lbe::image
