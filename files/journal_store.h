#pragma once
// Where the rollback journals of saves are kept, and how one is written, trusted and read back:
// the format, the user's state folder, and the rule that a journal is only ever applied when
// lbe certainly made it for this file. The save and the roll-back themselves are in
// file_journal.cpp. Knows nothing of the console or the image.

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "files/file_journal.h"
#include "files/file_layer.h"
#include "files/plain_io.h"
#include "files/state_folder.h"
#include "files/test_hooks.h"

namespace lbe::files {

// The new bytes of a save, found by their offset in the file (the stretch's starts at `start`):
// in memory, or handed over by a ByteReader a piece at a time.
class NewBytes {
 public:
  NewBytes(std::uint64_t start, std::span<const std::uint8_t> inMemory)
      : start_(start), length_(inMemory.size()), inMemory_(inMemory) {}
  NewBytes(std::uint64_t start, std::uint64_t length, const ByteReader& read)
      : start_(start), length_(length), read_(&read) {}
  std::uint64_t Size() const { return length_; }
  // The `count` bytes at file offset `at`, all within the stretch, in `piece`: a view of the bytes
  // in memory, or read into `buffer`. False with errno set.
  bool Piece(std::uint64_t at, std::size_t count, std::vector<std::uint8_t>& buffer,
             std::span<const std::uint8_t>& piece) const;

 private:
  std::uint64_t start_;
  std::uint64_t length_;
  std::span<const std::uint8_t> inMemory_;
  const ByteReader* read_ = nullptr;
};

// `Length` bytes of a file from `Offset`.
struct Extent {
  std::uint64_t Offset = 0;
  std::uint64_t Length = 0;
  std::uint64_t End() const { return Offset + Length; }
  bool operator==(const Extent&) const = default;
};

// The suffix of a journal set aside unclaimed after 30 days without its file (SetAside).
inline constexpr std::string_view kUnclaimed = ".unclaimed";

// Which file a journal is for: its device and inode; the file system's own id, which a remount
// under another device number keeps (ext4 and Btrfs give one from their UUID; 0: none); and its
// path as the kernel resolved it when it was opened.
struct FileIdentity {
  struct stat Info {};
  std::uint64_t FileSystemId = 0;
  std::string RealPath;  // empty when it cannot be had (longer than the system reports)
};
// The identity of the file open as `fd`; false with errno set when it cannot be read.
bool IdentityOf(int fd, FileIdentity& identity);

// What one save does to a file, as its journal records it. The save sets the length to NewSize
// when that is larger, moves TailLength bytes from TailFrom to TailTo, writes the New extents,
// and cuts the file to NewSize when that is smaller. Old holds the former bytes of everything
// below FormerSize that this can change.
struct JournalEntry {
  std::uint64_t Device = 0;
  std::uint64_t Inode = 0;
  std::uint64_t FileSystemId = 0;  // 0: none (and in journals of earlier versions)
  bool Created = false;            // the save created the file (FormerSize is then 0)
  std::uint64_t FormerSize = 0;
  std::uint64_t NewSize = 0;
  std::uint64_t TailFrom = 0;
  std::uint64_t TailTo = 0;
  std::uint64_t TailLength = 0;
  std::vector<Extent> Old;  // sorted, apart
  std::vector<Extent> New;  // sorted, apart
  std::string Path;         // the file's real path when it was saved; may be empty
};

// True when the entry is for `file`: the same inode, and the same device (the file system ids,
// where both have one, agreeing), or the same real path with the same file system id (a disk back
// under another device number), or the same real path where a file system has no id.
bool EntryIsFor(const JournalEntry& entry, const FileIdentity& file);

// The name a journal of `file` gets in a state folder: fs-FSID-INODE.lbe-journal (the file
// system's id in hexadecimal), which a disk back under another device number keeps; where the
// file system has no id, DEVICE-INODE.lbe-journal, as earlier versions named every journal.
std::string JournalName(const FileIdentity& file);
// Every name a journal of `file` may have in a state folder: JournalName, DEVICE-INODE, and each
// unclaimed (kUnclaimed). Looked up one by one: no load or save lists a folder.
std::vector<std::string> JournalNamesOf(const FileIdentity& file);

// A folder that holds journals, open, and a journal's name in it.
struct JournalPlace {
  FileDescriptor Folder{-1};
  std::string FolderPath;  // for messages, with its closing "/"
  std::string Name;
  // Why a journal in this folder is not applied: a state folder that fails the checks of
  // state_folder.h, read only to name what it holds. Empty for a folder of the user's own.
  std::string FolderDistrust;
  std::string Shown() const { return FolderPath + Name; }
  // Removes the journal at this place. False with errno set.
  bool Remove() const;
};

// The journal named `name` in a searched state folder (its folder held open again, its distrust
// kept).
JournalPlace PlaceIn(const SearchedFolder& folder, std::string name);
// The journal's place in the user's state folder, created (mode 0700) when `create`; empty when
// there is no state folder that is safe to use.
std::optional<JournalPlace> StatePlace(const FileIdentity& file, bool create);
// The journal's place beside the file at `target`: "NAME.lbe-journal".
std::optional<JournalPlace> BesidePlace(const std::string& target);
// Every place where something stands at a name a journal of `file` may have: in each searched
// state folder (state_folder.h), then beside it at `target` and at its real path.
std::vector<JournalPlace> JournalPlacesOf(const FileIdentity& file, const std::string& target);
// The same in `folders`, as SearchedStateFolders gave them.
std::vector<JournalPlace> JournalPlacesOf(const FileIdentity& file, const std::string& target,
                                          const std::vector<SearchedFolder>& folders);

// Writes the journal of `entry`, whose old bytes it copies from `file` and whose new bytes, the
// New extents', it takes from `newBytes`, both a piece at a time, as an unnamed file that gets its
// name only once it is complete and on the disk; never over anything already at that name. False
// with errno set (EEXIST: the name is taken). `progress` hears of the old bytes copied. `held`
// gets the journal, open and locked (flock, exclusive): a running save's journal is one whose lock
// cannot be had; keep it until the journal is removed.
bool WriteJournal(const JournalPlace& place, const JournalEntry& entry, int file,
                  const NewBytes& newBytes, const SaveProgress& progress, FileDescriptor& held);

// A journal found at a place, opened without following links or waiting on a FIFO.
struct FoundJournal {
  bool Present = false;
  std::string Distrust;  // why it is not applied; empty when it is trusted
  FileDescriptor File{-1};
  JournalEntry Entry;
  std::vector<std::uint64_t> OldAt;  // where each Old extent's bytes stand in the journal
  std::vector<std::uint64_t> NewAt;  // likewise for New
};

// Opens and checks the journal at `place` for `file`: a regular file with one link, owned by the
// user running lbe or by the file's owner, writable by nobody else, whole and made for this file
// (EntryIsFor). Without `file` it must be the user's own and may be for any file. Without
// `whole` its bytes are not read past the tables: enough to know which file it is for.
FoundJournal OpenJournal(const JournalPlace& place, const FileIdentity* file, bool whole = true);

// How the file open as `fd` stands to the save a journal describes.
enum class FileVersusJournal {
  Saved,        // the save is complete: only the journal's removal was missing
  Interrupted,  // every byte is as the save could have left it: a roll-back is safe
  Changed,      // something else changed the file since: a roll-back would undo that
};
// `journal` as opened by OpenJournal. Sets errno and returns nullopt when a read fails.
std::optional<FileVersusJournal> CompareWithJournal(int fd, const FoundJournal& journal);

// Puts the former bytes and length back into the file open as `fd` (not for a created file).
// Writes only where the file differs. False with errno set.
bool PutBack(int fd, const FoundJournal& journal);

// Renames the journal aside ("NAME.set-aside", ".1", ...), never over anything; the new name,
// or empty with errno set. With kUnclaimed ("NAME.unclaimed", ...): out of the list of waiting
// journals, yet still found and settled when its own file is loaded or saved.
std::string SetAside(const JournalPlace& place, std::string_view suffix = ".set-aside");

// What the file whose status is `info` is, with `stretchSum` for its stretch.
FileState StateOf(const struct stat& info, std::uint64_t stretchSum);

#ifdef LBE_TEST_SUPPORT
// For the journal fuzzer: recomputes the checksum of a journal's bytes in place, by the rule of
// the version its first bytes name, so that made-up journals get past the checksum. False when the
// bytes are too short to hold a header.
bool SealJournalBytes(std::vector<std::uint8_t>& journal);
#endif

}  // namespace lbe::files
