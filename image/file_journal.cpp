#include "image/file_journal.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <limits>
#include <utility>
#include <vector>

#include "image/file_layer.h"

namespace lbe::image {

namespace {

namespace fs = std::filesystem;

// The journal: this header in its first block, then the former bytes of the region from
// kDataStart on. Chunks of zeros are left as holes, so a journal of a sparse file stays sparse.
constexpr std::array<char, 8> kMagic = {'L', 'B', 'E', 'J', 'R', 'N', 'L', '1'};
constexpr std::uint64_t kAbsent = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kDataStart = 128;  // room for the header
constexpr std::size_t kChunk = std::size_t{1} << 20;
constexpr std::uint64_t kLargestSize = std::numeric_limits<off_t>::max();

struct JournalHeader {
  std::array<char, 8> Magic{};
  std::uint64_t Device = 0;
  std::uint64_t Inode = 0;
  std::uint64_t FormerSize = 0;  // kAbsent: the save created the file
  std::uint64_t RegionOffset = 0;
  std::uint64_t RegionLength = 0;
  // What the save was to leave, so that a load can tell a save that was complete but for the
  // journal's removal: the new length, where the new bytes go, how many, their checksum, and
  // whether the bytes after the stretch moved (then nothing short of a roll-back is safe).
  std::uint64_t NewSize = 0;
  std::uint64_t NewOffset = 0;
  std::uint64_t NewLength = 0;
  std::uint64_t NewChecksum = 0;
  std::uint64_t TailMoves = 0;
  std::uint64_t Checksum = 0;  // FNV-1a over the fields above and the region's bytes
};

static_assert(sizeof(JournalHeader) <= kDataStart);

// FNV-1a taken over 8-byte words: a flip of any bit changes it, at an eighth of the cost of
// going byte by byte. Writer and reader feed it the same pieces in the same order.
struct Checksum {
  std::uint64_t Hash = 0xcbf29ce484222325u;
  void Add(const void* data, std::size_t count) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    for (; count >= 8; bytes += 8, count -= 8) {
      std::uint64_t word;
      std::memcpy(&word, bytes, 8);
      Hash = (Hash ^ word) * 0x100000001b3u;
    }
    for (; count > 0; --count) {
      Hash = (Hash ^ *bytes++) * 0x100000001b3u;
    }
  }
  void AddHeader(const JournalHeader& header) { Add(&header, offsetof(JournalHeader, Checksum)); }
};

FileCallHook callHook;
int callCount = 0;

// Runs one file-system call of a save, unless the test hook fails it.
template <typename Call>
auto Sys(Call call) -> decltype(call()) {
  if (callHook) {
    if (const int code = callHook(++callCount); code != 0) {
      errno = code;
      return -1;
    }
  }
  return call();
}

// All `count` bytes at `at`, each step through the test hook; false as MoveAll.
bool ReadAt(int fd, std::uint8_t* data, std::size_t count, std::uint64_t at) {
  return MoveAll(count, [&](std::size_t done) {
    return Sys(
        [&] { return ::pread(fd, data + done, count - done, static_cast<off_t>(at + done)); });
  });
}

bool WriteAt(int fd, const std::uint8_t* data, std::size_t count, std::uint64_t at) {
  return MoveAll(count, [&](std::size_t done) {
    return Sys(
        [&] { return ::pwrite(fd, data + done, count - done, static_cast<off_t>(at + done)); });
  });
}

// Runs `piece(buffer, count, done)` over `length` bytes taken in chunks of at most kChunk, the
// first `done` bytes being behind; `buffer` holds room for one chunk. False as soon as a piece is.
template <typename Piece>
bool InChunks(std::uint64_t length, Piece piece) {
  std::vector<std::uint8_t> buffer(std::min<std::uint64_t>(kChunk, length));
  for (std::uint64_t done = 0; done < length;) {
    const std::size_t count = std::min<std::uint64_t>(buffer.size(), length - done);
    if (!piece(buffer.data(), count, done)) {
      return false;
    }
    done += count;
  }
  return true;
}

// Adds the `length` bytes of the file at `at` to `sum`. False with errno set as ReadAt.
bool AddFileBytes(int fd, std::uint64_t at, std::uint64_t length, Checksum& sum) {
  return InChunks(length, [&](std::uint8_t* buffer, std::size_t count, std::uint64_t done) {
    if (!ReadAt(fd, buffer, count, at + done)) {
      return false;
    }
    sum.Add(buffer, count);
    return true;
  });
}

// On these file systems flushing a new file also makes its name in the folder durable (its
// creation is logged before the flush's commit), so a flush of the folder would only cost time.
bool NamesReachTheDiskWithTheirFile(int fd) {
  struct statfs info {};
  if (::fstatfs(fd, &info) != 0) {
    return false;
  }
  return info.f_type == EXT4_SUPER_MAGIC || info.f_type == XFS_SUPER_MAGIC ||
         info.f_type == BTRFS_SUPER_MAGIC;
}

void SyncFolderOf(const std::string& path) {
  const std::string parent = ParentOf(path);
  FileDescriptor folder(Sys([&] {
    return ::open(parent.empty() ? "." : parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  }));
  if (!folder.IsOpen() || Sys([&] { return ::fsync(folder.Get()); }) != 0) {
    throw WriteError(errno);
  }
}

// Makes the name of the new file `path`, open as `fd` and flushed, durable in its folder.
void SyncNewName(int fd, const std::string& path) {
  if (!NamesReachTheDiskWithTheirFile(fd)) {
    SyncFolderOf(path);
  }
}

// While a save writes: beyond the file size limit the kernel would otherwise end the program
// with the terminal still taken, instead of failing the call with its error.
class FileSizeSignalIgnored {
 public:
  FileSizeSignalIgnored() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGXFSZ, &ignore, &former_);
  }
  FileSizeSignalIgnored(const FileSizeSignalIgnored&) = delete;
  FileSizeSignalIgnored& operator=(const FileSizeSignalIgnored&) = delete;
  ~FileSizeSignalIgnored() { ::sigaction(SIGXFSZ, &former_, nullptr); }

 private:
  struct sigaction former_ {};
};

// For the real-terminal test that kills lbe in the middle of a save: LBE_TEST_PAUSE_IN_SAVE
// set to a number of seconds makes a save stop that long with half its new bytes written.
unsigned PauseInSaveSeconds() {
  static const unsigned seconds = [] {
    const char* text = std::getenv("LBE_TEST_PAUSE_IN_SAVE");
    return text == nullptr ? 0u : static_cast<unsigned>(std::strtoul(text, nullptr, 10));
  }();
  return seconds;
}

// What a save does to the file, in file offsets.
struct SavePlan {
  std::uint64_t Start = 0;       // where the new bytes go
  std::uint64_t NewLength = 0;   // how many there are
  std::uint64_t TailFrom = 0;    // where the bytes after the stretch begin now
  std::uint64_t TailLength = 0;  // how many there are
  std::uint64_t FormerSize = 0;
  std::uint64_t NewSize = 0;
  std::uint64_t JournalFrom = 0;  // the former bytes that the save overwrites or cuts off
  std::uint64_t JournalTo = 0;
  bool TailMoves() const { return TailLength > 0 && Start + NewLength != TailFrom; }
};

SavePlan PlanSave(const FileStretch& stretch, std::uint64_t newLength, std::uint64_t formerSize) {
  SavePlan plan;
  plan.Start = stretch.Offset;
  plan.NewLength = newLength;
  plan.FormerSize = formerSize;
  const std::uint64_t stretchEnd = stretch.ToEnd || stretch.Length > kLargestSize - stretch.Offset
                                       ? std::max(formerSize, stretch.Offset)
                                       : stretch.Offset + stretch.Length;
  plan.TailFrom = stretchEnd;
  plan.TailLength = formerSize > stretchEnd ? formerSize - stretchEnd : 0;
  if (plan.Start > kLargestSize - newLength ||
      plan.TailLength > kLargestSize - plan.Start - newLength) {
    throw SystemError(EFBIG);
  }
  plan.NewSize = plan.Start + newLength + plan.TailLength;
  // With the tail in place only the stretch changes; otherwise everything from the start on.
  const std::uint64_t changedTo =
      plan.TailLength > 0 && !plan.TailMoves() ? stretchEnd : formerSize;
  plan.JournalFrom = std::min(plan.Start, formerSize);
  plan.JournalTo = std::max(plan.JournalFrom, std::min(changedTo, formerSize));
  return plan;
}

// The file being saved, open for reading and writing under an exclusive lock.
struct SaveTarget {
  std::string Path;  // links followed
  FileDescriptor File{-1};
  bool Created = false;
  struct stat Info {};
};

void OpenSaveTarget(std::string_view path, SaveTarget& target) {
  CheckPath(path, false);
  target.Path = std::string(path);
  if (const int code = FollowLinks(target.Path); code != 0) {
    throw CreateError(path, code);
  }
  struct stat former {};
  if (::stat(target.Path.c_str(), &former) == 0) {
    // A FIFO or device is no file to write into: it could block, or be some device.
    if (!S_ISREG(former.st_mode)) {
      throw CreateError(path, S_ISDIR(former.st_mode) ? EISDIR : ENOTSUP);
    }
  }
  constexpr int kFlags = O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
  target.File.Reset(Sys([&] { return ::open(target.Path.c_str(), kFlags); }));
  if (!target.File.IsOpen() && errno == ENOENT) {
    target.File.Reset(
        Sys([&] { return ::open(target.Path.c_str(), kFlags | O_CREAT | O_EXCL, 0666); }));
    target.Created = target.File.IsOpen();
  }
  if (!target.File.IsOpen()) {
    throw CreateError(path, errno);
  }
  // Another lbe reading or saving this file holds a lock on it.
  if (Sys([&] { return ::flock(target.File.Get(), LOCK_EX | LOCK_NB); }) != 0 ||
      Sys([&] { return ::fstat(target.File.Get(), &target.Info); }) != 0) {
    throw CreateError(path, errno);
  }
}

bool FolderTakesNoFile(int code) {
  return code == EACCES || code == EPERM || code == EROFS || code == ENAMETOOLONG;
}

// Creates the journal of `target`, beside it or else in the state folder.
std::string CreateJournal(std::string_view path, const SaveTarget& target, FileDescriptor& file) {
  constexpr int kFlags = O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY;
  std::string name = JournalBeside(target.Path);
  file.Reset(Sys([&] { return ::open(name.c_str(), kFlags, 0600); }));
  if (!file.IsOpen() && FolderTakesNoFile(errno)) {
    const int besideError = errno;
    name = JournalInStateFolder(target.Info.st_dev, target.Info.st_ino);
    std::error_code ignored;
    if (!name.empty()) {
      fs::create_directories(ParentOf(name), ignored);
      file.Reset(Sys([&] { return ::open(name.c_str(), kFlags, 0600); }));
    }
    if (!file.IsOpen() && (name.empty() || errno == ENOENT)) {
      errno = besideError;  // no state folder either: the folder's own refusal tells more
    }
  }
  if (!file.IsOpen()) {
    throw CreateError(path, errno);
  }
  return name;
}

bool AllZero(const std::uint8_t* data, std::size_t count) {
  return std::all_of(data, data + count, [](std::uint8_t byte) { return byte == 0; });
}

JournalHeader MakeHeader(const SaveTarget& target, const SavePlan& plan,
                         std::span<const std::uint8_t> bytes) {
  JournalHeader header;
  header.Magic = kMagic;
  header.Device = target.Info.st_dev;
  header.Inode = target.Info.st_ino;
  header.FormerSize = target.Created ? kAbsent : plan.FormerSize;
  header.RegionOffset = plan.JournalFrom;
  header.RegionLength = plan.JournalTo - plan.JournalFrom;
  header.NewSize = plan.NewSize;
  header.NewOffset = plan.Start;
  header.NewLength = bytes.size();
  Checksum newBytes;
  newBytes.Add(bytes.data(), bytes.size());
  header.NewChecksum = newBytes.Hash;
  header.TailMoves = plan.TailMoves() ? 1 : 0;
  return header;
}

// Copies the region's former bytes from the file into the journal, leaving chunks of zeros as
// holes, and sets the journal's length where the last chunk left it short.
void CopyRegion(int fd, int journal, const JournalHeader& header, Checksum& sum) {
  bool lastWritten = true;
  InChunks(header.RegionLength, [&](std::uint8_t* buffer, std::size_t count, std::uint64_t done) {
    if (!ReadAt(fd, buffer, count, header.RegionOffset + done)) {
      throw ReadError(errno);
    }
    sum.Add(buffer, count);
    lastWritten = !AllZero(buffer, count);
    if (lastWritten && !WriteAt(journal, buffer, count, kDataStart + done)) {
      throw WriteError(errno);
    }
    return true;
  });
  const auto length = static_cast<off_t>(kDataStart + header.RegionLength);
  if (!lastWritten && Sys([&] { return ::ftruncate(journal, length); }) != 0) {
    throw SystemError(errno);
  }
}

// Writes the journal: the former bytes the plan overwrites, then the header that makes it
// valid; flushes it, and its name in its folder, to the disk.
void WriteJournal(const SaveTarget& target, const SavePlan& plan,
                  std::span<const std::uint8_t> bytes, const std::string& name, int journal) {
  JournalHeader header = MakeHeader(target, plan, bytes);
  Checksum sum;
  CopyRegion(target.File.Get(), journal, header, sum);
  sum.AddHeader(header);
  header.Checksum = sum.Hash;
  if (!WriteAt(journal, reinterpret_cast<const std::uint8_t*>(&header), sizeof header, 0) ||
      Sys([&] { return ::fdatasync(journal); }) != 0) {
    throw WriteError(errno);
  }
  SyncNewName(journal, name);
}

void CopyWithin(int fd, std::uint8_t* buffer, std::uint64_t from, std::uint64_t to,
                std::size_t count) {
  if (!ReadAt(fd, buffer, count, from)) {
    throw ReadError(errno);
  }
  if (!WriteAt(fd, buffer, count, to)) {
    throw WriteError(errno);
  }
}

// Moves the bytes after the stretch to follow the new bytes: from the back when they move up,
// from the front when they move down, so that no byte is overwritten before it was copied.
void MoveTail(int fd, const SavePlan& plan) {
  const std::uint64_t to = plan.Start + plan.NewLength;
  InChunks(plan.TailLength, [&](std::uint8_t* buffer, std::size_t count, std::uint64_t done) {
    const std::uint64_t at = to > plan.TailFrom ? plan.TailLength - done - count : done;
    CopyWithin(fd, buffer, plan.TailFrom + at, to + at, count);
    return true;
  });
}

void WriteNewBytes(int fd, const SavePlan& plan, std::span<const std::uint8_t> bytes) {
  std::size_t first = bytes.size();
  if (PauseInSaveSeconds() > 0) {
    first /= 2;
  }
  if (!WriteAt(fd, bytes.data(), first, plan.Start)) {
    throw WriteError(errno);
  }
  if (first < bytes.size()) {
    timespec pause{static_cast<time_t>(PauseInSaveSeconds()), 0};
    while (::nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
    if (!WriteAt(fd, bytes.data() + first, bytes.size() - first, plan.Start + first)) {
      throw WriteError(errno);
    }
  }
}

// The save proper, once the journal holds what it overwrites: the length is set first when it
// grows (as a new file's would be), cut last when it shrinks.
void ApplySave(int fd, const SavePlan& plan, std::span<const std::uint8_t> bytes) {
  if (plan.NewSize > plan.FormerSize &&
      Sys([&] { return ::ftruncate(fd, static_cast<off_t>(plan.NewSize)); }) != 0) {
    throw SystemError(errno);
  }
  if (plan.TailMoves()) {
    MoveTail(fd, plan);
  }
  WriteNewBytes(fd, plan, bytes);
  if (plan.NewSize < plan.FormerSize &&
      Sys([&] { return ::ftruncate(fd, static_cast<off_t>(plan.NewSize)); }) != 0) {
    throw SystemError(errno);
  }
  if (Sys([&] { return ::fdatasync(fd); }) != 0) {
    throw WriteError(errno);
  }
}

enum class JournalState { Complete, Incomplete, Unreadable };

// Reads the header and checks the whole journal against its checksum.
JournalState ReadJournal(int journal, JournalHeader& header) {
  if (!ReadAt(journal, reinterpret_cast<std::uint8_t*>(&header), sizeof header, 0)) {
    return errno == 0 ? JournalState::Incomplete : JournalState::Unreadable;
  }
  if (header.Magic != kMagic) {
    return JournalState::Incomplete;
  }
  Checksum sum;
  if (!AddFileBytes(journal, kDataStart, header.RegionLength, sum)) {
    return errno == 0 ? JournalState::Incomplete : JournalState::Unreadable;
  }
  sum.AddHeader(header);
  return sum.Hash == header.Checksum ? JournalState::Complete : JournalState::Incomplete;
}

// Puts the journal's former bytes and length back into the file. False with errno set.
// Writes `count` bytes at `at` only where the file differs from them, so that putting bytes
// back writes no further than the save got (a file size limit stops both at the same place).
bool WriteWhereDifferent(int fd, const std::uint8_t* wanted, std::size_t count, std::uint64_t at,
                         std::vector<std::uint8_t>& scratch) {
  std::size_t have = 0;
  while (have < count) {
    const ssize_t got = Sys([&] {
      return ::pread(fd, scratch.data() + have, count - have, static_cast<off_t>(at + have));
    });
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      return false;
    }
    if (got == 0) {
      break;  // the file ends here: the rest differs
    }
    have += static_cast<std::size_t>(got);
  }
  std::size_t first = 0;
  while (first < have && scratch[first] == wanted[first]) {
    ++first;
  }
  std::size_t last = count;
  while (have == count && last > first && scratch[last - 1] == wanted[last - 1]) {
    --last;
  }
  return first == last || WriteAt(fd, wanted + first, last - first, at + first);
}

bool PutBack(int fd, int journal, const JournalHeader& header) {
  std::vector<std::uint8_t> scratch(std::min<std::uint64_t>(kChunk, header.RegionLength));
  return InChunks(header.RegionLength,
                  [&](std::uint8_t* buffer, std::size_t count, std::uint64_t done) {
                    return ReadAt(journal, buffer, count, kDataStart + done) &&
                           WriteWhereDifferent(fd, buffer, count, header.RegionOffset + done,
                                               scratch);
                  }) &&
         Sys([&] { return ::ftruncate(fd, static_cast<off_t>(header.FormerSize)); }) == 0 &&
         Sys([&] { return ::fdatasync(fd); }) == 0;
}

enum class RollBack { Done, Finished, NotNeeded, NotThisFile };

// True when the file (`info` its status) already is what the save was to leave: its length and
// its new bytes, with no bytes moved behind them. Then only the journal's removal was missing.
bool SaveWasComplete(int fd, const struct stat& info, const JournalHeader& header) {
  if (header.TailMoves != 0 || header.FormerSize == kAbsent ||
      static_cast<std::uint64_t>(info.st_size) != header.NewSize) {
    return false;
  }
  Checksum sum;
  // Flushed again: the kill may have come before the save's own flush.
  return AddFileBytes(fd, header.NewOffset, header.NewLength, sum) &&
         sum.Hash == header.NewChecksum && Sys([&] { return ::fdatasync(fd); }) == 0;
}

// Undoes the save that `journalName` was written for on the open, locked file `targetPath`, or,
// with `mayFinish`, keeps it when only the journal's removal was missing. False with errno set
// when the file could not be put back; the journal then stays.
bool ApplyJournal(const std::string& journalName, const std::string& targetPath, int fd,
                  bool mayFinish, RollBack& outcome) {
  FileDescriptor journal(Sys([&] { return ::open(journalName.c_str(), O_RDONLY | O_CLOEXEC); }));
  if (!journal.IsOpen()) {
    return false;
  }
  JournalHeader header;
  const JournalState state = ReadJournal(journal.Get(), header);
  struct stat info {};
  if (state == JournalState::Unreadable || Sys([&] { return ::fstat(fd, &info); }) != 0) {
    return false;
  }
  outcome = RollBack::NotNeeded;  // never completed, so the file was never touched
  if (state == JournalState::Complete) {
    if (header.Device != static_cast<std::uint64_t>(info.st_dev) ||
        header.Inode != static_cast<std::uint64_t>(info.st_ino)) {
      outcome = RollBack::NotThisFile;
      return true;
    }
    outcome = RollBack::Done;
    if (mayFinish && SaveWasComplete(fd, info, header)) {
      outcome = RollBack::Finished;
      return Sys([&] { return ::unlink(journalName.c_str()); }) == 0;
    }
    const bool putBack = header.FormerSize == kAbsent
                             ? Sys([&] { return ::unlink(targetPath.c_str()); }) == 0
                             : PutBack(fd, journal.Get(), header);
    if (!putBack) {
      return false;
    }
  }
  return Sys([&] { return ::unlink(journalName.c_str()); }) == 0;
}

// After a failed save: back to the former file at once, the journal made for it removed.
void UndoFailedSave(const SaveTarget& target, const std::string& journalName, bool journalDone) {
  RollBack outcome = RollBack::NotNeeded;
  if (journalDone) {
    ApplyJournal(journalName, target.Path, target.File.Get(), false, outcome);
    return;  // when that failed, the journal stays for the next load
  }
  if (!journalName.empty()) {
    ::unlink(journalName.c_str());
  }
  if (target.Created) {
    ::unlink(target.Path.c_str());
  }
}

}  // namespace

void SetFileCallHook(FileCallHook hook) {
  callHook = std::move(hook);
  callCount = 0;
}

std::string JournalBeside(std::string_view target) {
  return std::string(target) + ".lbe-journal";
}

std::string JournalInStateFolder(std::uint64_t device, std::uint64_t inode) {
  std::string folder;
  if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && state[0] == '/') {
    folder = state;
  } else if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
    folder = std::string(home) + "/.local/state";
  } else {
    return {};
  }
  return folder + "/lbe/" + std::to_string(device) + "-" + std::to_string(inode) + ".lbe-journal";
}

FileStretch ReplaceStretch(std::string_view path, const FileStretch& stretch,
                           std::span<const std::uint8_t> bytes) {
  const FileSizeSignalIgnored sizeSignalIgnored;
  SaveTarget target;
  std::string journalName;
  bool journalDone = false;
  try {
    OpenSaveTarget(path, target);
    const SavePlan plan =
        PlanSave(stretch, bytes.size(), static_cast<std::uint64_t>(target.Info.st_size));
    FileDescriptor journal(-1);
    journalName = CreateJournal(path, target, journal);
    WriteJournal(target, plan, bytes, journalName, journal.Get());
    journalDone = true;
    ApplySave(target.File.Get(), plan, bytes);
    if (Sys([&] { return ::unlink(journalName.c_str()); }) != 0) {
      throw WriteError(errno);
    }
  } catch (...) {
    UndoFailedSave(target, journalName, journalDone);
    throw;
  }
  if (target.Created) {
    // The new name reaches the disk as the journal's did; a failure here loses no bytes.
    try {
      SyncNewName(target.File.Get(), target.Path);
    } catch (const FileError&) {
    }
  }
  return FileStretch{stretch.Offset, bytes.size(), stretch.ToEnd};
}

namespace {

// A journal left beside a file that is gone (if there is one): removed when it is of no use any
// more (never completed, or made for a file that its save created and its roll-back removed).
void RemoveJournalOfAMissingFile(const std::string& journalName) {
  FileDescriptor journal(::open(journalName.c_str(), O_RDONLY | O_CLOEXEC));
  JournalHeader header;
  if (!journal.IsOpen()) {
    return;
  }
  const JournalState state = ReadJournal(journal.Get(), header);
  if (state == JournalState::Incomplete ||
      (state == JournalState::Complete && header.FormerSize == kAbsent)) {
    ::unlink(journalName.c_str());
  }
}

}  // namespace

bool RollBackInterruptedSave(std::string_view path) {
  const FileSizeSignalIgnored sizeSignalIgnored;
  std::string target(path);
  if (FollowLinks(target) != 0) {
    return false;
  }
  struct stat info {};
  if (::stat(target.c_str(), &info) != 0) {
    RemoveJournalOfAMissingFile(JournalBeside(target));
    return false;
  }
  bool rolledBack = false;
  for (const std::string& journal :
       {JournalBeside(target), JournalInStateFolder(info.st_dev, info.st_ino)}) {
    if (journal.empty() || ::access(journal.c_str(), F_OK) != 0) {
      continue;
    }
    constexpr int kFlags = O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
    FileDescriptor file(Sys([&] { return ::open(target.c_str(), kFlags); }));
    RollBack outcome = RollBack::NotNeeded;
    // A lock held elsewhere is another lbe in the middle of its save: its journal is in use.
    if (!file.IsOpen() || Sys([&] { return ::flock(file.Get(), LOCK_EX | LOCK_NB); }) != 0 ||
        !ApplyJournal(journal, target, file.Get(), true, outcome)) {
      throw OpenError(path, errno);
    }
    rolledBack = rolledBack || outcome == RollBack::Done;
  }
  return rolledBack;
}

}  // namespace lbe::image
