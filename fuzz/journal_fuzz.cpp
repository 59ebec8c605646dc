// The roll-back of interrupted saves, fed made-up journals: SettleJournals on a file of known
// bytes with a journal for it, read-only first, then for real.
//
// Input: flags, 2 bytes (little-endian: 13 bits the file's length, at most 3 KiB; 3 bits what
// stands at the journal's name), the file's bytes, the journal. The journal gets the file's
// device and inode and a right checksum, so that made-up journals get past those checks.
// Flags: 1 zeros after the tables up to the data's 4 KiB boundary, 16 the data as long as the
// tables say (both keep inputs short); 2 the device and inode kept, 8 the checksum spoilt; 4
// the journal beside the file; 32, 64, 128 the file given the journal's former bytes, then its
// moved tail, then its new bytes.
//
// Held to rules drawn from a reading of the journal of its own: the read-only run changes
// nothing; then the file is untouched with its journal kept or set aside, or untouched with the
// journal gone as the saved file or its own roll-back, or exactly its roll-back (the former
// bytes over it, the length the former size), or gone when the save created it. A roll-back
// needs each byte the save touches to hold a value the save could have left there, and the
// journal to hold the former bytes of all the save writes or cuts off.
//
// At start it checks itself on journals of real saves paused half-way; with LBE_FUZZ_SEEDS set
// to a folder it writes those there as seeds and stops.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "files/file_journal.h"
#include "files/file_layer.h"
#include "files/journal_store.h"
#include "files/test_hooks.h"
#include "fuzz/fuzz_folder.h"

namespace lbe::fuzzing {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Byte = std::optional<std::uint8_t>;
using Entries = std::vector<std::pair<std::string, Bytes>>;

constexpr std::uint64_t kHeader = 104;  // the magic, then these fields of 8 bytes
// This version's journals add the file system id after them; the former version's stop there.
constexpr std::uint64_t kHeaderWithId = 112;
// clang-format off
enum Field { kDevice, kInode, kCreated, kFormer, kNewSize, kTailFrom, kTailTo, kTailLength,
             kOldCount, kNewCount, kPathLength, kChecksum };
enum Flag { kPad = 1, kKeepAddress = 2, kBeside = 4, kSpoil = 8, kFit = 16, kGiveFormer = 32,
            kGiveTail = 64, kGiveNew = 128 };
// clang-format on
const std::string kTarget = "target";

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "journal_fuzz: %s\n", what);
  std::abort();
}

bool OfThisVersion(const Bytes& j) {
  return j.size() >= 8 &&
         (std::memcmp(j.data(), "LBEJRNL4", 8) == 0 || std::memcmp(j.data(), "LBEJRNL3", 8) == 0);
}
std::uint64_t HeaderOf(const Bytes& j) {
  return OfThisVersion(j) ? kHeaderWithId : kHeader;
}

// Field `field` of the header, or with `run` that of the tables' row (0 offset, 1 length).
std::uint64_t Get(const Bytes& j, std::uint64_t field, std::optional<std::uint64_t> run = {}) {
  std::uint64_t value = 0;
  std::memcpy(&value,
              j.data() + (run ? HeaderOf(j) + Get(j, kPathLength) + 16 * *run : 8) + 8 * field, 8);
  return value;
}
void Set(Bytes& j, Field field, std::uint64_t value) {
  std::memcpy(j.data() + 8 + 8 * field, &value, 8);
}
std::uint64_t Runs(const Bytes& j) {
  return Get(j, kOldCount) + Get(j, kNewCount);
}
std::uint64_t Prefix(const Bytes& j) {
  return HeaderOf(j) + Get(j, kPathLength) + 16 * Runs(j);
}
std::uint64_t DataStart(const Bytes& j) {
  return (Prefix(j) + 4095) / 4096 * 4096;
}
bool PrefixFits(const Bytes& j) {
  return j.size() >= HeaderOf(j) && Get(j, kOldCount) <= j.size() / 16 &&
         Get(j, kNewCount) <= j.size() / 16 && Get(j, kPathLength) <= j.size() &&
         Prefix(j) <= j.size();
}

std::optional<Bytes> ReadAll(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  struct stat info {};
  std::optional<Bytes> bytes;
  if (fd >= 0 && ::fstat(fd, &info) == 0) {
    bytes.emplace(static_cast<std::size_t>(info.st_size));
    bytes = ::pread(fd, bytes->data(), bytes->size(), 0) == info.st_size ? bytes : std::nullopt;
  }
  ::close(fd);
  return bytes;
}

void WriteNew(const std::string& path, const Bytes& bytes, mode_t mode) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
    Fail("cannot write the file or its journal");
  }
  ::close(fd);
}

// What is in `folder` but the file and the state folder: the journal, or what became of it.
Entries Leftovers(const std::string& folder, bool read = true) {
  Entries found;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    if (const std::string name = entry.path().filename(); name != kTarget && name != "state") {
      found.emplace_back(name, read ? ReadAll(entry.path()).value_or(Bytes{}) : Bytes{});
    }
  }
  return found;
}

void Clear() {
  std::error_code error;
  for (const std::string folder : {".", "state/lbe"}) {
    for (const auto& entry : Leftovers(folder, false)) {
      std::filesystem::remove_all(folder + "/" + entry.first, error);
    }
  }
  std::filesystem::remove(kTarget, error);
}

// The journal byte by byte below `Width`: header, path, tables of the Old and the New extents,
// their bytes one after another from the next 4 KiB boundary to the end.
struct Layout {
  bool Valid = false;  // whole, and no two extents of a table overlap
  std::uint64_t Former = 0, NewSize = 0, TailFrom = 0, TailTo = 0, TailLength = 0, Width = 0;
  std::vector<Byte> Old, New;

  bool InTail(std::uint64_t at) const { return at >= TailTo && at - TailTo < TailLength; }
  Byte WasAt(std::uint64_t at) const {  // past the former end a grown file reads zeros
    return at >= Former ? Byte(0) : at < Width ? Old[at] : Byte();
  }
  Byte MovedTo(std::uint64_t at) const {
    return InTail(at) && TailFrom <= UINT64_MAX - (at - TailTo) ? WasAt(TailFrom + at - TailTo)
                                                                : Byte();
  }
};

Layout Read(const Bytes& j, std::uint64_t fileLength) {
  Layout l;
  if (!PrefixFits(j) || (std::memcmp(j.data(), "LBEJRNL2", 8) != 0 && !OfThisVersion(j))) {
    return l;
  }
  l.Former = Get(j, kFormer);
  l.NewSize = Get(j, kNewSize);
  l.TailFrom = Get(j, kTailFrom);
  l.TailTo = Get(j, kTailTo);
  l.TailLength = Get(j, kTailLength);
  l.Width = std::min(std::max({l.Former, l.NewSize, fileLength}), fileLength + j.size());
  l.Old.resize(l.Width);
  l.New.resize(l.Width);
  bool apart = true;
  std::uint64_t data = DataStart(j);
  for (std::uint64_t run = 0; run < Runs(j); ++run) {
    std::vector<Byte>& table = run < Get(j, kOldCount) ? l.Old : l.New;
    const std::uint64_t offset = Get(j, 0, run), length = Get(j, 1, run);
    if (data > j.size() || length > j.size() - data) {
      return l;
    }
    for (std::uint64_t k = 0; offset < l.Width && k < std::min(length, l.Width - offset); ++k) {
      apart = apart && !table[offset + k];
      table[offset + k] = j[data + k];
    }
    data += length;
  }
  l.Valid = apart && data == j.size();
  return l;
}

struct Verdict {
  bool RollBack = false;  // the file is as the save could have left it, and can be put back
  bool Saved = false;     // the file is as the complete save left it
  Bytes Former;           // what the roll-back makes of it
};

Verdict Judge(const Layout& l, const Bytes& file) {
  Verdict v;
  bool known = l.Former <= l.Width;
  for (std::uint64_t at = 0; known && at < l.Former; ++at) {
    known = l.Old[at] || (!l.New[at] && !l.InTail(at) && at < l.NewSize);
  }
  bool interrupted = l.Valid && (file.size() == l.Former || file.size() == l.NewSize);
  v.Saved = l.Valid && file.size() == l.NewSize;
  for (std::uint64_t at = 0; l.Valid && at < file.size(); ++at) {
    if (l.Old[at] || l.New[at] || l.InTail(at)) {
      const Byte now = file[at];
      interrupted = interrupted && (now == l.WasAt(at) || now == l.New[at] || now == l.MovedTo(at));
      // The save moves the tail before it writes the new bytes.
      v.Saved = v.Saved && now == (l.New[at]      ? l.New[at]
                                   : l.InTail(at) ? l.MovedTo(at)
                                                  : l.WasAt(at));
    }
  }
  v.RollBack = known && interrupted;
  for (std::uint64_t at = 0; v.RollBack && at < l.Former; ++at) {
    v.Former.push_back(l.Old[at].value_or(at < file.size() ? file[at] : 0));
  }
  return v;
}

enum class Outcome { Kept, Removed, RolledBack, Gone };

Outcome RunOnce(const std::uint8_t* data, std::size_t size) {
  Clear();
  // The file and the journal, laid out as the input says.
  const std::uint8_t flags = size > 0 ? data[0] : 0;
  const std::size_t start = std::min<std::size_t>(size, 3);
  const std::size_t length =
      std::min<std::size_t>(size >= 3 ? (data[1] | (data[2] & 31) << 8) % 3073 : 0, size - start);
  // The journal's name: 1 writable by others, 2 with a second link, 3 a symbolic link to it,
  // 4 a FIFO; any other number the journal itself.
  const int status = size >= 3 ? data[2] >> 5 : 0;
  Bytes file(data + start, data + start + length);
  Bytes journal(data + start + length, data + size);
  if ((flags & kPad) != 0 && PrefixFits(journal)) {
    journal.insert(journal.begin() + static_cast<std::ptrdiff_t>(Prefix(journal)),
                   DataStart(journal) - Prefix(journal), 0);
  }
  if ((flags & kFit) != 0 && PrefixFits(journal)) {
    std::uint64_t fit = DataStart(journal);
    for (std::uint64_t run = 0; run < Runs(journal); ++run) {
      fit += std::min<std::uint64_t>(Get(journal, 1, run), 1 << 13);
    }
    journal.resize(std::min<std::uint64_t>(fit, DataStart(journal) + (1 << 13)), 0);
  }
  Layout layout = Read(journal, length);
  for (std::uint64_t at = 0; layout.Valid && at < length; ++at) {
    for (const Byte& given : {(flags & kGiveFormer) != 0 ? layout.WasAt(at) : Byte(),
                              (flags & kGiveTail) != 0 ? layout.MovedTo(at) : Byte(),
                              (flags & kGiveNew) != 0 ? layout.New[at] : Byte()}) {
      file[at] = given.value_or(file[at]);
    }
  }
  WriteNew(kTarget, file, 0644);
  struct stat info {};
  ::stat(kTarget.c_str(), &info);
  const auto device = static_cast<std::uint64_t>(info.st_dev);
  const auto inode = static_cast<std::uint64_t>(info.st_ino);
  if ((flags & kKeepAddress) == 0 && journal.size() >= 24) {
    Set(journal, kDevice, device);
    Set(journal, kInode, inode);
  }
  layout.Valid = files::SealJournalBytes(journal) && layout.Valid && (flags & kSpoil) == 0 &&
                 Get(journal, kDevice) == device && Get(journal, kInode) == inode;
  if ((flags & kSpoil) != 0 && journal.size() >= kHeader) {
    journal[8 + 8 * kChecksum] ^= 1;
  }
  const bool beside = (flags & kBeside) != 0;
  const std::string folder = beside ? "." : "state/lbe";
  const std::string name =
      (beside ? kTarget : std::to_string(device) + "-" + std::to_string(inode)) + ".lbe-journal";
  const std::string path = folder + "/" + name;
  if (status == 4) {
    ::mkfifo(path.c_str(), 0600);
  } else {
    WriteNew(status == 3 ? path + ".real" : path, journal, 0600);
  }
  if ((status == 1 && ::chmod(path.c_str(), 0622) != 0) ||
      (status == 2 && ::link(path.c_str(), (path + ".link").c_str()) != 0) ||
      (status == 3 && ::symlink((name + ".real").c_str(), path.c_str()) != 0)) {
    Fail("cannot lay out the journal's name");
  }
  layout.Valid = layout.Valid && (status == 0 || status > 4);
  const Entries before = Leftovers(folder);
  const Verdict verdict = Judge(layout, file);
  const bool created = journal.size() >= kHeader && Get(journal, kCreated) != 0;

  // Read-only, then for real; then what became of the file and the journal.
  try {
    if (files::SettleJournals(kTarget, true).Interrupted && !verdict.RollBack) {
      Fail("read-only, called interrupted a save that cannot have left the file so");
    }
  } catch (const files::FileError&) {
  }
  if (ReadAll(kTarget) != file || Leftovers(folder) != before) {
    Fail("the read-only settling changed the file or its journal");
  }
  bool rolledBack = false;
  try {
    rolledBack = files::SettleJournals(kTarget, false).RolledBack;
  } catch (const files::FileError&) {
  }
  const std::optional<Bytes> now = ReadAll(kTarget);
  const Entries left = Leftovers(folder);
  if (rolledBack && !verdict.RollBack) {
    Fail("rolled back a file that no interrupted save of this journal can have left");
  }
  if (!now) {
    if (!verdict.RollBack || !created || !verdict.Former.empty() || !left.empty()) {
      Fail("removed a file the save did not create, or kept the journal");
    }
    return Outcome::Gone;
  }
  if (*now != file) {
    if (!verdict.RollBack || created || *now != verdict.Former || !left.empty()) {
      Fail("changed the file into something else than its roll-back, or kept the journal");
    }
    return Outcome::RolledBack;
  }
  if (left.empty()) {
    if (!verdict.Saved && !(verdict.RollBack && !created && verdict.Former == file)) {
      Fail("removed the journal of a save that is neither complete nor undone");
    }
    return Outcome::Removed;
  }
  if (left != before && !(left.size() == 1 && left[0].second == journal &&
                          left[0].first.starts_with(name + ".set-aside"))) {
    Fail("the journal of an untouched file is neither kept nor set aside as it was");
  }
  return Outcome::Kept;
}

Bytes Pattern(std::size_t length, unsigned step) {
  Bytes bytes(length);
  for (std::size_t i = 0; i < length; ++i) {
    bytes[i] = static_cast<std::uint8_t>(i * step + 1);
  }
  return bytes;
}

// An input from a real save into a 200-byte file (none: the save creates it), with the file
// and the journal as they were half-way through the save, or the file as the save left it.
Bytes RealSave(bool exists, files::FileStretch stretch, std::size_t count, bool halfway) {
  Clear();
  if (exists) {
    WriteNew(kTarget, Pattern(200, 7), 0644);
  }
  Bytes file;
  Bytes journal;
  files::SetPauseHook([&](std::string_view) {
    file = ReadAll(kTarget).value_or(Bytes{});
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("state/lbe", error)) {
      if (entry.path().native().ends_with(".lbe-journal")) {
        journal = ReadAll(entry.path()).value_or(Bytes{});
      }
    }
    // The harness lays journals out in the former version's header, which lbe still reads:
    // this one's file system id goes, its bytes still from the next 4 KiB boundary on.
    if (journal.size() >= kHeader + 8 && std::memcmp(journal.data(), "LBEJRNL4", 8) == 0) {
      std::memcpy(journal.data(), "LBEJRNL2", 8);
      journal.erase(journal.begin() + kHeader, journal.begin() + kHeader + 8);
      const std::uint64_t data = (Prefix(journal) + 8 + 4095) / 4096 * 4096;
      journal.insert(journal.begin() + static_cast<std::ptrdiff_t>(data) - 8, 8, 0);
    }
  });
  try {
    files::ReplaceStretch(kTarget, stretch, Pattern(count, 3));
  } catch (const files::FileError&) {
    Fail("a save for the seeds failed");
  }
  files::SetPauseHook(nullptr);
  if (!PrefixFits(journal) || DataStart(journal) > journal.size()) {
    Fail("the paused save left no journal the harness can read");
  }
  file = halfway ? file : *ReadAll(kTarget);
  // Nothing of this machine's: no device, inode (the harness gives them back) or folder.
  Bytes input{kPad | kFit, static_cast<std::uint8_t>(file.size()),
              static_cast<std::uint8_t>(file.size() >> 8)};
  input.insert(input.end(), file.begin(), file.end());
  Bytes header(journal.begin(), journal.begin() + kHeader);
  for (const Field field : {kDevice, kInode, kPathLength, kChecksum}) {
    Set(header, field, 0);
  }
  const auto at = [&](std::uint64_t offset) {
    return journal.begin() + static_cast<std::ptrdiff_t>(offset);
  };
  input.insert(input.end(), header.begin(), header.end());
  input.insert(input.end(), at(Prefix(journal) - 16 * Runs(journal)), at(Prefix(journal)));
  input.insert(input.end(), at(DataStart(journal)), journal.end());
  return input;
}

// `input` with other flags, its first New extent moved to `newOffset`, or its file cut short.
Bytes Variant(Bytes input, std::uint8_t flags, std::optional<std::uint64_t> newOffset = {},
              std::optional<std::size_t> fileLength = {}) {
  input[0] = flags;
  const auto fileEnd = input.begin() + 3 + (input[1] | (input[2] & 31) << 8);
  Bytes journal(fileEnd, input.end());
  if (newOffset) {
    std::memcpy(
        &*fileEnd + HeaderOf(journal) + Get(journal, kPathLength) + 16 * Get(journal, kOldCount),
        &*newOffset, 8);
  }
  if (fileLength) {
    input.erase(input.begin() + 3 + static_cast<std::ptrdiff_t>(*fileLength), fileEnd);
    input[1] = static_cast<std::uint8_t>(*fileLength);
    input[2] = static_cast<std::uint8_t>(*fileLength >> 8);
  }
  return input;
}

// Journals with the outcome each must have. Real saves: one that overwrites within a block,
// stopped before it, its journal removed; those that move the rest of the file up or down, or
// grow it, rolled back; a created file, removed; a complete save, and
// one given its former bytes back, their journals removed. Made up from them: a file cut to
// the new length with its former bytes, rolled back; new bytes where the tail lands with the
// file as the tail left it, which the save never leaves (it writes them after), set aside.
void CheckOnRealSaves(const std::string& seedFolder) {
  const InsideFolder inside;
  const Bytes overwrite = RealSave(true, {50, 40, false}, 40, true);
  const Bytes insert = RealSave(true, {30, 5, false}, 20, true);
  const Bytes shrink = RealSave(true, {10, 120, false}, 5, true);
  const std::vector<std::tuple<std::string, Bytes, Outcome>> seeds = {
      {"overwrite", overwrite, Outcome::Removed},  // stopped before its one block: unchanged
      {"insert", insert, Outcome::RolledBack},
      {"delete", shrink, Outcome::RolledBack},
      {"cut-short", Variant(shrink, kPad | kFit | kGiveFormer, {}, 85), Outcome::RolledBack},
      {"past-end", RealSave(true, {260, 20, false}, 20, true), Outcome::RolledBack},
      {"created", RealSave(false, {0, 0, false}, 30, true), Outcome::Gone},
      {"complete", RealSave(true, {50, 40, false}, 40, false), Outcome::Removed},
      {"given-former", Variant(overwrite, kPad | kFit | kGiveFormer), Outcome::Removed},
      {"given-all", Variant(insert, kPad | kFit | kGiveFormer | kGiveTail | kGiveNew),
       Outcome::Removed},
      {"new-where-tail-lands", Variant(insert, kPad | kFit | kGiveFormer | kGiveTail, 60),
       Outcome::Kept}};
  for (const auto& [name, input, outcome] : seeds) {
    if (RunOnce(input.data(), input.size()) != outcome) {
      std::fprintf(stderr, "journal_fuzz: on the journal \"%s\"\n", name.c_str());
      Fail("the harness does not see the outcome this journal has");
    }
    if (!seedFolder.empty()) {
      WriteBytes(seedFolder + "/" + name, input);
    }
  }
}

}  // namespace
}  // namespace lbe::fuzzing

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  using namespace lbe::fuzzing;
  const char* seeds = std::getenv("LBE_FUZZ_SEEDS");
  std::error_code error;
  const std::string seedFolder = seeds ? std::filesystem::absolute(seeds, error).native() : "";
  MakeFreshFolder("lbe-journal-fuzz");
  // The journals of this process go to a state folder of its own.
  ::setenv("XDG_STATE_HOME", (FolderPath() + "/state").c_str(), 1);
  ::setenv("HOME", FolderPath().c_str(), 1);  // nothing reaches the real home
  ::mkdir((FolderPath() + "/state").c_str(), 0700);
  ::mkdir((FolderPath() + "/state/lbe").c_str(), 0700);
  CheckOnRealSaves(seedFolder);
  if (!seedFolder.empty()) {
    std::exit(0);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const lbe::fuzzing::InsideFolder inside;
  lbe::fuzzing::RunOnce(data, size);
  return 0;
}
