#include "files/state_folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string_view>
#include <utility>

#include "files/test_hooks.h"
#include "text/visible_text.h"

namespace lbe::files {

namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr int kMostLinkHops = 40;
constexpr std::size_t kLargestUserDatabase = std::size_t{16} << 20;

bool UsersOrRoots(const struct stat& info) {
  return info.st_uid == ::geteuid() || info.st_uid == 0;
}

bool OthersMayWrite(const struct stat& info) {
  return (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

std::string Quoted(std::string_view path) {
  return "\"" + text::VisibleText(path) + "\"";
}

// Why the folder of status `info`, reached as `reached`, is not to be used on the way (or, when
// `last`, as the state folder); empty when it may.
std::string FolderDistrust(const struct stat& info, bool last, const std::string& reached) {
  if (!UsersOrRoots(info)) {
    return last ? "it belongs to another user"
                : "the folder " + Quoted(reached) + " on its way belongs to another user";
  }
  if (last ? OthersMayWrite(info) : OthersMayWrite(info) && (info.st_mode & S_ISVTX) == 0) {
    return last ? "others may write it"
                : "others may write the folder " + Quoted(reached) + " on its way";
  }
  return {};
}

enum class LinkStep { NotALink, Followed, Refused };

// After `name` in `folder` would not open as a folder: when it is a symbolic link of the user's
// or root's (a dotfile manager's, the administrator's /home elsewhere), its target goes in
// front of `rest`, and `folder` and `reached` go back to where the target starts from.
LinkStep FollowLink(FileDescriptor& folder, const std::string& name, std::string& reached,
                    std::string& rest, int& hops, std::string& why) {
  struct stat link {};
  if (::fstatat(folder.Get(), name.c_str(), &link, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISLNK(link.st_mode)) {
    return LinkStep::NotALink;
  }
  if (!UsersOrRoots(link)) {
    why = "it is reached through the symbolic link " + Quoted(reached) + " of another user";
    return LinkStep::Refused;
  }
  std::string target(static_cast<std::size_t>(link.st_size) + 1, '\0');
  const ssize_t length = ::readlinkat(folder.Get(), name.c_str(), target.data(), target.size());
  if (length <= 0 || static_cast<std::size_t>(length) >= target.size() || ++hops > kMostLinkHops) {
    why = "it cannot be reached: " + PlatformErrorText(length < 0 ? errno : ELOOP);
    return LinkStep::Refused;
  }
  target.resize(static_cast<std::size_t>(length));
  rest = target + "/" + rest;
  reached = reached.substr(0, reached.rfind('/') + 1);
  if (target.front() == '/') {
    folder.Reset(::open("/", kFolderFlags));
    reached = "/";
  }
  return LinkStep::Followed;
}

// Walks `path` from "/" one folder at a time, as the kernel would, but holding every folder on
// the way and every link to the rules above; the folder at its end, open, or -1 with `why` set
// when one of them fails (`why` empty: a folder is missing).
FileDescriptor WalkToFolder(std::string_view path, bool create, std::string& why) {
  FileDescriptor folder(::open("/", kFolderFlags));
  std::string reached = "/";  // for messages: where the walk stands
  std::string rest(path);
  int hops = 0;
  while (folder.IsOpen()) {
    struct stat info {};
    if (::fstat(folder.Get(), &info) != 0) {
      why = "it cannot be read: " + PlatformErrorText(errno);
      return FileDescriptor(-1);
    }
    const bool last = rest.find_first_not_of('/') == std::string::npos;
    why = FolderDistrust(info, last, reached);
    if (!why.empty()) {
      return FileDescriptor(-1);
    }
    if (last) {
      return folder;
    }
    const std::size_t start = rest.find_first_not_of('/');
    const std::size_t end = rest.find('/', start);
    const std::string name = rest.substr(start, end - start);
    rest = end == std::string::npos ? std::string() : rest.substr(end);
    if (name == ".") {
      continue;
    }
    reached += (reached.ends_with('/') ? "" : "/") + name;
    int next = ::openat(folder.Get(), name.c_str(), kFolderFlags);
    // Made only inside a folder of the user's own: never in another user's home.
    if (next < 0 && errno == ENOENT && create && info.st_uid == ::geteuid() &&
        (::mkdirat(folder.Get(), name.c_str(), 0700) == 0 || errno == EEXIST)) {
      next = ::openat(folder.Get(), name.c_str(), kFolderFlags);
    }
    if (next < 0 && (errno == ELOOP || errno == ENOTDIR)) {
      const LinkStep step = FollowLink(folder, name, reached, rest, hops, why);
      if (step == LinkStep::Refused) {
        return FileDescriptor(-1);
      }
      if (step == LinkStep::Followed) {
        continue;
      }
    }
    if (next < 0) {
      if (errno != ENOENT) {
        why = "it cannot be reached: " + PlatformErrorText(errno);
      }
      return FileDescriptor(-1);
    }
    folder.Reset(next);
  }
  return folder;
}

// $HOME unless it is another user's folder (sudo -E keeps the invoking user's); empty when it
// is not set, not absolute, or another user's.
std::string HomeUnlessAnothers() {
  const char* home = std::getenv("HOME");
  struct stat info {};
  if (home == nullptr || home[0] != '/' ||
      (::stat(home, &info) == 0 && info.st_uid != ::geteuid())) {
    return {};
  }
  return home;
}

std::string AbsoluteVariable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] == '/' ? std::string(value) : std::string();
}

// The path of the user's own state folder; empty when there is no home to put it in. Under
// another user's HOME, that user's XDG_STATE_HOME is passed over too.
std::string OwnStatePath() {
  const char* home = std::getenv("HOME");
  const std::string own = HomeUnlessAnothers();
  if (!own.empty() || home == nullptr || home[0] != '/') {
    if (const std::string state = AbsoluteVariable("XDG_STATE_HOME"); !state.empty()) {
      return state + "/lbe";
    }
  }
  const std::string base = own.empty() ? OwnHome() : own;
  return base.empty() ? std::string() : base + "/.local/state/lbe";
}

// ~/.local/state/lbe of the user's home: where a save under XDG_STATE_HOME notes that folder, so
// that a load under another XDG_STATE_HOME still looks there.
std::string HomeStatePath() {
  std::string home = HomeUnlessAnothers();
  if (home.empty()) {
    home = OwnHome();
  }
  return home.empty() ? std::string() : home + "/.local/state/lbe";
}

constexpr std::string_view kFolderList = "state-folders";
constexpr std::size_t kLargestFolderList = 64 << 10;

// The state folders a home's list names, one absolute path a line; none from a list lbe cannot
// trust (the home's state folder or the list not the user's own, or others may write them).
std::vector<std::string> ListedIn(const FileDescriptor& folder) {
  FileDescriptor list(folder.IsOpen() ? ::openat(folder.Get(), std::string(kFolderList).c_str(),
                                                 O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)
                                      : -1);
  struct stat info {};
  if (!list.IsOpen() || ::fstat(list.Get(), &info) != 0 || !S_ISREG(info.st_mode) ||
      !UsersOrRoots(info) || OthersMayWrite(info) ||
      static_cast<std::size_t>(info.st_size) > kLargestFolderList) {
    return {};
  }
  std::string text(static_cast<std::size_t>(info.st_size), '\0');
  if (::pread(list.Get(), text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
    return {};
  }
  std::vector<std::string> paths;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = std::min(text.find('\n', at), text.size());
    if (end > at && text[at] == '/') {
      paths.push_back(text.substr(at, end - at));
    }
    at = end + 1;
  }
  return paths;
}

std::vector<std::string> ListedFolders(const std::string& homeState) {
  std::string why;
  return ListedIn(WalkToFolder(homeState, false, why));
}

std::string WithSlash(std::string path) {
  if (!path.ends_with('/')) {
    path += '/';
  }
  return path;
}

}  // namespace

namespace {
std::string HomeInUserDatabase();
}  // namespace

std::string OwnHome() {
  // Read once a run: the user does not change while lbe runs.
  static std::string readFrom;
  static std::string home;
  if (readFrom == UserDatabase()) {
    return home;
  }
  readFrom = UserDatabase();
  home = HomeInUserDatabase();
  return home;
}

namespace {

std::string HomeInUserDatabase() {
  FileDescriptor file(::open(std::string(UserDatabase()).c_str(), O_RDONLY | O_CLOEXEC));
  std::string text;
  char buffer[8192];
  for (ssize_t got; file.IsOpen() && text.size() < kLargestUserDatabase &&
                    (got = ::read(file.Get(), buffer, sizeof buffer)) > 0;) {
    text.append(buffer, static_cast<std::size_t>(got));
  }
  // name:password:uid:gid:gecos:home:shell, one user a line; the first line of this uid counts.
  const std::string uid = std::to_string(::geteuid());
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = std::min(text.find('\n', at), text.size());
    const std::string_view line(text.data() + at, end - at);
    at = end + 1;
    std::string_view fields[7];
    std::size_t count = 0;
    for (std::size_t from = 0; count < 7;) {
      const std::size_t colon = line.find(':', from);
      fields[count++] = line.substr(from, colon - from);
      if (colon == std::string_view::npos) {
        break;
      }
      from = colon + 1;
    }
    if (count >= 6 && fields[2] == uid) {
      return fields[5].starts_with('/') ? std::string(fields[5]) : std::string();
    }
  }
  return {};
}

}  // namespace

FileDescriptor OpenStateFolder(bool create, std::string& path, std::string* refusal) {
  path = OwnStatePath();
  std::string why;
  FileDescriptor folder = path.empty() ? FileDescriptor(-1) : WalkToFolder(path, create, why);
  if (refusal != nullptr) {
    *refusal = why;
  }
  if (folder.IsOpen()) {
    path = WithSlash(path);
  }
  return folder;
}

void NoteStateFolderInUse() {
  const std::string own = OwnStatePath();
  const std::string homeState = HomeStatePath();
  static std::string noted;  // once a run is enough
  if (own.empty() || homeState.empty() || own == homeState || noted == own + "\n" + homeState) {
    return;
  }
  noted = own + "\n" + homeState;
  const std::vector<std::string> listed = ListedFolders(homeState);
  if (std::find(listed.begin(), listed.end(), own) != listed.end()) {
    return;
  }
  std::string why;
  const FileDescriptor folder = WalkToFolder(homeState, true, why);
  FileDescriptor list(folder.IsOpen()
                          ? ::openat(folder.Get(), std::string(kFolderList).c_str(),
                                     O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600)
                          : -1);
  const std::string line = own + "\n";
  if (list.IsOpen()) {
    (void)!::write(list.Get(), line.data(), line.size());
  }
}

std::vector<SearchedFolder> SearchedStateFolders(std::string* ownRefusal, std::string* ownPath) {
  std::vector<std::string> paths = {OwnStatePath()};
  if (ownPath != nullptr) {
    *ownPath = paths.front();
  }
  if (const std::string state = AbsoluteVariable("XDG_STATE_HOME"); !state.empty()) {
    paths.push_back(state + "/lbe");
  }
  if (const std::string home = AbsoluteVariable("HOME"); !home.empty()) {
    paths.push_back(home + "/.local/state/lbe");
  }
  const std::string home = OwnHome();
  const std::string homeState = home.empty() ? std::string() : home + "/.local/state/lbe";
  paths.push_back(homeState);
  // The homes' state folders list the folders that saves under another XDG_STATE_HOME used:
  // read from those folders as they are walked below, the listed ones walked after them.
  const std::string ownHomeState = HomeStatePath();
  std::vector<SearchedFolder> folders;
  std::vector<std::pair<dev_t, ino_t>> seen;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    const std::string path = paths[i];  // copied: listed folders join `paths` below
    if (path.empty() || std::find(paths.begin(), paths.begin() + static_cast<std::ptrdiff_t>(i),
                                  path) != paths.begin() + static_cast<std::ptrdiff_t>(i)) {
      continue;
    }
    SearchedFolder searched;
    searched.Path = WithSlash(path);
    searched.Folder = WalkToFolder(path, false, searched.Distrust);
    if (i == 0 && ownRefusal != nullptr) {
      *ownRefusal = searched.Distrust;
    }
    if (!searched.Folder.IsOpen() && !searched.Distrust.empty()) {
      // Read, never written: a journal in it can still be named.
      searched.Folder.Reset(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    }
    struct stat info {};
    if (!searched.Folder.IsOpen() || ::fstat(searched.Folder.Get(), &info) != 0) {
      continue;
    }
    const std::pair<dev_t, ino_t> identity{info.st_dev, info.st_ino};
    if (std::find(seen.begin(), seen.end(), identity) != seen.end()) {
      continue;
    }
    seen.push_back(identity);
    if (searched.Distrust.empty() && (path == ownHomeState || path == homeState)) {
      for (std::string& listed : ListedIn(searched.Folder)) {
        paths.push_back(std::move(listed));
      }
    }
    searched.Own = i == 0 && searched.Distrust.empty();
    folders.push_back(std::move(searched));
  }
  return folders;
}

std::string DistrustOfStatus(int fd, const struct stat* file) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    return "it cannot be read: " + PlatformErrorText(errno);
  }
  if (!S_ISREG(info.st_mode)) {
    return "it is not a regular file";
  }
  if (info.st_nlink != 1) {
    return "it has other links";
  }
  const bool ownedRight =
      info.st_uid == ::geteuid() || (file != nullptr && info.st_uid == file->st_uid);
  if (!ownedRight) {
    return "it belongs to another user";
  }
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return "others may write it";
  }
  return {};
}

std::string RenameAside(int folder, const std::string& name, std::string_view suffix) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string aside =
        name + std::string(suffix) + (attempt == 0 ? "" : "." + std::to_string(attempt));
    if (Sys("renameat2", [&] {
          return ::renameat2(folder, name.c_str(), folder, aside.c_str(), RENAME_NOREPLACE);
        }) == 0) {
      return aside;
    }
    if (errno != EEXIST) {
      return {};
    }
  }
  errno = EEXIST;
  return {};
}

std::string StateFolder() {
  std::string path;
  return OpenStateFolder(false, path).IsOpen() ? path : std::string();
}

}  // namespace lbe::files
