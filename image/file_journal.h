#pragma once
// The journalled in-place save: puts new bytes in place of one stretch of a file, writing into
// the file itself, so that it keeps its inode, hard links, owner, group, mode, ACLs and extended
// attributes, and a writable file in a read-only folder can be saved. The bytes about to be
// overwritten go first to a rollback journal (beside the file, or in the user's state folder
// when that folder takes no new file), so that a save that fails or is killed can be undone:
// at once when it fails, on the next load when it was killed. Knows nothing of the console or
// the image.

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

namespace lbe::image {

// A stretch of a file: `Length` bytes from `Offset`, or, with `ToEnd`, everything from `Offset`
// to the end of the file, however long it is by then.
struct FileStretch {
  std::uint64_t Offset = 0;
  std::uint64_t Length = 0;
  bool ToEnd = true;

  bool operator==(const FileStretch&) const = default;
};

// Puts `bytes` in place of `stretch` in the file at `path` (symbolic links followed and kept):
// the bytes before the stretch and after it stay as they were, those after it moving up or
// down when `bytes` is longer or shorter; a file shorter than `stretch.Offset` gets zeros up
// to it. A missing file is created. Returns the stretch the bytes now fill (ToEnd kept).
// Throws FileError with the message of the step that failed; the file is then as it was, or,
// when even putting it back failed, its journal gives it back on the next load.
FileStretch ReplaceStretch(std::string_view path, const FileStretch& stretch,
                           std::span<const std::uint8_t> bytes);

// Puts back the former bytes of the file at `path` (links followed) when a save of it was
// interrupted and left its journal, and removes the journal. True when the file was changed
// back (or a file the save had created was removed). A journal that was never completed is
// removed without touching the file; one made for another file at that name is left alone.
// Throws FileError (open message) when the journal cannot be applied; it then stays.
bool RollBackInterruptedSave(std::string_view path);

// Where the journal of the file `target` (links already followed) goes: beside it, and, when
// that folder takes no new file, in the user's state folder ($XDG_STATE_HOME/lbe, else
// ~/.local/state/lbe), named by device and inode. Empty when there is no state folder.
std::string JournalBeside(std::string_view target);
std::string JournalInStateFolder(std::uint64_t device, std::uint64_t inode);

// For tests: called before each file-system call that a save or a roll-back makes, numbered
// from 1 since the hook was set; a non-zero result makes that call fail with that errno
// without running it. Empty (the default) costs one test per call.
using FileCallHook = std::function<int(int callNumber)>;
void SetFileCallHook(FileCallHook hook);

}  // namespace lbe::image
