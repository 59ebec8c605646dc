#pragma once
// The edit mode's changes to the image and the range, kept so that they can be taken back (undo)
// and made again (redo). A change is one typed digit, one repeated byte, one inserted or
// deleted byte, one end of the range set, or one whole paste. The history lives from a load or
// a new start address to the next; it holds at most the last kMostSteps changes and kMostBytes
// of their bytes, the oldest going first. Pure: no console, no files.

#include <cstddef>
#include <cstdint>
#include <optional>

namespace lbe::image {

inline constexpr std::size_t kMostSteps = 10'000;
inline constexpr std::size_t kMostBytes = std::size_t{16} << 20;

// Where the edit mode's cursor stood when a change was made: undo and redo put it back there.
struct EditPlace {
  std::int32_t Line = 0;    // a line of the image
  std::int32_t Nibble = 0;  // 0 to 15 on that line

  bool operator==(const EditPlace&) const = default;
};

// Opens a change made at `place`; the calls below until EndChange belong to it. The range as it
// stands now is the one undo puts back.
void BeginChange(EditPlace place);
// Before the byte at `address` changes: it is marked (memory_image.h) from now on, so that a save
// writes it even when it keeps its value.
void NoteByte(std::int32_t address);
// Before a byte is inserted at `address` (the byte at 0xFFFF is lost) or the byte at `address`
// is deleted (0xFFFF becomes 0). A change holds at most one of these, and no NoteByte.
void NoteInsert(std::int32_t address);
void NoteDelete(std::int32_t address);
// Closes the change: the image and the range as they stand now are what redo makes again. A
// change that changed nothing is not kept; one that did drops what could have been redone.
void EndChange();

// Takes back the last change, or makes again the last one taken back: the bytes, their marks and
// the range as they were, and where the change was made (the cursor's place); nullopt when there
// is none.
std::optional<EditPlace> Undo();
std::optional<EditPlace> Redo();

// Whether a change that only marks bytes (a byte typed with the value it had) is a change
// of its own: while a record file is edited, whose save writes it; not for a raw file (the
// default), where it changes nothing.
void KeepChangesOfMarks(bool keep);

// Forgets every change: after a load or a new start address.
void ClearHistory();

// How many changes can be taken back and made again, and the bytes they hold.
struct HistorySize {
  std::size_t UndoSteps = 0;
  std::size_t RedoSteps = 0;
  std::size_t Bytes = 0;
};
HistorySize CurrentHistorySize();

}  // namespace lbe::image
