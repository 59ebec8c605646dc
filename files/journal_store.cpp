#include "files/journal_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/file.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>

#include "files/state_folder.h"

namespace lbe::files {

namespace {

// The journal: this header, the file's path, the tables of the Old and New extents (offset and
// length, 16 bytes each); from the next 4 KiB boundary the former bytes of the Old extents one
// after another, then the new bytes of the New extents. Chunks of zeros among the former bytes
// are left as holes, so a journal of a sparse file stays sparse. The checksum covers every byte
// of the journal, its own field taken as zero.
constexpr std::array<char, 8> kMagic = {'L', 'B', 'E', 'J', 'R', 'N', 'L', '4'};
// Journals of the two versions before, still read, whose checksum is FormerJournalSum: the one
// before has this header, the one before that a header that ends at its checksum (no file system
// id).
constexpr std::array<char, 8> kSumFormerMagic = {'L', 'B', 'E', 'J', 'R', 'N', 'L', '3'};
constexpr std::array<char, 8> kFormerMagic = {'L', 'B', 'E', 'J', 'R', 'N', 'L', '2'};
constexpr std::uint64_t kLargestSize = std::numeric_limits<off_t>::max();
constexpr std::uint64_t kLongestPath = 4096;
constexpr std::uint64_t kDataAlignment = 4096;

struct JournalHeader {
  std::array<char, 8> Magic{};
  std::uint64_t Device = 0;
  std::uint64_t Inode = 0;
  std::uint64_t Created = 0;
  std::uint64_t FormerSize = 0;
  std::uint64_t NewSize = 0;
  std::uint64_t TailFrom = 0;
  std::uint64_t TailTo = 0;
  std::uint64_t TailLength = 0;
  std::uint64_t OldCount = 0;
  std::uint64_t NewCount = 0;
  std::uint64_t PathLength = 0;
  std::uint64_t Checksum = 0;
  std::uint64_t FileSystemId = 0;
};
constexpr std::size_t kChecksumAt = offsetof(JournalHeader, Checksum);
constexpr std::size_t kFormerHeaderSize = offsetof(JournalHeader, FileSystemId);

// The checksum of the journals of the versions before (kSumFormerMagic, kFormerMagic), kept only
// so that a save they hold can still be rolled back: FNV-1a over 8-byte words, whose changes in
// the words' high bits can cancel out, and which no journal is written with any more.
class FormerJournalSum {
 public:
  void Add(const std::uint8_t* bytes, std::size_t count) {
    for (; count > 0; --count) {
      word_[pending_++] = *bytes++;
      if (pending_ == 8) {
        hash_ = (hash_ ^ Word()) * kPrime;
        pending_ = 0;
      }
    }
  }
  std::uint64_t Value() const {
    std::uint64_t hash = hash_;
    for (std::size_t i = 0; i < pending_; ++i) {
      hash = (hash ^ word_[i]) * kPrime;
    }
    return hash;
  }

 private:
  static constexpr std::uint64_t kPrime = 0x100000001b3u;
  std::uint64_t Word() const {
    std::uint64_t word;
    std::memcpy(&word, word_.data(), 8);
    return word;
  }
  std::uint64_t hash_ = 0xcbf29ce484222325u;
  std::array<std::uint8_t, 8> word_{};
  std::size_t pending_ = 0;
};

// The checksum of a journal's bytes, each read in pieces by `read(add)`, by its version's rule.
template <typename Read>
std::uint64_t JournalSum(bool former, Read read) {
  Checksum sum;
  FormerJournalSum formerSum;
  read([&](const std::uint8_t* bytes, std::size_t count) {
    if (former) {
      formerSum.Add(bytes, count);
    } else {
      sum.Add(bytes, count);
    }
  });
  return former ? formerSum.Value() : sum.Value();
}

std::uint64_t Total(const std::vector<Extent>& extents) {
  std::uint64_t total = 0;
  for (const Extent& extent : extents) {
    total += extent.Length;
  }
  return total;
}

std::uint64_t RoundUp(std::uint64_t value, std::uint64_t unit) {
  return (value + unit - 1) / unit * unit;
}

// The header, path and tables of `entry`, the checksum field zero, padded to where the data
// starts.
std::vector<std::uint8_t> Prefix(const JournalEntry& entry) {
  JournalHeader header;
  header.Magic = kMagic;
  header.Device = entry.Device;
  header.Inode = entry.Inode;
  header.Created = entry.Created ? 1 : 0;
  header.FormerSize = entry.FormerSize;
  header.NewSize = entry.NewSize;
  header.TailFrom = entry.TailFrom;
  header.TailTo = entry.TailTo;
  header.TailLength = entry.TailLength;
  header.OldCount = entry.Old.size();
  header.NewCount = entry.New.size();
  header.PathLength = entry.Path.size();
  header.FileSystemId = entry.FileSystemId;
  std::vector<std::uint8_t> prefix(sizeof header);
  std::memcpy(prefix.data(), &header, sizeof header);
  prefix.insert(prefix.end(), entry.Path.begin(), entry.Path.end());
  for (const auto* table : {&entry.Old, &entry.New}) {
    for (const Extent& extent : *table) {
      const std::array<std::uint64_t, 2> row{extent.Offset, extent.Length};
      const auto* bytes = reinterpret_cast<const std::uint8_t*>(row.data());
      prefix.insert(prefix.end(), bytes, bytes + sizeof row);
    }
  }
  prefix.resize(RoundUp(prefix.size(), kDataAlignment));
  return prefix;
}

// The bytes of a hole read back as zeros, and a gigabyte of them is no rarity: compared by the
// library's memcmp, each byte against the one before it, at the speed of memory.
bool AllZero(const std::uint8_t* data, std::size_t count) {
  return count == 0 || (data[0] == 0 && std::memcmp(data, data + 1, count - 1) == 0);
}

// On these file systems flushing a file also makes its name in the folder durable (the link is
// logged before the flush's commit), so a flush of the folder would only cost time.
bool NamesReachTheDiskWithTheirFile(int fd) {
  struct statfs info {};
  if (::fstatfs(fd, &info) != 0) {
    return false;
  }
  return info.f_type == EXT4_SUPER_MAGIC || info.f_type == XFS_SUPER_MAGIC ||
         info.f_type == BTRFS_SUPER_MAGIC;
}

// Writes the whole journal into the open, still unnamed (or privately named) file `journal`.
// False, with errno kept when a call set it, else `fallback` (a read that met the end early).
bool Failed(int fallback) {
  errno = errno != 0 ? errno : fallback;
  return false;
}

bool FillJournal(int journal, const JournalEntry& entry, int file, const NewBytes& newBytes,
                 const SaveProgress& progress) {
  std::vector<std::uint8_t> prefix = Prefix(entry);
  Checksum sum;
  sum.Add(prefix.data(), prefix.size());
  if (!WriteAt(journal, prefix.data(), prefix.size(), 0)) {
    return Failed(EIO);
  }
  std::uint64_t at = prefix.size();
  const std::uint64_t oldTotal = Total(entry.Old);
  std::uint64_t copied = 0;
  for (const Extent& extent : entry.Old) {
    const bool copiedAll =
        InChunks(extent.Length, [&](std::uint8_t* buffer, std::size_t count, std::uint64_t done) {
          if (!ReadAt(file, buffer, count, extent.Offset + done)) {
            return false;
          }
          sum.Add(buffer, count);
          if (!AllZero(buffer, count) && !WriteAt(journal, buffer, count, at + done)) {
            return false;
          }
          copied += count;
          if (progress) {
            progress(copied, oldTotal);
          }
          return true;
        });
    if (!copiedAll) {
      return Failed(EIO);
    }
    at += extent.Length;
  }
  std::vector<std::uint8_t> buffer;
  for (const Extent& extent : entry.New) {
    for (std::uint64_t done = 0; done < extent.Length;) {
      const auto count =
          static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, extent.Length - done));
      std::span<const std::uint8_t> piece;
      if (!newBytes.Piece(extent.Offset + done, count, buffer, piece) ||
          !WriteAt(journal, piece.data(), piece.size(), at)) {
        return Failed(EIO);
      }
      sum.Add(piece.data(), piece.size());
      at += count;
      done += count;
    }
  }
  if (Sys("ftruncate", [&] { return ::ftruncate(journal, static_cast<off_t>(at)); }) != 0) {
    return Failed(EIO);
  }
  const std::uint64_t checksum = sum.Value();
  if (!WriteAt(journal, reinterpret_cast<const std::uint8_t*>(&checksum), sizeof checksum,
               kChecksumAt) ||
      Sys("fdatasync", [&] { return ::fdatasync(journal); }) != 0) {
    return Failed(EIO);
  }
  return true;
}

// Gives the complete journal open as `journal` its name, never over anything at it. False with
// errno set.
bool LinkJournal(const JournalPlace& place, int journal, const std::string& privateName) {
  int result = 0;
  if (privateName.empty()) {
    const std::string self = "/proc/self/fd/" + std::to_string(journal);
    result = Sys("linkat", [&] {
      return ::linkat(AT_FDCWD, self.c_str(), place.Folder.Get(), place.Name.c_str(),
                      AT_SYMLINK_FOLLOW);
    });
  } else {
    result = Sys("linkat", [&] {
      return ::linkat(place.Folder.Get(), privateName.c_str(), place.Folder.Get(),
                      place.Name.c_str(), 0);
    });
  }
  if (result != 0) {
    return false;
  }
  // The name must be on the disk before the file's first byte changes.
  const bool synced = NamesReachTheDiskWithTheirFile(journal)
                          ? Sys("fsync", [&] { return ::fsync(journal); }) == 0
                          : Sys("fsync", [&] { return ::fsync(place.Folder.Get()); }) == 0;
  if (!synced) {
    const int code = errno;
    ::unlinkat(place.Folder.Get(), place.Name.c_str(), 0);
    errno = code;
    return false;
  }
  return true;
}

}  // namespace

namespace {

bool SortedApartWithin(const std::vector<Extent>& extents, std::uint64_t limit) {
  std::uint64_t end = 0;
  for (const Extent& extent : extents) {
    if (extent.Length == 0 || extent.Offset < end || extent.Offset > limit ||
        extent.Length > limit - extent.Offset) {
      return false;
    }
    end = extent.End();
  }
  return true;
}

// True when every byte of [from, to) below `below` lies in one of `extents`.
bool Covers(const std::vector<Extent>& extents, std::uint64_t from, std::uint64_t to,
            std::uint64_t below) {
  to = std::min(to, below);
  for (const Extent& extent : extents) {
    if (from >= to) {
      return true;
    }
    if (extent.End() <= from) {
      continue;
    }
    if (extent.Offset > from) {
      return false;
    }
    from = extent.End();
  }
  return from >= to;
}

// True when the entry describes a save lbe could have made: sizes in range, extents sorted
// and apart, and the former bytes of everything that save changes, or reads to move, at hand.
bool Consistent(const JournalEntry& r) {
  if (r.FormerSize > kLargestSize || r.NewSize > kLargestSize || (r.Created && r.FormerSize != 0) ||
      !SortedApartWithin(r.Old, r.FormerSize) || !SortedApartWithin(r.New, r.NewSize) ||
      r.TailFrom > r.FormerSize || r.TailLength > r.FormerSize - r.TailFrom ||
      r.TailTo > r.NewSize || r.TailLength > r.NewSize - r.TailTo) {
    return false;
  }
  const auto covered = [&](std::uint64_t from, std::uint64_t to) {
    return Covers(r.Old, from, to, r.FormerSize);
  };
  if (!covered(r.NewSize, r.FormerSize) || !covered(r.TailFrom, r.TailFrom + r.TailLength) ||
      !covered(r.TailTo, r.TailTo + r.TailLength)) {
    return false;
  }
  return std::all_of(r.New.begin(), r.New.end(),
                     [&](const Extent& e) { return covered(e.Offset, e.End()); });
}

constexpr std::string_view kNoJournal = "it is not a journal of lbe";

// The entry's figures from the header: the mirror of Prefix.
void FromHeader(const JournalHeader& header, JournalEntry& entry) {
  entry.Device = header.Device;
  entry.Inode = header.Inode;
  entry.FileSystemId = header.FileSystemId;
  entry.Created = header.Created != 0;
  entry.FormerSize = header.FormerSize;
  entry.NewSize = header.NewSize;
  entry.TailFrom = header.TailFrom;
  entry.TailTo = header.TailTo;
  entry.TailLength = header.TailLength;
}

// Reads the path and the extent tables after the header (`headerSize` bytes) of a journal of
// `size` bytes into `entry`; the length of header, path and tables, or 0 when they do not fit.
std::uint64_t ReadPathAndTables(int fd, const JournalHeader& header, std::size_t headerSize,
                                std::uint64_t size, JournalEntry& entry) {
  const std::uint64_t tables = (header.OldCount + header.NewCount) * 16;
  if (headerSize + header.PathLength + tables > size) {
    return 0;
  }
  std::vector<std::uint8_t> prefix(headerSize + header.PathLength + tables);
  if (!ReadAt(fd, prefix.data(), prefix.size(), 0)) {
    return 0;
  }
  const auto* path = reinterpret_cast<const char*>(prefix.data() + headerSize);
  entry.Path.assign(path, header.PathLength);
  const std::uint8_t* row = prefix.data() + headerSize + header.PathLength;
  for (std::uint64_t i = 0; i < header.OldCount + header.NewCount; ++i, row += 16) {
    Extent extent;
    std::memcpy(&extent.Offset, row, 8);
    std::memcpy(&extent.Length, row + 8, 8);
    (i < header.OldCount ? entry.Old : entry.New).push_back(extent);
  }
  return prefix.size();
}

// Where each extent's bytes stand, from the 4 KiB boundary after the prefix on; false unless they
// fill the journal's `size` bytes exactly.
bool PlaceExtentBytes(std::uint64_t prefixSize, std::uint64_t size, FoundJournal& found) {
  std::uint64_t at = RoundUp(prefixSize, kDataAlignment);
  for (const auto& [extents, starts] :
       {std::pair{&found.Entry.Old, &found.OldAt}, std::pair{&found.Entry.New, &found.NewAt}}) {
    for (const Extent& extent : *extents) {
      if (extent.Length > size - std::min(at, size)) {
        return false;  // more bytes than the journal holds
      }
      starts->push_back(at);
      at += extent.Length;
    }
  }
  return at == size;
}

// Whether the `size` bytes of the journal match its `checksum`, by its version's rule; empty
// reason when they do.
std::string CheckJournalSum(int fd, std::uint64_t size, bool formerSum, std::uint64_t checksum) {
  bool read = false;
  const std::uint64_t sum = JournalSum(formerSum, [&](const auto& add) {
    read = InChunks(size, [&](std::uint8_t* buffer, std::size_t count, std::uint64_t done) {
      if (!ReadAt(fd, buffer, count, done)) {
        return false;
      }
      if (done == 0) {
        std::memset(buffer + kChecksumAt, 0, sizeof checksum);
      }
      add(buffer, count);
      return true;
    });
  });
  if (!read) {
    return "it cannot be read: " + PlatformErrorText(errno != 0 ? errno : EIO);
  }
  return sum == checksum ? "" : "its checksum does not match";
}

// Reads and checks the journal's header and tables, and with `whole` its length and checksum;
// empty reason when they are sound.
std::string ReadEntry(int fd, FoundJournal& found, bool whole) {
  struct stat info {};
  JournalHeader header;
  if (::fstat(fd, &info) != 0 ||
      !ReadAt(fd, reinterpret_cast<std::uint8_t*>(&header), sizeof header, 0)) {
    return std::string(kNoJournal);
  }
  const auto size = static_cast<std::uint64_t>(info.st_size);
  std::size_t headerSize = sizeof header;
  const bool formerSum = header.Magic == kSumFormerMagic || header.Magic == kFormerMagic;
  if (header.Magic == kFormerMagic) {
    headerSize = kFormerHeaderSize;
    header.FileSystemId = 0;  // that version's path begins here
  }
  if ((header.Magic != kMagic && !formerSum) || header.PathLength > kLongestPath ||
      header.OldCount > size / 16 || header.NewCount > size / 16) {
    return std::string(kNoJournal);
  }
  FromHeader(header, found.Entry);
  const std::uint64_t prefixSize = ReadPathAndTables(fd, header, headerSize, size, found.Entry);
  if (prefixSize == 0 || !Consistent(found.Entry) || !PlaceExtentBytes(prefixSize, size, found)) {
    return std::string(kNoJournal);
  }
  return whole ? CheckJournalSum(fd, size, formerSum, header.Checksum) : std::string();
}

// Reads the bytes of [from, from + count) that `extents` hold (their data at `starts` in the
// journal) into `out`; the others stay as they are.
bool ReadFromExtents(int journal, const std::vector<Extent>& extents,
                     const std::vector<std::uint64_t>& starts, std::uint64_t from,
                     std::size_t count, std::uint8_t* out) {
  const std::uint64_t to = from + count;
  auto extent = std::upper_bound(extents.begin(), extents.end(), from,
                                 [](std::uint64_t at, const Extent& e) { return at < e.End(); });
  for (; extent != extents.end() && extent->Offset < to; ++extent) {
    const std::uint64_t a = std::max(from, extent->Offset);
    const std::uint64_t b = std::min(to, extent->End());
    const std::uint64_t data = starts[static_cast<std::size_t>(extent - extents.begin())];
    if (!ReadAt(journal, out + (a - from), static_cast<std::size_t>(b - a),
                data + (a - extent->Offset))) {
      return false;
    }
  }
  return true;
}

// Marks in `mask` the bytes of [from, from + count) that `extents` hold.
void MarkExtents(const std::vector<Extent>& extents, std::uint64_t from, std::size_t count,
                 std::vector<bool>& mask) {
  const std::uint64_t to = from + count;
  for (const Extent& extent : extents) {
    for (std::uint64_t at = std::max(from, extent.Offset); at < std::min(to, extent.End()); ++at) {
      mask[static_cast<std::size_t>(at - from)] = true;
    }
  }
}

// Whether the new bytes stand as the save's own writes could have left them. The save writes
// whole 4 KiB blocks, so in each block its changed bytes are all former or all new, except where
// a write was torn at a 512-byte sector: then the new sectors are a run at one end of the block.
// Another writer who set some of those bytes to the same values leaves a mix no save leaves.
class WriteShape {
 public:
  // The byte at `at` of the New extents, which the save changes, holds its new value or, with
  // `isNew` false, its former one; in increasing order of `at`. False once the shape is broken.
  bool Note(std::uint64_t at, bool isNew) {
    if (at / kBlockSize != block_) {
      if (!BlockFits()) {
        return false;
      }
      block_ = at / kBlockSize;
      sectors_.fill(kNone);
    }
    std::uint8_t& sector = sectors_[static_cast<std::size_t>(at % kBlockSize / kSectorSize)];
    const std::uint8_t state = isNew ? kNew : kFormer;
    if (sector != kNone && sector != state) {
      return false;
    }
    sector = state;
    return true;
  }
  bool Finish() const { return BlockFits(); }

 private:
  static constexpr std::uint64_t kBlockSize = 4096;
  static constexpr std::uint64_t kSectorSize = 512;
  static constexpr std::uint8_t kNone = 0, kFormer = 1, kNew = 2;
  bool BlockFits() const {
    int changes = 0;
    std::uint8_t last = kNone;
    for (const std::uint8_t sector : sectors_) {
      if (sector != kNone) {
        changes += last != kNone && sector != last ? 1 : 0;
        last = sector;
      }
    }
    return changes <= 1;
  }
  std::uint64_t block_ = std::numeric_limits<std::uint64_t>::max();
  std::array<std::uint8_t, kBlockSize / kSectorSize> sectors_{};
};

// The stretches of the file that a save described by `r` can change, sorted and merged.
std::vector<Extent> Touched(const JournalEntry& r) {
  std::vector<Extent> all = r.Old;
  all.insert(all.end(), r.New.begin(), r.New.end());
  if (r.TailLength > 0) {
    all.push_back({r.TailTo, r.TailLength});
  }
  std::sort(all.begin(), all.end(),
            [](const Extent& a, const Extent& b) { return a.Offset < b.Offset; });
  std::vector<Extent> merged;
  for (const Extent& extent : all) {
    if (!merged.empty() && extent.Offset <= merged.back().End()) {
      merged.back().Length = std::max(merged.back().End(), extent.End()) - merged.back().Offset;
    } else {
      merged.push_back(extent);
    }
  }
  return merged;
}

}  // namespace

namespace {

std::string Hex16(std::uint64_t value) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
  return text;
}

}  // namespace

bool IdentityOf(int fd, FileIdentity& identity) {
  if (::fstat(fd, &identity.Info) != 0) {
    return false;
  }
  struct statfs system {};
  identity.FileSystemId = 0;
  if (::fstatfs(fd, &system) == 0) {
    std::uint32_t halves[2];
    static_assert(sizeof halves == sizeof system.f_fsid);
    std::memcpy(halves, &system.f_fsid, sizeof halves);
    identity.FileSystemId = std::uint64_t{halves[1]} << 32 | halves[0];
  }
  // The kernel's own name for the open file: links and ".." resolved as it resolved them.
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  std::string path(kLongestPath + 1, '\0');
  const ssize_t length = ::readlink(self.c_str(), path.data(), path.size());
  identity.RealPath.clear();
  if (length > 0 && static_cast<std::size_t>(length) <= kLongestPath && path.front() == '/' &&
      !std::string_view(path.data(), static_cast<std::size_t>(length)).ends_with(" (deleted)")) {
    identity.RealPath.assign(path.data(), static_cast<std::size_t>(length));
  }
  return true;
}

bool EntryIsFor(const JournalEntry& entry, const FileIdentity& file) {
  const auto device = static_cast<std::uint64_t>(file.Info.st_dev);
  const auto inode = static_cast<std::uint64_t>(file.Info.st_ino);
  if (entry.Inode != inode) {
    return false;  // another file, whatever else agrees (a copy put back at the name)
  }
  // No one number is enough: two disks can take the same device number in turn, and a cloned
  // disk has the same file system id. Each way of finding the file needs a second witness.
  const bool idsAgree =
      entry.FileSystemId == 0 || file.FileSystemId == 0 || entry.FileSystemId == file.FileSystemId;
  const bool sameFileSystemId = entry.FileSystemId != 0 && entry.FileSystemId == file.FileSystemId;
  const bool samePath = !entry.Path.empty() && entry.Path == file.RealPath;
  return (entry.Device == device && idsAgree) || (sameFileSystemId && samePath) ||
         (samePath && (entry.FileSystemId == 0 || file.FileSystemId == 0));
}

std::string JournalName(const FileIdentity& file) {
  if (file.FileSystemId != 0) {
    return "fs-" + Hex16(file.FileSystemId) + "-" + std::to_string(file.Info.st_ino) +
           ".lbe-journal";
  }
  return std::to_string(file.Info.st_dev) + "-" + std::to_string(file.Info.st_ino) + ".lbe-journal";
}

std::vector<std::string> JournalNamesOf(const FileIdentity& file) {
  std::vector<std::string> names;
  const std::string byDevice =
      std::to_string(file.Info.st_dev) + "-" + std::to_string(file.Info.st_ino) + ".lbe-journal";
  for (const std::string& name : {JournalName(file), byDevice}) {
    if (std::find(names.begin(), names.end(), name) == names.end()) {
      names.push_back(name);
      names.push_back(name + std::string(kUnclaimed));
    }
  }
  return names;
}

JournalPlace PlaceIn(const SearchedFolder& folder, std::string name) {
  JournalPlace place;
  place.Folder.Reset(::fcntl(folder.Folder.Get(), F_DUPFD_CLOEXEC, 0));
  place.FolderPath = folder.Path;
  place.Name = std::move(name);
  place.FolderDistrust = folder.Distrust;
  return place;
}

std::optional<JournalPlace> StatePlace(const FileIdentity& file, bool create) {
  SearchedFolder own;
  own.Folder = OpenStateFolder(create, own.Path);
  if (!own.Folder.IsOpen()) {
    return std::nullopt;
  }
  return PlaceIn(own, JournalName(file));
}

std::optional<JournalPlace> BesidePlace(const std::string& target) {
  JournalPlace place;
  const std::string parent = ParentOf(target);
  place.Folder.Reset(
      ::open(parent.empty() ? "." : parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!place.Folder.IsOpen()) {
    return std::nullopt;
  }
  place.FolderPath = parent.empty() ? "" : parent.ends_with('/') ? parent : parent + "/";
  place.Name =
      target.substr(parent.empty() ? 0 : parent.size() + (parent == "/" ? 0 : 1)) + ".lbe-journal";
  return place;
}

std::vector<JournalPlace> JournalPlacesOf(const FileIdentity& file, const std::string& target) {
  return JournalPlacesOf(file, target, SearchedStateFolders());
}

std::vector<JournalPlace> JournalPlacesOf(const FileIdentity& file, const std::string& target,
                                          const std::vector<SearchedFolder>& folders) {
  std::vector<JournalPlace> places;
  const std::vector<std::string> names = JournalNamesOf(file);
  for (const SearchedFolder& searched : folders) {
    for (const std::string& name : names) {
      struct stat info {};
      if (::fstatat(searched.Folder.Get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        continue;  // nothing at this name: OpenJournal is spared an open
      }
      places.push_back(PlaceIn(searched, name));
    }
  }
  // Beside the file: where the name led, and where the kernel says the file is.
  std::vector<std::pair<dev_t, ino_t>> besideFolders;
  for (const std::string& path : {target, file.RealPath}) {
    struct stat folder {};
    auto place = path.empty() ? std::nullopt : BesidePlace(path);
    if (!place || ::fstat(place->Folder.Get(), &folder) != 0) {
      continue;
    }
    const bool seen = std::any_of(places.begin(), places.end(), [&](const JournalPlace& p) {
      struct stat other {};
      return p.Name == place->Name && ::fstat(p.Folder.Get(), &other) == 0 &&
             other.st_dev == folder.st_dev && other.st_ino == folder.st_ino;
    });
    if (!seen) {
      places.push_back(std::move(*place));
    }
  }
  return places;
}

bool NewBytes::Piece(std::uint64_t at, std::size_t count, std::vector<std::uint8_t>& buffer,
                     std::span<const std::uint8_t>& piece) const {
  if (read_ == nullptr) {
    piece = inMemory_.subspan(static_cast<std::size_t>(at - start_), count);
    return true;
  }
  buffer.resize(count);
  piece = buffer;
  return (*read_)(at - start_, buffer);
}

bool WriteJournal(const JournalPlace& place, const JournalEntry& entry, int file,
                  const NewBytes& newBytes, const SaveProgress& progress, FileDescriptor& held) {
  constexpr int kFlags = O_RDWR | O_CLOEXEC | O_NOCTTY;
  FileDescriptor journal(
      Sys("open", [&] { return ::openat(place.Folder.Get(), ".", O_TMPFILE | kFlags, 0600); }));
  std::string privateName;
  if (!journal.IsOpen() && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    // No unnamed files on this file system: a name of our own first, the journal's name when
    // it is complete.
    privateName = "." + place.Name + ".new-" + std::to_string(::getpid());
    journal.Reset(Sys("open", [&] {
      return ::openat(place.Folder.Get(), privateName.c_str(), kFlags | O_CREAT | O_EXCL, 0600);
    }));
  }
  if (!journal.IsOpen()) {
    return false;
  }
  // Locked before it has a name, so that no one sees it named and free while the save runs.
  const bool written = FillJournal(journal.Get(), entry, file, newBytes, progress) &&
                       ::flock(journal.Get(), LOCK_EX | LOCK_NB) == 0 &&
                       LinkJournal(place, journal.Get(), privateName);
  const int cause = errno;
  if (!privateName.empty()) {
    ::unlinkat(place.Folder.Get(), privateName.c_str(), 0);
  }
  errno = cause;
  if (written) {
    held = std::move(journal);
  }
  return written;
}

bool JournalPlace::Remove() const {
  return Sys("unlinkat", [&] { return ::unlinkat(Folder.Get(), Name.c_str(), 0); }) == 0;
}

FoundJournal OpenJournal(const JournalPlace& place, const FileIdentity* file, bool whole) {
  FoundJournal found;
  found.File.Reset(Sys("open", [&] {
    return ::openat(place.Folder.Get(), place.Name.c_str(),
                    O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  }));
  if (!found.File.IsOpen()) {
    found.Present = errno != ENOENT && errno != ENOTDIR && errno != ENAMETOOLONG;
    found.Distrust =
        errno == ELOOP ? "it is a symbolic link" : "it cannot be read: " + PlatformErrorText(errno);
    return found;
  }
  found.Present = true;
  found.Distrust = DistrustOfStatus(found.File.Get(), file != nullptr ? &file->Info : nullptr);
  if (found.Distrust.empty()) {
    found.Distrust = ReadEntry(found.File.Get(), found, whole);
  }
  if (found.Distrust.empty() && file != nullptr && !EntryIsFor(found.Entry, *file)) {
    found.Distrust = "it was made for another file";
  }
  return found;
}

namespace {

// A chunk of the file as the save a journal describes sees it: the former bytes, the bytes the
// save leaves (`Wanted`), which of them it changes (the tail moved in, the new bytes) and which
// it writes itself (the new bytes).
struct ChunkOfSave {
  std::vector<std::uint8_t> Former;
  std::vector<std::uint8_t> Wanted;
  std::vector<bool> Changes;
  std::vector<bool> Written;
};

// Fills `chunk` for the `count` bytes from `from`; false with errno set when the journal cannot
// be read.
bool ReadChunkOfSave(const FoundJournal& journal, std::uint64_t from, std::size_t count,
                     ChunkOfSave& chunk) {
  const JournalEntry& r = journal.Entry;
  const int fd = journal.File.Get();
  chunk.Former.assign(count, 0);
  chunk.Changes.assign(count, false);
  chunk.Written.assign(count, false);
  if (!ReadFromExtents(fd, r.Old, journal.OldAt, from, count, chunk.Former.data())) {
    return false;
  }
  chunk.Wanted = chunk.Former;
  // Where the tail lands, its former bytes from where they were.
  const std::uint64_t tailEnd = r.TailTo + r.TailLength;
  for (std::uint64_t at = std::max(from, r.TailTo); at < std::min(from + count, tailEnd);) {
    const std::uint64_t piece = std::min(from + count, tailEnd) - at;
    const auto index = static_cast<std::size_t>(at - from);
    if (!ReadFromExtents(fd, r.Old, journal.OldAt, r.TailFrom + (at - r.TailTo),
                         static_cast<std::size_t>(piece), chunk.Wanted.data() + index)) {
      return false;
    }
    std::fill(chunk.Changes.begin() + static_cast<std::ptrdiff_t>(index),
              chunk.Changes.begin() + static_cast<std::ptrdiff_t>(index + piece), true);
    at += piece;
  }
  // Then the new bytes: the save writes them once the tail has moved, so they win over it.
  MarkExtents(r.New, from, count, chunk.Changes);
  MarkExtents(r.New, from, count, chunk.Written);
  return ReadFromExtents(fd, r.New, journal.NewAt, from, count, chunk.Wanted.data());
}

}  // namespace

std::optional<FileVersusJournal> CompareWithJournal(int fd, const FoundJournal& journal) {
  const JournalEntry& r = journal.Entry;
  struct stat info {};
  if (Sys("fstat", [&] { return ::fstat(fd, &info); }) != 0) {
    return std::nullopt;
  }
  const auto size = static_cast<std::uint64_t>(info.st_size);
  if (size != r.FormerSize && size != r.NewSize) {
    return FileVersusJournal::Changed;
  }
  bool saved = size == r.NewSize;
  std::vector<std::uint8_t> now;
  ChunkOfSave chunk;
  WriteShape shape;
  for (const Extent& stretch : Touched(r)) {
    for (std::uint64_t from = stretch.Offset; from < stretch.End(); from += kChunk) {
      const auto count =
          static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, stretch.End() - from));
      const auto present =
          static_cast<std::size_t>(std::min<std::uint64_t>(count, size > from ? size - from : 0));
      now.assign(present, 0);
      if (!ReadAt(fd, now.data(), present, from) || !ReadChunkOfSave(journal, from, count, chunk)) {
        return std::nullopt;
      }
      const auto& [former, wanted, changes, written] = chunk;
      for (std::size_t i = 0; i < present; ++i) {
        if (now[i] != former[i] && !(changes[i] && now[i] == wanted[i])) {
          return FileVersusJournal::Changed;
        }
        saved = saved && now[i] == (changes[i] ? wanted[i] : former[i]);
        if (written[i] && wanted[i] != former[i] && !shape.Note(from + i, now[i] == wanted[i])) {
          return FileVersusJournal::Changed;
        }
      }
    }
  }
  if (!shape.Finish()) {
    return FileVersusJournal::Changed;
  }
  return saved ? FileVersusJournal::Saved : FileVersusJournal::Interrupted;
}

namespace {

// Writes `count` bytes at `at` only where the file differs from them, so that putting bytes
// back writes no further than the save got (a file size limit stops both at the same place).
bool WriteWhereDifferent(int fd, const std::uint8_t* wanted, std::size_t count, std::uint64_t at,
                         std::vector<std::uint8_t>& scratch) {
  scratch.resize(count);
  std::size_t have = 0;
  while (have < count) {
    const ssize_t got = Sys("pread", [&] {
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

}  // namespace

bool PutBack(int fd, const FoundJournal& journal) {
  const JournalEntry& r = journal.Entry;
  std::vector<std::uint8_t> scratch;
  for (std::size_t i = 0; i < r.Old.size(); ++i) {
    const Extent& extent = r.Old[i];
    const bool putBack =
        InChunks(extent.Length, [&](std::uint8_t* buffer, std::size_t count, std::uint64_t done) {
          return ReadAt(journal.File.Get(), buffer, count, journal.OldAt[i] + done) &&
                 WriteWhereDifferent(fd, buffer, count, extent.Offset + done, scratch);
        });
    if (!putBack) {
      return false;
    }
  }
  return Sys("ftruncate", [&] { return ::ftruncate(fd, static_cast<off_t>(r.FormerSize)); }) == 0 &&
         Sys("fdatasync", [&] { return ::fdatasync(fd); }) == 0;
}

std::string SetAside(const JournalPlace& place, std::string_view suffix) {
  const std::string name = RenameAside(place.Folder.Get(), place.Name, suffix);
  return name.empty() ? name : place.FolderPath + name;
}

FileState StateOf(const struct stat& info, std::uint64_t stretchSum) {
  constexpr std::int64_t kBillion = 1'000'000'000;
  FileState state;
  state.Exists = true;
  state.Device = info.st_dev;
  state.Inode = info.st_ino;
  state.Size = static_cast<std::uint64_t>(info.st_size);
  state.ModifiedNs = info.st_mtim.tv_sec * kBillion + info.st_mtim.tv_nsec;
  state.ChangedNs = info.st_ctim.tv_sec * kBillion + info.st_ctim.tv_nsec;
  state.StretchSum = stretchSum;
  return state;
}

std::uint64_t StretchChecksum(std::span<const std::uint8_t> bytes) {
  return ChecksumOf(bytes);
}

#ifdef LBE_TEST_SUPPORT
bool SealJournalBytes(std::vector<std::uint8_t>& journal) {
  if (journal.size() < sizeof(JournalHeader)) {
    return false;
  }
  std::array<char, 8> magic;
  std::memcpy(magic.data(), journal.data(), magic.size());
  std::memset(journal.data() + kChecksumAt, 0, sizeof(std::uint64_t));
  const std::uint64_t checksum =
      JournalSum(magic == kSumFormerMagic || magic == kFormerMagic,
                 [&](const auto& add) { add(journal.data(), journal.size()); });
  std::memcpy(journal.data() + kChecksumAt, &checksum, sizeof checksum);
  return true;
}
#endif

}  // namespace lbe::files
