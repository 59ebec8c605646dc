#include "files/journal_list.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <utility>

#include "files/file_layer.h"
#include "files/plain_io.h"
#include "files/safe_open.h"
#include "files/state_folder.h"
#include "text/visible_text.h"

namespace lbe::files {

namespace {

constexpr std::string_view kJournalSuffix = ".lbe-journal";
constexpr std::string_view kSetAsideSuffix = ".lbe-journal.set-aside";

std::string Shown(std::string_view path) {
  return text::VisibleText(path);
}

FileError ListError(const std::string& message) {
  return FileError(FileErrorKind::InOutError, message);
}

// A mount point of /proc/self/mountinfo as written there: blank, tab, line feed and backslash as
// three octal digits after a backslash.
std::string Unescaped(std::string_view field) {
  std::string text;
  for (std::size_t at = 0; at < field.size(); ++at) {
    const auto octal = [&](std::size_t i) { return field[i] >= '0' && field[i] <= '7'; };
    if (field[at] == '\\' && at + 3 < field.size() && octal(at + 1) && octal(at + 2) &&
        octal(at + 3)) {
      text += static_cast<char>((field[at + 1] - '0') * 64 + (field[at + 2] - '0') * 8 +
                                (field[at + 3] - '0'));
      at += 3;
    } else {
      text += field[at];
    }
  }
  return text;
}

std::vector<std::string_view> Fields(std::string_view line) {
  std::vector<std::string_view> fields;
  for (std::size_t at = 0; at <= line.size();) {
    const std::size_t blank = std::min(line.find(' ', at), line.size());
    if (blank > at) {
      fields.push_back(line.substr(at, blank - at));
    }
    at = blank + 1;
  }
  return fields;
}

bool Holds(std::string_view mountPoint, std::string_view path) {
  if (mountPoint == "/") {
    return path.starts_with('/');
  }
  return path.starts_with(mountPoint) &&
         (path.size() == mountPoint.size() || path[mountPoint.size()] == '/');
}

std::vector<std::string> JournalNamesIn(const SearchedFolder& searched) {
  std::vector<std::string> names;
  DIR* listing = ::fdopendir(::fcntl(searched.Folder.Get(), F_DUPFD_CLOEXEC, 0));
  if (listing == nullptr) {
    return names;
  }
  while (const dirent* entry = ::readdir(listing)) {
    if (entry->d_name[0] != '.' && IsJournalName(entry->d_name)) {
      names.emplace_back(entry->d_name);
    }
  }
  ::closedir(listing);
  std::sort(names.begin(), names.end());
  return names;
}

// Where the recorded path of a trusted journal stands, looked at only on a file system that
// answers by itself.
void LookAtPath(const JournalEntry& entry, const std::optional<std::string>& mountTable,
                ListedJournal& listed) {
  if (!entry.Path.starts_with('/')) {
    listed.Standing = JournalStanding::NoPath;
    return;
  }
  listed.Standing = JournalStanding::NotLookedAt;
  if (!mountTable) {
    listed.Detail = "the mount table cannot be read";
    return;
  }
  if (MayWaitOnOthers(MountTypeOf(*mountTable, entry.Path))) {
    listed.Detail = "on a network file system";
    return;
  }
  // O_PATH: neither a FIFO nor a device at that path is opened, and nothing is read.
  const FileDescriptor file(::open(entry.Path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  FileIdentity identity;
  if (!file.IsOpen() && (errno == ENOENT || errno == ENOTDIR)) {
    listed.Standing = JournalStanding::FileMissing;
  } else if (!file.IsOpen() || !IdentityOf(file.Get(), identity)) {
    listed.Detail = "it cannot be reached: " + PlatformErrorText(errno);
  } else if (!S_ISREG(identity.Info.st_mode) || !EntryIsFor(entry, identity)) {
    listed.Standing = JournalStanding::OtherFile;
  } else {
    listed.Standing = JournalStanding::FileThere;
  }
}

// The journal at `place`, opened whole, that lbe trusts; throws FileError saying why not.
FoundJournal TrustedJournal(const JournalPlace& place, std::string_view nothingDone) {
  FoundJournal found = OpenJournal(place, nullptr, true);
  const std::string journal = Shown(place.Shown());
  if (!found.Present) {
    throw FileError(FileErrorKind::FileNotFound, "there is no journal " + journal);
  }
  if (!found.Distrust.empty()) {
    throw ListError(journal + " is no journal lbe can trust (" + found.Distrust +
                    "): " + std::string(nothingDone));
  }
  if (!place.FolderDistrust.empty()) {
    throw ListError(journal + " is in a state folder that cannot be trusted (" +
                    place.FolderDistrust + "): " + std::string(nothingDone));
  }
  // A running save holds its journal locked, whatever has become of its file's name since.
  if (::flock(found.File.Get(), LOCK_EX | LOCK_NB) != 0) {
    throw ListError(journal +
                    " is the journal of a save that is running now: " + std::string(nothingDone));
  }
  return found;
}

// True when `name` is something, then `suffix`, then nothing or "." and a number: a name
// SetAside gives.
bool EndsInNumbered(std::string_view name, std::string_view suffix) {
  const std::size_t at = name.rfind(suffix);
  if (at == std::string_view::npos || at == 0) {
    return false;
  }
  const std::string_view rest = name.substr(at + suffix.size());
  return rest.empty() || (rest.size() >= 2 && rest[0] == '.' &&
                          rest.find_first_not_of("0123456789", 1) == std::string_view::npos);
}

std::string RecordedPath(const JournalEntry& entry) {
  return entry.Path.empty() ? "(path not recorded)" : Shown(entry.Path);
}

}  // namespace

bool IsSetAsideName(std::string_view name) {
  return EndsInNumbered(name, kSetAsideSuffix);
}

bool IsJournalName(std::string_view name) {
  return (name.size() > kJournalSuffix.size() && name.ends_with(kJournalSuffix)) ||
         IsSetAsideName(name) || IsUnclaimedName(name);
}

bool IsUnclaimedName(std::string_view name) {
  return EndsInNumbered(name, std::string(kJournalSuffix) + std::string(kUnclaimed));
}

std::string MountTypeOf(std::string_view mountTable, std::string_view path) {
  std::string type;
  std::size_t longest = 0;
  for (std::size_t at = 0; at < mountTable.size();) {
    const std::size_t end = std::min(mountTable.find('\n', at), mountTable.size());
    const std::vector<std::string_view> fields = Fields(mountTable.substr(at, end - at));
    at = end + 1;
    // ID PARENT MAJOR:MINOR ROOT MOUNT-POINT OPTIONS [OPTIONAL...] - TYPE SOURCE OPTIONS
    const auto separator = std::find(fields.begin(), fields.end(), "-");
    if (fields.size() < 5 || separator == fields.end() || separator + 1 == fields.end() ||
        separator - fields.begin() < 6) {
      continue;
    }
    const std::string mountPoint = Unescaped(fields[4]);
    if (Holds(mountPoint, path) && mountPoint.size() >= longest) {
      longest = mountPoint.size();
      type = std::string(*(separator + 1));
    }
  }
  return type;
}

bool MayWaitOnOthers(std::string_view type) {
  constexpr std::array<std::string_view, 17> kTypes = {
      "nfs",  "nfs4",   "cifs",     "smb3",  "smbfs", "ncpfs",  "9p",   "ceph",   "afs",
      "coda", "lustre", "virtiofs", "sshfs", "davfs", "autofs", "fuse", "fuseblk"};
  return type.starts_with("fuse.") || std::find(kTypes.begin(), kTypes.end(), type) != kTypes.end();
}

std::optional<std::string> ReadMountTable() {
  const FileDescriptor file(::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC));
  if (!file.IsOpen()) {
    return std::nullopt;
  }
  std::string text;
  char buffer[8192];
  for (;;) {
    const ssize_t got = ::read(file.Get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      return std::nullopt;
    }
    if (got == 0) {
      return text;
    }
    text.append(buffer, static_cast<std::size_t>(got));
  }
}

std::vector<ListedJournal> ListJournals(std::int64_t now,
                                        const std::optional<std::string>& mountTable) {
  std::vector<ListedJournal> journals;
  for (const SearchedFolder& searched : SearchedStateFolders()) {
    for (const std::string& name : JournalNamesIn(searched)) {
      const JournalPlace place = PlaceIn(searched, name);
      struct stat info {};
      const FoundJournal found = OpenJournal(place, nullptr, false);
      if (!found.Present ||
          ::fstatat(searched.Folder.Get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        continue;  // gone since the folder was read
      }
      ListedJournal listed;
      listed.Path = place.Shown();
      listed.Size = static_cast<std::uint64_t>(info.st_size);
      listed.AgeSeconds = now - static_cast<std::int64_t>(info.st_mtim.tv_sec);
      listed.HeaderRead = found.Distrust.empty();
      listed.FilePath = listed.HeaderRead ? found.Entry.Path : std::string();
      if (!found.Distrust.empty()) {
        listed.Standing = JournalStanding::Untrusted;
        listed.Detail = found.Distrust;
      } else if (!searched.Distrust.empty()) {
        listed.Standing = JournalStanding::Untrusted;
        listed.Detail = "the state folder it is in cannot be trusted (" + searched.Distrust + ")";
      } else if (IsSetAsideName(name)) {
        listed.Standing = JournalStanding::SetAside;
      } else {
        LookAtPath(found.Entry, mountTable, listed);
      }
      if (listed.Standing == JournalStanding::FileMissing && IsUnclaimedName(name)) {
        listed.Standing = JournalStanding::Unclaimed;
      } else if (listed.Standing == JournalStanding::FileMissing &&
                 listed.AgeSeconds > kSetAsideAfterSeconds) {
        if (const std::string aside = SetAside(place, kUnclaimed); !aside.empty()) {
          listed.Path = aside;
          listed.Standing = JournalStanding::SetAsideNow;
        }
      }
      journals.push_back(std::move(listed));
    }
  }
  return journals;
}

JournalPlace FindNamedJournal(std::string_view name) {
  const std::size_t slash = name.rfind('/');
  const std::string base(slash == std::string_view::npos ? name : name.substr(slash + 1));
  if (!IsJournalName(base)) {
    throw ListError(Shown(name) +
                    " is not a journal's name (NAME.lbe-journal, or set aside "
                    "NAME.lbe-journal.set-aside)");
  }
  struct stat folder {};
  if (slash != std::string_view::npos) {
    const std::string parent = ParentOf(name);
    const FileDescriptor opened(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!opened.IsOpen() || ::fstat(opened.Get(), &folder) != 0) {
      throw FileError(FileErrorKind::FolderNotFound,
                      Shown(parent) + ": " + PlatformErrorText(errno));
    }
  }
  std::vector<JournalPlace> places;
  for (const SearchedFolder& searched : SearchedStateFolders()) {
    struct stat info {};
    if (slash != std::string_view::npos &&
        (::fstat(searched.Folder.Get(), &info) != 0 || info.st_dev != folder.st_dev ||
         info.st_ino != folder.st_ino)) {
      continue;
    }
    if (::fstatat(searched.Folder.Get(), base.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
      places.push_back(PlaceIn(searched, base));
    }
  }
  if (places.size() > 1) {
    throw ListError(Shown(name) +
                    " is in more than one state folder: give its path, as lbe "
                    "--journals lists it");
  }
  if (places.empty()) {
    throw FileError(FileErrorKind::FileNotFound,
                    "there is no journal " + Shown(name) +
                        (slash == std::string_view::npos ? " in the state folders"
                                                         : " in a state folder of lbe's"));
  }
  return std::move(places.front());
}

std::string RemoveJournal(const JournalPlace& place) {
  constexpr std::string_view kNothingDone = "nothing was removed";
  const FoundJournal found = TrustedJournal(place, kNothingDone);
  const std::string journal = Shown(place.Shown());
  const std::string& path = found.Entry.Path;
  // Held until the journal is gone: a save that holds the file is using its journal.
  FileDescriptor file(-1);
  if (path.starts_with('/')) {
    OpenedName opened;
    if (OpenRegularFile(path, O_RDONLY | O_NONBLOCK | O_NOCTTY, opened, nullptr)) {
      file = std::move(opened.File);
    } else if (errno != ENOENT && errno != ENOTDIR && errno != EISDIR && errno != ENOTSUP) {
      throw ListError("whether " + journal + " can still put " + Shown(path) +
                      " back cannot be told: " + PlatformErrorText(errno) + "; " +
                      std::string(kNothingDone));
    }
  }
  FileIdentity identity;
  if (file.IsOpen() && IdentityOf(file.Get(), identity) && S_ISREG(identity.Info.st_mode) &&
      EntryIsFor(found.Entry, identity)) {
    if (::flock(file.Get(), LOCK_SH | LOCK_NB) != 0) {
      throw ListError(Shown(path) + " is being saved by another lbe, whose journal this may be; " +
                      std::string(kNothingDone));
    }
    const auto state = CompareWithJournal(file.Get(), found);
    if (!state) {
      throw ListError(Shown(path) + " cannot be read: " + PlatformErrorText(errno) + "; " +
                      std::string(kNothingDone));
    }
    if (*state == FileVersusJournal::Interrupted) {
      throw ListError(journal + " can still put back " + Shown(path) +
                      ", which is as its interrupted save left it: " +
                      (IsSetAsideName(place.Name)
                           ? "put it back with lbe --journals --apply=" + journal
                           : "open " + Shown(path) + " in lbe to have it rolled back") +
                      "; " + std::string(kNothingDone));
    }
  }
  if (!place.Remove()) {
    throw ListError(journal + " cannot be removed: " + PlatformErrorText(errno));
  }
  return path;
}

namespace {

constexpr std::string_view kNothingDone = "nothing was put back";

// The file at `path` (shown as `shownFile`), opened to be written, locked, and seen to be the
// one the journal `journal` was made for; `identity` gets what it is.
FileDescriptor OpenFileOfJournal(const std::string& path, const std::string& shownFile,
                                 const std::string& journal, const JournalEntry& entry,
                                 FileIdentity& identity) {
  // Reached as every name lbe opens, a link another user planted in a shared folder refused,
  // and never a device or FIFO opened.
  CheckPath(path, true);
  OpenedName opened;
  std::string refusedLink;
  const bool reached = OpenRegularFile(path, O_RDWR | O_NONBLOCK | O_NOCTTY, opened, &refusedLink);
  if (!refusedLink.empty()) {
    throw RefusedLinkError(refusedLink);
  }
  FileDescriptor file = std::move(opened.File);
  if (!reached || !IdentityOf(file.Get(), identity)) {
    throw OpenError(path, errno);
  }
  if (!S_ISREG(identity.Info.st_mode) || !EntryIsFor(entry, identity)) {
    throw ListError(shownFile + " is not the file " + journal + " was made for; " +
                    std::string(kNothingDone));
  }
  if (::flock(file.Get(), LOCK_EX | LOCK_NB) != 0) {
    throw ListError(shownFile + " is held by another lbe; " + std::string(kNothingDone));
  }
  return file;
}

// Counts in `figures` the bytes of `file` that putting the journal's former bytes back would
// change, and the runs of them; false with errno set when either cannot be read.
bool CountPutBack(const FoundJournal& found, int file, PutBackFigures& figures) {
  std::uint64_t runEnd = 0;
  std::vector<std::uint8_t> now;
  for (std::size_t i = 0; i < found.Entry.Old.size(); ++i) {
    const Extent& extent = found.Entry.Old[i];
    const bool read =
        InChunks(extent.Length, [&](std::uint8_t* former, std::size_t count, std::uint64_t done) {
          const std::uint64_t at = extent.Offset + done;
          const auto present = static_cast<std::size_t>(
              std::min<std::uint64_t>(count, figures.LengthNow > at ? figures.LengthNow - at : 0));
          now.assign(present, 0);
          if (!ReadAt(found.File.Get(), former, count, found.OldAt[i] + done) ||
              !ReadAt(file, now.data(), present, at)) {
            return false;
          }
          for (std::size_t k = 0; k < count; ++k) {
            if (k < present && now[k] == former[k]) {
              continue;
            }
            figures.Stretches += figures.Bytes == 0 || runEnd != at + k ? 1 : 0;
            ++figures.Bytes;
            runEnd = at + k + 1;
          }
          return true;
        });
    if (!read) {
      return false;
    }
  }
  return true;
}

}  // namespace

PutBackOutcome ApplyJournal(const JournalPlace& place, const std::optional<std::string>& filePath,
                            const PutBackQuestion& ask) {
  const FoundJournal found = TrustedJournal(place, kNothingDone);
  const JournalEntry& entry = found.Entry;
  const std::string journal = Shown(place.Shown());
  if (entry.Created) {
    throw ListError(journal + " is the journal of a save that created " + RecordedPath(entry) +
                    ": there are no former bytes to put back");
  }
  PutBackOutcome outcome;
  PutBackFigures& figures = outcome.Figures;
  figures.FilePath = filePath.value_or(entry.Path);
  const std::string shownFile = Shown(figures.FilePath);
  if (figures.FilePath.empty()) {
    throw ListError(journal + " does not record its file's path: name the file after it");
  }
  FileIdentity identity;
  const FileDescriptor file =
      OpenFileOfJournal(figures.FilePath, shownFile, journal, entry, identity);
  figures.LengthNow = static_cast<std::uint64_t>(identity.Info.st_size);
  figures.LengthAfter = entry.FormerSize;
  if (!CountPutBack(found, file.Get(), figures)) {
    throw ListError(shownFile + " or " + journal + " cannot be read: " +
                    PlatformErrorText(errno != 0 ? errno : EIO) + "; " + std::string(kNothingDone));
  }
  if (!ask(figures)) {
    return outcome;
  }
  if (!PutBack(file.Get(), found)) {
    throw ListError(shownFile + " was not put back whole: " + PlatformErrorText(errno) +
                    "; the journal " + journal + " stays, to be applied again");
  }
  if (!place.Remove()) {
    throw ListError(shownFile + " was put back, but the journal " + journal +
                    " cannot be removed: " + PlatformErrorText(errno));
  }
  outcome.Applied = true;
  return outcome;
}

}  // namespace lbe::files
