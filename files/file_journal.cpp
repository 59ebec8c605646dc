#include "files/file_journal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <utility>
#include <vector>

#include "files/file_layer.h"
#include "files/journal_store.h"
#include "files/plain_io.h"
#include "files/safe_open.h"
#include "files/state_folder.h"
#include "files/test_hooks.h"
#include "text/visible_text.h"

namespace lbe::files {

namespace {

constexpr std::uint64_t kLargestSize = std::numeric_limits<off_t>::max();
// A save writes only the blocks of this size in which the new bytes differ from the disk.
constexpr std::uint64_t kBlock = 4096;
// The plan compares the new bytes with the disk's in pieces of this size, two of them in memory.
constexpr std::uint64_t kCompared = std::uint64_t{256} << 10;

FileError JournalError(std::string message) {
  return FileError(FileErrorKind::InOutError, message);
}

std::string Shown(std::string_view path) {
  return text::VisibleText(path);
}

std::string PutBackError(std::string_view path, const JournalPlace& place, int code) {
  return "The last save of " + Shown(path) + " was interrupted, and its journal " +
         Shown(place.Shown()) + " cannot be applied: " + PlatformErrorText(code) + ".";
}

// The file being saved, open for reading and writing under an exclusive lock.
struct SaveTarget {
  std::string Path;  // as given
  FileDescriptor File{-1};
  // The folder that holds it, as reached (O_PATH), and its name there: for removing a file the
  // save created and syncing its name.
  FileDescriptor Folder{-1};
  std::string Name;
  bool Created = false;
  struct stat Info {};
  FileIdentity Identity;  // which file it is, for its journal's name and entry
};

// Takes what OpenName reached into the target.
void Take(OpenedName& opened, SaveTarget& target) {
  target.File = std::move(opened.File);
  target.Folder = std::move(opened.Folder);
  target.Name = std::move(opened.Name);
}

// Opens the file a save writes, without creating it: false when it does not exist. The name is
// walked as the kernel would, a link another user planted in a shared sticky folder refused. A
// save that means to create the file (`meansToCreate`: nothing stood there when it was loaded)
// never opens what another user has put at the name in such a folder since.
bool OpenExisting(std::string_view path, SaveTarget& target, bool meansToCreate) {
  CheckPath(path, false);
  target.Path = std::string(path);
  OpenedName opened;
  std::string refusedLink;
  constexpr int kFlags = O_RDWR | O_NONBLOCK | O_NOCTTY;
  // A FIFO or device is no file to write into: it could block, or be some device.
  if (Sys("open", [&] { return OpenRegularFile(path, kFlags, opened, &refusedLink) ? 0 : -1; }) !=
      0) {
    if (!refusedLink.empty()) {
      throw RefusedLinkError(refusedLink);
    }
    if (errno == ENOENT) {
      return false;
    }
    throw CreateError(path, errno);
  }
  struct stat file {};
  struct stat folder {};
  if (meansToCreate && opened.Folder.IsOpen() && ::fstat(opened.File.Get(), &file) == 0 &&
      ::fstat(opened.Folder.Get(), &folder) == 0 && (folder.st_mode & S_ISVTX) != 0 &&
      (folder.st_mode & S_IWOTH) != 0 && file.st_uid != ::geteuid() &&
      file.st_uid != folder.st_uid) {
    throw CreateError(path, EACCES);  // as the kernel refuses O_CREAT there
  }
  Take(opened, target);
  return true;
}

void CreateAndLock(std::string_view path, SaveTarget& target, bool exists) {
  if (!exists) {
    // Without O_EXCL, so that a link to a file yet to be made makes it; a file that appeared
    // since the look is not taken unasked.
    constexpr int kFlags = O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | O_CREAT;
    OpenedName opened;
    std::string refusedLink;
    if (Sys("open", [&] { return OpenName(path, kFlags, 0666, opened, &refusedLink) ? 0 : -1; }) !=
        0) {
      if (!refusedLink.empty()) {
        throw RefusedLinkError(refusedLink);
      }
      throw CreateError(path, errno);
    }
    if (!opened.Created) {
      throw CreateError(path, EEXIST);
    }
    Take(opened, target);
    target.Created = true;
  }
  // Another lbe reading or saving this file holds a lock on it.
  if (Sys("flock", [&] { return ::flock(target.File.Get(), LOCK_EX | LOCK_NB); }) != 0 ||
      Sys("fstat", [&] { return ::fstat(target.File.Get(), &target.Info); }) != 0 ||
      !IdentityOf(target.File.Get(), target.Identity)) {
    throw CreateError(path, errno);
  }
}

std::uint64_t StretchEnd(const FileStretch& stretch, std::uint64_t fileSize) {
  return stretch.ToEnd || stretch.Length > kLargestSize - stretch.Offset
             ? std::max(fileSize, stretch.Offset)
             : stretch.Offset + stretch.Length;
}

// The checksum of the file's bytes in [from, to), those beyond its end left out.
std::uint64_t DiskChecksum(int fd, std::uint64_t from, std::uint64_t to) {
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(to > from ? to - from : 0));
  if (!ReadAt(fd, bytes.data(), bytes.size(), from)) {
    throw ReadError(errno);
  }
  return StretchChecksum(bytes);
}

// What the file is against what it was when loaded or last saved; nullopt when it is the same.
std::optional<SaveConcern::Kind> ChangeSince(const SaveTarget& target, bool exists,
                                             const FileState& expected,
                                             const FileStretch& stretch) {
  if (!exists || !expected.Exists) {
    return exists == expected.Exists ? std::nullopt : std::optional(SaveConcern::ChangedOnDisk);
  }
  const FileState now = StateOf(target.Info, 0);
  if (now.Device != expected.Device || now.Inode != expected.Inode) {
    return SaveConcern::OtherFile;
  }
  if (now.Size != expected.Size || now.ModifiedNs != expected.ModifiedNs ||
      now.ChangedNs != expected.ChangedNs) {
    return SaveConcern::ChangedOnDisk;
  }
  // The stretch as it was read or written; its length matches the file's, checked above.
  const std::uint64_t from = std::min(stretch.Offset, now.Size);
  const std::uint64_t to =
      std::min(stretch.Offset + std::min(stretch.Length, kLargestSize), now.Size);
  if (DiskChecksum(target.File.Get(), from, std::max(from, to)) != expected.StretchSum) {
    return SaveConcern::ChangedOnDisk;
  }
  return std::nullopt;
}

// What a save does to the file, in file offsets, as its journal records it.
JournalEntry PlanSave(const SaveTarget& target, const FileStretch& stretch,
                      std::uint64_t newLength) {
  JournalEntry plan;
  plan.Device = target.Info.st_dev;
  plan.Inode = target.Info.st_ino;
  plan.Created = target.Created;
  plan.FormerSize = static_cast<std::uint64_t>(target.Info.st_size);
  const std::uint64_t start = stretch.Offset;
  const std::uint64_t stretchEnd = StretchEnd(stretch, plan.FormerSize);
  const std::uint64_t tailLength = plan.FormerSize > stretchEnd ? plan.FormerSize - stretchEnd : 0;
  if (start > kLargestSize - newLength || tailLength > kLargestSize - start - newLength) {
    throw SystemError(EFBIG);
  }
  plan.NewSize = start + newLength + tailLength;
  if (tailLength > 0 && start + newLength != stretchEnd) {
    plan.TailFrom = stretchEnd;
    plan.TailTo = start + newLength;
    plan.TailLength = tailLength;
  }
  plan.FileSystemId = target.Identity.FileSystemId;
  plan.Path = target.Identity.RealPath;
  return plan;
}

// The blocks where the new bytes differ from the disk (all of them when the tail moves, which
// rewrites everything from the start on), and the former bytes the save overwrites or cuts off.
// Both are compared a piece at a time.
void PlanWrites(int fd, JournalEntry& plan, std::uint64_t start, const NewBytes& bytes) {
  const std::uint64_t end = start + bytes.Size();
  if (plan.TailLength > 0) {
    if (bytes.Size() > 0) {
      plan.New.push_back({start, bytes.Size()});
    }
    if (start < plan.FormerSize) {
      plan.Old.push_back({start, plan.FormerSize - start});
    }
    return;
  }
  std::vector<std::uint8_t> disk;
  std::vector<std::uint8_t> buffer;
  // Pieces end on multiples of their size, which are block boundaries too.
  for (std::uint64_t piece = start; piece < end;) {
    const std::uint64_t pieceEnd = std::min(end, (piece / kCompared + 1) * kCompared);
    const auto length = static_cast<std::size_t>(pieceEnd - piece);
    const auto present = static_cast<std::size_t>(
        std::min<std::uint64_t>(length, plan.FormerSize > piece ? plan.FormerSize - piece : 0));
    disk.assign(length, 0);  // beyond the end the grown file reads zeros
    std::span<const std::uint8_t> fresh;
    if (!ReadAt(fd, disk.data(), present, piece) || !bytes.Piece(piece, length, buffer, fresh)) {
      throw ReadError(errno);
    }
    for (std::uint64_t from = piece; from < pieceEnd;) {
      const std::uint64_t to = std::min(pieceEnd, (from / kBlock + 1) * kBlock);
      const auto first = static_cast<std::ptrdiff_t>(from - piece);
      const auto last = static_cast<std::ptrdiff_t>(to - piece);
      if (!std::equal(disk.begin() + first, disk.begin() + last, fresh.begin() + first)) {
        if (!plan.New.empty() && plan.New.back().End() == from) {
          plan.New.back().Length += to - from;
        } else {
          plan.New.push_back({from, to - from});
        }
      }
      from = to;
    }
    piece = pieceEnd;
  }
  for (const Extent& extent : plan.New) {
    if (extent.Offset < plan.FormerSize) {
      plan.Old.push_back({extent.Offset, std::min(extent.End(), plan.FormerSize) - extent.Offset});
    }
  }
  if (plan.NewSize < plan.FormerSize) {
    plan.Old.push_back({plan.NewSize, plan.FormerSize - plan.NewSize});
  }
}

// Moves the bytes after the stretch to follow the new bytes: from the back when they move up,
// from the front when they move down, so that no byte is overwritten before it was copied.
void MoveTail(int fd, const JournalEntry& plan, const SaveProgress& progress) {
  InChunks(plan.TailLength, [&](std::uint8_t* buffer, std::size_t count, std::uint64_t done) {
    const std::uint64_t at = plan.TailTo > plan.TailFrom ? plan.TailLength - done - count : done;
    if (!ReadAt(fd, buffer, count, plan.TailFrom + at)) {
      throw ReadError(errno);
    }
    if (!WriteAt(fd, buffer, count, plan.TailTo + at)) {
      throw WriteError(errno);
    }
    if (progress) {
      progress(done + count, plan.TailLength);
    }
    return true;
  });
}

void WriteNewBytes(int fd, const JournalEntry& plan, const NewBytes& bytes) {
  std::uint64_t total = 0;
  for (const Extent& extent : plan.New) {
    total += extent.Length;
  }
  const std::uint64_t half = total / 2;
  std::uint64_t written = 0;
  std::vector<std::uint8_t> buffer;
  // New bytes that all lie in one block are written whole or not at all: the test build stops
  // before them.
  bool paused =
      !plan.New.empty() && plan.New.front().Offset / kBlock == (plan.New.back().End() - 1) / kBlock;
  if (paused) {
    PauseAt("save");
  }
  for (const Extent& extent : plan.New) {
    for (std::uint64_t done = 0; done < extent.Length;) {
      const std::uint64_t at = extent.Offset + done;
      std::uint64_t piece = std::min<std::uint64_t>(extent.Length - done, kChunk);
      // The test build can stop here with about half the new bytes written, cut at a block's
      // end as a kill can leave them.
      if (!paused && written + piece > half) {
        const std::uint64_t cut = (at + (half - written) + kBlock - 1) / kBlock * kBlock;
        piece = std::min(piece, std::max<std::uint64_t>(cut - at, 1));
      }
      std::span<const std::uint8_t> fresh;
      if (!bytes.Piece(at, static_cast<std::size_t>(piece), buffer, fresh)) {
        throw ReadError(errno);
      }
      if (!WriteAt(fd, fresh.data(), fresh.size(), at)) {
        throw WriteError(errno);
      }
      written += piece;
      done += piece;
      if (!paused && written >= half) {
        paused = true;
        PauseAt("save");
      }
    }
  }
}

// The save proper, once the journal holds what it overwrites: the length is set first when it
// grows (as a new file's would be), cut last when it shrinks.
void ApplySave(int fd, const JournalEntry& plan, const NewBytes& newBytes,
               const SaveProgress& progress) {
  if (plan.NewSize > plan.FormerSize &&
      Sys("ftruncate", [&] { return ::ftruncate(fd, static_cast<off_t>(plan.NewSize)); }) != 0) {
    throw SystemError(errno);
  }
  if (plan.TailLength > 0) {
    MoveTail(fd, plan, progress);
  }
  WriteNewBytes(fd, plan, newBytes);
  if (plan.NewSize < plan.FormerSize &&
      Sys("ftruncate", [&] { return ::ftruncate(fd, static_cast<off_t>(plan.NewSize)); }) != 0) {
    throw SystemError(errno);
  }
  if (Sys("fdatasync", [&] { return ::fdatasync(fd); }) != 0) {
    throw WriteError(errno);
  }
}

// Where this save may write its journal: the user's state folder (`own`, as the search for
// journals found it; made when missing), else beside the file.
std::vector<JournalPlace> WritePlaces(const SaveTarget& target, const SearchedFolder* own) {
  std::vector<JournalPlace> places;
  std::optional<JournalPlace> state = own != nullptr ? PlaceIn(*own, JournalName(target.Identity))
                                                     : StatePlace(target.Identity, true);
  if (state && state->Folder.IsOpen()) {
    places.push_back(std::move(*state));
    NoteStateFolderInUse();
  }
  const std::string& beside =
      target.Identity.RealPath.empty() ? target.Path : target.Identity.RealPath;
  if (auto place = BesidePlace(beside)) {
    places.push_back(std::move(*place));
  }
  return places;
}

// Before a save: what the file's last save left must not be in the way. A complete save's
// journal is removed; an interrupted one is rolled back, so that this save writes over the former
// file, never over a half-moved tail; one that no longer fits is set aside. Each is said in
// `notes`. What lbe cannot trust is left alone: a journal of this file in a folder it does not
// trust is named in `notes`; anything at the name this save needs makes it refuse later.
void ClearJournalsBeforeSave(std::string_view path, SaveTarget& target,
                             const std::vector<SearchedFolder>& folders,
                             std::vector<std::string>& notes) {
  for (const JournalPlace& place : JournalPlacesOf(target.Identity, target.Path, folders)) {
    const FoundJournal found = OpenJournal(place, &target.Identity);
    if (!found.Present || !found.Distrust.empty()) {
      continue;
    }
    if (!place.FolderDistrust.empty()) {
      notes.push_back("Left alone " + Shown(place.Shown()) + ", a journal of " + Shown(path) +
                      ": the state folder it is in cannot be trusted (" + place.FolderDistrust +
                      ").");
      continue;
    }
    const auto state = CompareWithJournal(target.File.Get(), found);
    if (!state) {
      throw ReadError(errno);
    }
    if (*state == FileVersusJournal::Changed) {
      const std::string aside = SetAside(place);
      if (aside.empty()) {
        throw JournalError("Cannot save " + Shown(path) + ": the journal " + Shown(place.Shown()) +
                           " cannot be set aside: " + PlatformErrorText(errno) + ".");
      }
      notes.push_back("The journal of an interrupted save of " + Shown(path) +
                      " no longer fits the file; it was set aside as " + Shown(aside) + ".");
      continue;
    }
    // A created file's former state is no bytes at all: cut to nothing, then written anew.
    if (*state == FileVersusJournal::Interrupted) {
      if (!PutBack(target.File.Get(), found)) {
        throw JournalError(PutBackError(path, place, errno));
      }
      notes.push_back("The last save of " + Shown(path) +
                      " was interrupted; the file was put back as it was before it.");
    }
    if (!place.Remove() ||
        Sys("fstat", [&] { return ::fstat(target.File.Get(), &target.Info); }) != 0) {
      throw JournalError(PutBackError(path, place, errno));
    }
    target.Identity.Info = target.Info;
  }
}

// Writes the plan's journal in the first place that takes it; that place.
JournalPlace& PutJournal(std::string_view path, std::vector<JournalPlace>& places,
                         const JournalEntry& plan, int fd, const NewBytes& newBytes,
                         const SaveProgress& progress, FileDescriptor& held) {
  std::string failures;
  for (JournalPlace& place : places) {
    if (WriteJournal(place, plan, fd, newBytes, progress, held)) {
      return place;
    }
    const int code = errno;
    if (code == EFBIG) {
      throw SystemError(code);  // the process's file size limit, which the file meets as well
    }
    if (code == EEXIST) {
      throw JournalError("Cannot save " + Shown(path) + ": " + Shown(place.Shown()) +
                         " is in the way; lbe does not overwrite what it did not write. Move it "
                         "away and save again.");
    }
    failures +=
        (failures.empty() ? "" : "; ") + Shown(place.Shown()) + ": " + PlatformErrorText(code);
  }
  throw JournalError("Cannot save " + Shown(path) + ": its journal cannot be written (" +
                     (failures.empty() ? std::string("no state folder, and no folder") : failures) +
                     ").");
}

// After a failed save: back to the former file at once, the journal made for it removed. When
// that fails too, the journal stays for the next load.
void UndoFailedSave(const SaveTarget& target, const JournalPlace* journal) {
  if (journal != nullptr) {
    const FoundJournal found = OpenJournal(*journal, &target.Identity);
    if (!found.Distrust.empty() || (!target.Created && !PutBack(target.File.Get(), found))) {
      return;
    }
    ::unlinkat(journal->Folder.Get(), journal->Name.c_str(), 0);
  }
  if (target.Created && target.Folder.IsOpen()) {
    ::unlinkat(target.Folder.Get(), target.Name.c_str(), 0);
  }
}

// Asks about `concern` when there is someone to ask; true: go on.
bool Asked(const SaveRequest& request, const SaveConcern& concern) {
  return !request.Ask || request.Ask(concern);
}

// The questions asked before anything is written or made, so that a no leaves no folder, and a
// pending journal of the file is settled only once the save goes ahead: has the file changed,
// will the rest of it move (`moves` gets the figures asked about). True: go on.
bool AskedBeforeWriting(const SaveTarget& target, bool exists, const SaveRequest& request,
                        std::uint64_t length, SaveConcern& moves) {
  if (request.Expected) {
    if (const auto change = ChangeSince(target, exists, *request.Expected, request.Stretch);
        change && !Asked(request, SaveConcern{*change})) {
      return false;
    }
  }
  if (exists) {
    const JournalEntry preview = PlanSave(target, request.Stretch, length);
    moves.RestBytes = preview.TailLength;
    moves.NewFileSize = preview.NewSize;
    if (preview.TailLength > 0 && !Asked(request, moves)) {
      return false;
    }
  }
  return true;
}

// What a save has under way while it journals and writes: where its journal went, once it did
// (for the undoing of a failure), and the journal held open and locked, which says the save is
// running.
struct SaveInFlight {
  std::vector<JournalPlace> Places;
  const JournalPlace* Journal = nullptr;
  FileDescriptor JournalHeld{-1};
};

// Writes the plan's journal, then the file, then removes the journal.
void JournalAndWrite(std::string_view path, const SaveTarget& target,
                     const std::vector<SearchedFolder>& folders, const JournalEntry& plan,
                     const NewBytes& newBytes, const SaveProgress& progress, SaveInFlight& flight) {
  // One count over both long steps: the former bytes into the journal, the tail moved.
  std::uint64_t journalled = 0;
  for (const Extent& extent : plan.Old) {
    journalled += extent.Length;
  }
  const std::uint64_t total = journalled + plan.TailLength;
  const auto report = [&](std::uint64_t before) -> SaveProgress {
    if (!progress) {
      return {};
    }
    return [&, before](std::uint64_t done, std::uint64_t) { progress(before + done, total); };
  };
  const auto own = std::find_if(folders.begin(), folders.end(),
                                [](const SearchedFolder& folder) { return folder.Own; });
  flight.Places = WritePlaces(target, own == folders.end() ? nullptr : &*own);
  flight.Journal = &PutJournal(path, flight.Places, plan, target.File.Get(), newBytes, report(0),
                               flight.JournalHeld);
  ApplySave(target.File.Get(), plan, newBytes, report(journalled));
  if (!flight.Journal->Remove()) {
    throw WriteError(errno);
  }
  flight.Journal = nullptr;
}

// A file the save created: its new name reaches the disk as the journal's did; a failure here
// loses no bytes.
void SyncCreated(const SaveTarget& target) {
  if (!target.Created) {
    return;
  }
  const FileDescriptor folder(
      target.Folder.IsOpen() ? ::openat(target.Folder.Get(), ".", O_RDONLY | O_CLOEXEC) : -1);
  ::fsync(target.File.Get());
  if (folder.IsOpen()) {
    ::fsync(folder.Get());
  }
}

// ReplaceStretch with the new bytes `bytes` (request.Bytes is not looked at). result.Now's
// StretchSum is left 0.
SaveResult Save(std::string_view path, const SaveRequest& request, const NewBytes& bytes) {
  const FileSizeSignalIgnored sizeSignalIgnored;
  SaveTarget target;
  const bool exists = OpenExisting(path, target, !request.Expected || !request.Expected->Exists);
  if (exists) {
    CreateAndLock(path, target, true);
  }
  SaveConcern moves{SaveConcern::MovesRest};
  if (!AskedBeforeWriting(target, exists, request, bytes.Size(), moves)) {
    return {};
  }
  // Outside the try: the failure handling below still needs the place of the journal.
  SaveInFlight flight;
  SaveResult result;
  try {
    if (!exists) {
      CreateAndLock(path, target, false);
    }
    const std::vector<SearchedFolder> folders = SearchedStateFolders();
    ClearJournalsBeforeSave(path, target, folders, result.Notes);
    JournalEntry plan = PlanSave(target, request.Stretch, bytes.Size());
    // A roll-back just now changed what moves: the figures asked about no longer hold.
    if (plan.TailLength > 0 &&
        (plan.TailLength != moves.RestBytes || plan.NewSize != moves.NewFileSize) &&
        !Asked(request, SaveConcern{SaveConcern::MovesRest, plan.TailLength, plan.NewSize})) {
      return result;
    }
    const std::uint64_t start = request.Stretch.Offset;
    PlanWrites(target.File.Get(), plan, start, bytes);
    if (!plan.New.empty() || plan.NewSize != plan.FormerSize) {
      JournalAndWrite(path, target, folders, plan, bytes, request.Progress, flight);
    }
  } catch (...) {
    UndoFailedSave(target, flight.Journal);
    throw;
  }
  SyncCreated(target);
  ::fstat(target.File.Get(), &target.Info);  // the times the save gave it
  result.Saved = true;
  result.Written = FileStretch{request.Stretch.Offset, bytes.Size(), request.Stretch.ToEnd};
  result.Now = StateOf(target.Info, 0);
  return result;
}

}  // namespace

SaveResult ReplaceStretch(std::string_view path, const SaveRequest& request) {
  SaveResult result = Save(path, request, NewBytes(request.Stretch.Offset, request.Bytes));
  if (result.Saved) {
    result.Now.StretchSum = StretchChecksum(request.Bytes);
  }
  return result;
}

FileStretch ReplaceStretch(std::string_view path, const FileStretch& stretch,
                           std::span<const std::uint8_t> bytes) {
  SaveRequest request;
  request.Stretch = stretch;
  request.Bytes = bytes;
  return ReplaceStretch(path, request).Written;
}

FileStretch ReplaceStretch(std::string_view path, const FileStretch& stretch, std::uint64_t length,
                           const ByteReader& read) {
  SaveRequest request;
  request.Stretch = stretch;
  return Save(path, request, NewBytes(stretch.Offset, length, read)).Written;
}

namespace {

// Undoes the interrupted save `found` describes on the file `target`, open and locked as `fd`,
// and removes the journal.
void RollBack(std::string_view path, const OpenedName& target, int fd, const FoundJournal& found,
              const JournalPlace& place) {
  bool putBack = false;
  if (found.Entry.Created) {
    // The save made the file: it goes, but only while the name still leads to that file.
    struct stat now {};
    struct stat open {};
    putBack = target.Folder.IsOpen() &&
              ::fstatat(target.Folder.Get(), target.Name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
              ::fstat(fd, &open) == 0 && now.st_dev == open.st_dev && now.st_ino == open.st_ino &&
              Sys("unlinkat",
                  [&] { return ::unlinkat(target.Folder.Get(), target.Name.c_str(), 0); }) == 0;
  } else {
    putBack = PutBack(fd, found);
  }
  if (!putBack || !place.Remove()) {
    throw JournalError(PutBackError(path, place, errno));
  }
}

// Settles one journal that lbe trusts, for the file `target` open (read-only) as `file`.
void SettleJournal(std::string_view path, const OpenedName& target, const FileDescriptor& file,
                   const FoundJournal& found, const JournalPlace& place, bool readOnly,
                   JournalReport& report) {
  const auto state = CompareWithJournal(file.Get(), found);
  if (!state) {
    throw JournalError(PutBackError(path, place, errno));
  }
  const std::string name = Shown(path);
  const std::string journal = Shown(place.Shown());
  if (readOnly) {
    if (*state == FileVersusJournal::Interrupted) {
      report.Interrupted = true;
      report.Lines.push_back("The last save of " + name + " was interrupted (its journal is " +
                             journal + "); open the file in lbe to put it back.");
    } else if (*state == FileVersusJournal::Changed) {
      report.Lines.push_back("The journal " + journal + " of an interrupted save of " + name +
                             " no longer fits the file, which has changed since.");
    }
    return;
  }
  if (*state == FileVersusJournal::Changed) {
    const std::string aside = SetAside(place);
    report.Lines.push_back(
        "The journal of an interrupted save of " + name +
        " no longer fits the file, which has changed since: nothing was put back" +
        (aside.empty() ? ", and the journal " + journal + " was left as it is."
                       : "; the journal was set aside as " + Shown(aside) + "."));
    return;
  }
  // Writing from here on: the same file again, for reading and writing.
  const std::string self = "/proc/self/fd/" + std::to_string(file.Get());
  FileDescriptor writable(Sys("open", [&] {
    return target.Folder.IsOpen() ? ::openat(target.Folder.Get(), target.Name.c_str(),
                                             O_RDWR | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC)
                                  : ::open(self.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  }));
  struct stat was {};
  struct stat now {};
  if (!writable.IsOpen() || ::fstat(file.Get(), &was) != 0 || ::fstat(writable.Get(), &now) != 0 ||
      was.st_ino != now.st_ino || was.st_dev != now.st_dev) {
    throw JournalError(PutBackError(path, place, writable.IsOpen() ? ESTALE : errno));
  }
  if (*state == FileVersusJournal::Saved) {
    if (Sys("fdatasync", [&] { return ::fdatasync(writable.Get()); }) != 0 || !place.Remove()) {
      throw JournalError(PutBackError(path, place, errno));
    }
    return;
  }
  RollBack(path, target, writable.Get(), found, place);
  report.RolledBack = true;
}

}  // namespace

// True when a journal lbe cannot use may still be one of the file's: nothing shows that the
// file is whole.
bool MayBePending(const FoundJournal& found) {
  return found.Distrust != "it was made for another file" &&
         found.Distrust != "it is not a journal of lbe";
}

JournalReport SettleJournals(std::string_view path, bool readOnly) {
  const FileSizeSignalIgnored sizeSignalIgnored;
  JournalReport report;
  // Reached as the load reaches it; a refused link is the load's to report.
  OpenedName target;
  if (!OpenRegularFile(path, O_RDONLY | O_NONBLOCK | O_NOCTTY, target, nullptr)) {
    return report;
  }
  const FileDescriptor file = std::move(target.File);
  FileIdentity identity;
  if (!IdentityOf(file.Get(), identity)) {
    return report;
  }
  std::string stateFolder;
  std::string refusal;
  const std::vector<SearchedFolder> folders = SearchedStateFolders(&refusal, &stateFolder);
  if (!refusal.empty()) {
    report.Lines.push_back("Left alone the state folder " + Shown(stateFolder) + ": " + refusal +
                           ", so journals go beside the files instead.");
  }
  bool locked = false;
  for (const JournalPlace& place : JournalPlacesOf(identity, std::string(path), folders)) {
    const FoundJournal found = OpenJournal(place, &identity);
    if (!found.Present) {
      continue;
    }
    if (!found.Distrust.empty()) {
      report.Lines.push_back("Left alone " + Shown(place.Shown()) + ": " + found.Distrust +
                             ", so it is no journal lbe can trust.");
      report.Unsettled = report.Unsettled || MayBePending(found);
      continue;
    }
    if (!place.FolderDistrust.empty()) {
      report.Lines.push_back("Left alone " + Shown(place.Shown()) + ", a journal of " +
                             Shown(path) + ": the state folder it is in cannot be trusted (" +
                             place.FolderDistrust +
                             "). Move it into your own state folder to have it settled.");
      report.Unsettled = true;
      continue;
    }
    // A lock held elsewhere is another lbe in the middle of its save: its journal is in use.
    if (!locked && Sys("flock", [&] {
                     return ::flock(file.Get(), (readOnly ? LOCK_SH : LOCK_EX) | LOCK_NB);
                   }) != 0) {
      throw OpenError(path, errno);
    }
    locked = true;
    SettleJournal(path, target, file, found, place, readOnly, report);
  }
  return report;
}

}  // namespace lbe::files
