#pragma once
// The journalled in-place save: puts new bytes in place of one stretch of a file, writing into
// the file itself, so that it keeps its inode, hard links, owner, group, mode, ACLs and extended
// attributes, and a writable file in a read-only folder can be saved. Only the blocks that
// differ from the disk are written. Before that, the bytes about to be overwritten and the new
// ones go to a rollback journal in the user's own state folder (or beside the file when there is
// none), so that a save that fails or is killed can be undone: at once when it fails, on the
// next load when it was killed, and only while the file is in a state that save could have
// left. Knows nothing of the console or the image.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "files/checksum.h"

namespace lbe::files {

// A stretch of a file: `Length` bytes from `Offset`, or, with `ToEnd`, everything from `Offset`
// to the end of the file, however long it is by then.
struct FileStretch {
  std::uint64_t Offset = 0;
  std::uint64_t Length = 0;
  bool ToEnd = true;

  bool operator==(const FileStretch&) const = default;
};

// What a file was at one moment, to tell later whether anyone changed it: which file, its
// length and times (nanoseconds: touch and cp -p set the modification time back), and a
// checksum of the stretch that was read or written.
struct FileState {
  bool Exists = false;
  std::uint64_t Device = 0;
  std::uint64_t Inode = 0;
  std::uint64_t Size = 0;
  std::int64_t ModifiedNs = 0;
  std::int64_t ChangedNs = 0;
  std::uint64_t StretchSum = 0;  // StretchChecksum of the stretch's bytes

  bool operator==(const FileState&) const = default;
};

// The checksum FileState keeps of a stretch's bytes.
std::uint64_t StretchChecksum(std::span<const std::uint8_t> bytes);

// What a save asks before it writes, with the figures the question shows.
struct SaveConcern {
  enum Kind {
    ChangedOnDisk,  // the file is not what was loaded (or last saved)
    OtherFile,      // the name now leads to another file than the one loaded
    MovesRest,      // the save moves the bytes after the stretch
  } What = ChangedOnDisk;
  std::uint64_t RestBytes = 0;    // MovesRest: how many bytes move
  std::uint64_t NewFileSize = 0;  // MovesRest: the file's length afterwards
};
// True: go on with the save. Called with the file locked; empty: never ask, always go on.
using SaveQuestion = std::function<bool(const SaveConcern&)>;
// Told, now and then during a long save, how many of the bytes it moves or writes are done.
using SaveProgress = std::function<void(std::uint64_t done, std::uint64_t total)>;

struct SaveRequest {
  FileStretch Stretch;
  std::span<const std::uint8_t> Bytes;
  // What the file was when loaded or last saved: a file in another state makes the save ask
  // (ChangedOnDisk or OtherFile); empty: nothing is known, nothing asked.
  std::optional<FileState> Expected;
  SaveQuestion Ask;
  SaveProgress Progress;
};

struct SaveResult {
  bool Saved = false;   // false: Ask said no, and nothing was written
  FileStretch Written;  // the stretch the bytes now fill (ToEnd kept)
  FileState Now;        // the file as the save left it, StretchSum over `Written`
  // What the save settled first, one line each: an interrupted save's journal rolled back, or
  // one that no longer fits set aside.
  std::vector<std::string> Notes;
};

// Puts the request's bytes in place of its stretch in the file at `path` (symbolic links
// followed and kept): the bytes before the stretch and after it stay as they were, those after
// it moving up or down when the bytes are longer or shorter; a file shorter than the offset gets
// zeros up to it. A missing file is created. An interrupted save of the file is rolled back
// first, a journal that no longer fits set aside (both said in Notes); a journal it cannot trust
// at the name it needs makes it refuse.
// Throws FileError with the message of the step that failed; the file is then as it was, or,
// when even putting it back failed, its journal gives it back on the next load.
SaveResult ReplaceStretch(std::string_view path, const SaveRequest& request);

// The same with no questions and no knowledge of the file's former state: what --check -o and
// WriteWholeFile use.
FileStretch ReplaceStretch(std::string_view path, const FileStretch& stretch,
                           std::span<const std::uint8_t> bytes);

// Hands over the bytes of a save from where they wait, rather than from memory: all of `into`,
// from `offset` among them. False with errno set.
using ByteReader = std::function<bool(std::uint64_t offset, std::span<std::uint8_t> into)>;
// The same with `length` bytes that `read` hands over a piece at a time, as often as the save
// needs them: memory stays flat however long they are.
FileStretch ReplaceStretch(std::string_view path, const FileStretch& stretch, std::uint64_t length,
                           const ByteReader& read);

// What the journals of the file at `path` (links followed) said, and what was done about them.
struct JournalReport {
  bool RolledBack = false;   // an interrupted save was undone (or would be, read-only)
  bool Interrupted = false;  // read-only: an interrupted save awaits its roll-back
  // A journal of the file was left alone (its folder or itself not to be trusted, or not
  // readable): the file may be half-saved.
  bool Unsettled = false;
  // One plain line per journal that was set aside, left alone or cleaned up, naming it.
  std::vector<std::string> Lines;
};

// Settles the journals of the file at `path` before a load: puts the former bytes back when a
// save of it was interrupted and the file is still as that save could have left it; sets a
// journal aside under a new name when the file has changed since; leaves alone, and reports,
// anything at a journal's name that it cannot trust. With `readOnly` it only reports. Throws
// FileError when a journal cannot be applied (it then stays).
JournalReport SettleJournals(std::string_view path, bool readOnly);

}  // namespace lbe::files
