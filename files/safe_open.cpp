#include "files/safe_open.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <utility>

namespace lbe::files {

namespace {

constexpr int kMostLinkHops = 40;  // the kernel's own limit
// A name that changed between the look at it and its open is looked at again, this often.
constexpr int kMostRetries = 8;
// Each component is looked at, never opened: an O_PATH descriptor of a link is the link itself.
constexpr int kLookFlags = O_PATH | O_NOFOLLOW | O_CLOEXEC;

// Where the walk stands: a folder, what it is, and the path by which it was reached.
struct WalkPoint {
  FileDescriptor Folder{-1};
  struct stat Info {};
  std::string Spelled;  // "" for the working folder, else ending in "/"
};

bool StartAt(bool atRoot, WalkPoint& at) {
  at.Folder.Reset(::open(atRoot ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  at.Spelled = atRoot ? "/" : "";
  return at.Folder.IsOpen() && ::fstat(at.Folder.Get(), &at.Info) == 0;
}

// A folder where anyone may put a name and only its owner may remove it: /tmp and its kind.
bool IsSharedSticky(const struct stat& folder) {
  return (folder.st_mode & S_ISVTX) != 0 && (folder.st_mode & S_IWOTH) != 0;
}

// Whether a name in `folder` may be trusted: in a shared sticky folder, only when it belongs to
// this user or to the folder's owner, who alone could have put it there for them.
bool Trusted(const struct stat& name, const struct stat& folder) {
  return !IsSharedSticky(folder) || name.st_uid == ::geteuid() || name.st_uid == folder.st_uid;
}

// The text of the link open (O_PATH) as `link`. False with errno set.
bool ReadLink(int link, std::string& target) {
  char buffer[PATH_MAX];
  const ssize_t length = ::readlinkat(link, "", buffer, sizeof buffer);
  if (length < 0) {
    return false;
  }
  if (static_cast<std::size_t>(length) >= sizeof buffer) {
    errno = ENAMETOOLONG;
    return false;
  }
  target.assign(buffer, static_cast<std::size_t>(length));
  return true;
}

// The path the kernel gives the open file; empty when it has none that fits.
std::string RealPathOf(int fd) {
  char buffer[PATH_MAX];
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t length = ::readlink(self.c_str(), buffer, sizeof buffer);
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof buffer) {
    return {};
  }
  return std::string(buffer, static_cast<std::size_t>(length));
}

void Finish(WalkPoint& at, std::string name, FileDescriptor file, OpenedName& out) {
  out.RealPath = RealPathOf(file.Get());
  out.File = std::move(file);
  out.Folder = std::move(at.Folder);
  out.Name = std::move(name);
}

// A link of the kernel's own in /proc (/proc/self/fd/N, /dev/stdin's end, /proc/self/cwd):
// it leads to an open file or folder, whatever its text says ("pipe:[1234]", "NAME (deleted)").
bool IsKernelLink(int link) {
  struct statfs where {};
  return ::fstatfs(link, &where) == 0 && where.f_type == PROC_SUPER_MAGIC;
}

// Follows the link `name`, open (O_PATH) as `link` in the folder reached and the `hop`th link
// of the walk (from 1): its text is put in front of what is left to walk, and the walk moves to
// "/" when it starts there; a link of the kernel's own is followed by the kernel, into a folder
// or to `jumped`, what it leads to. False with errno set: EACCES when the link is not to be
// trusted (named in `refusedLink`), ELOOP past the most links the kernel follows.
bool FollowLink(WalkPoint& at, const std::string& name, int link, const struct stat& seen, int hop,
                std::string& rest, std::string* refusedLink, FileDescriptor& jumped) {
  if (!Trusted(seen, at.Info)) {
    if (refusedLink != nullptr) {
      *refusedLink = at.Spelled + name;
    }
    errno = EACCES;
    return false;
  }
  if (hop > kMostLinkHops) {
    errno = ELOOP;
    return false;
  }
  if (IsKernelLink(link)) {
    jumped.Reset(::openat(at.Folder.Get(), name.c_str(), O_PATH | O_CLOEXEC));
    struct stat reached {};
    if (!jumped.IsOpen() || ::fstat(jumped.Get(), &reached) != 0) {
      return false;
    }
    if (S_ISDIR(reached.st_mode)) {
      at.Folder = std::move(jumped);
      at.Info = reached;
      at.Spelled += name + "/";
    }
    return true;
  }
  std::string target;
  if (!ReadLink(link, target)) {
    return false;
  }
  if (target.empty()) {
    errno = ENOENT;
    return false;
  }
  if (target.front() == '/' && !StartAt(true, at)) {
    return false;
  }
  rest.insert(0, target);
  return true;
}

// Opens what a link of the kernel's own led to, no folder: it has no folder to give.
bool OpenJumpedTo(const FileDescriptor& jumped, bool last, int flags, OpenedName& out) {
  if (!last) {
    errno = ENOTDIR;
    return false;
  }
  const std::string self = "/proc/self/fd/" + std::to_string(jumped.Get());
  out.File.Reset(::open(self.c_str(), flags & ~(O_CREAT | O_EXCL | O_NOFOLLOW)));
  if (!out.File.IsOpen()) {
    return false;
  }
  out.RealPath = RealPathOf(out.File.Get());
  return true;
}

enum class Outcome { Opened, Failed, LookAgain };

// The path ended in a folder: that folder, opened with the flags asked.
bool OpenFolderItself(WalkPoint& at, int flags, OpenedName& out) {
  if ((flags & O_CREAT) != 0) {
    errno = EISDIR;
    return false;
  }
  FileDescriptor file(::openat(at.Folder.Get(), ".", flags));
  if (!file.IsOpen()) {
    return false;
  }
  Finish(at, ".", std::move(file), out);
  return true;
}

// Opens the final name, no link, seen as `seen`; LookAgain when another file took the name
// between the look and the open.
Outcome OpenExistingName(WalkPoint& at, const std::string& name, const struct stat& seen, int flags,
                         OpenedName& out) {
  if ((flags & O_CREAT) != 0 && S_ISDIR(seen.st_mode)) {
    errno = EISDIR;
    return Outcome::Failed;
  }
  if ((flags & O_CREAT) != 0 && S_ISREG(seen.st_mode) && !Trusted(seen, at.Info)) {
    errno = EACCES;  // as the kernel's rule for regular files in shared folders
    return Outcome::Failed;
  }
  FileDescriptor file(
      ::openat(at.Folder.Get(), name.c_str(), (flags & ~(O_CREAT | O_EXCL)) | O_NOFOLLOW));
  if (!file.IsOpen()) {
    return errno == ELOOP || errno == ENOENT ? Outcome::LookAgain : Outcome::Failed;
  }
  struct stat now {};
  if (::fstat(file.Get(), &now) != 0) {
    return Outcome::Failed;
  }
  if (now.st_dev != seen.st_dev || now.st_ino != seen.st_ino) {
    return Outcome::LookAgain;
  }
  Finish(at, name, std::move(file), out);
  return Outcome::Opened;
}

// Creates the final name, which was missing; LookAgain when something appeared there meanwhile.
Outcome CreateName(WalkPoint& at, const std::string& name, int flags, mode_t mode,
                   OpenedName& out) {
  FileDescriptor file(
      ::openat(at.Folder.Get(), name.c_str(), flags | O_CREAT | O_EXCL | O_NOFOLLOW, mode));
  if (!file.IsOpen()) {
    return errno == EEXIST && (flags & O_EXCL) == 0 ? Outcome::LookAgain : Outcome::Failed;
  }
  out.Created = true;
  Finish(at, name, std::move(file), out);
  return Outcome::Opened;
}

// What a walk is given and where it stands: the name still to walk (links spliced in as they are
// met, the slashes after the component taken kept, so that a trailing one is seen), the links
// followed and the looks taken again so far.
struct Walk {
  int Flags = 0;
  bool Exclusive = false;
  std::string Rest;
  int Hops = 0;
  int Retries = 0;
  std::string* RefusedLink = nullptr;
};

// The kernel's "..": the parent of the folder reached, whatever link led there. False with errno
// set.
bool TakeParent(WalkPoint& at) {
  at.Folder.Reset(::openat(at.Folder.Get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!at.Folder.IsOpen() || ::fstat(at.Folder.Get(), &at.Info) != 0) {
    return false;
  }
  at.Spelled += "../";
  return true;
}

// What one step of the walk came to.
enum class Step { Next, Opened, Failed };

// A component `name` that is there (`next`, of status `seen`): a link followed, a folder walked
// into, or, last, the file opened.
Step StepOnto(WalkPoint& at, const std::string& name, FileDescriptor next, const struct stat& seen,
              bool last, bool trailingSlash, Walk& walk, OpenedName& out) {
  if (S_ISLNK(seen.st_mode)) {
    if (last && (walk.Exclusive || (walk.Flags & O_NOFOLLOW) != 0)) {
      errno = walk.Exclusive ? EEXIST : ELOOP;
      return Step::Failed;
    }
    FileDescriptor jumped(-1);
    if (!FollowLink(at, name, next.Get(), seen, ++walk.Hops, walk.Rest, walk.RefusedLink, jumped)) {
      return Step::Failed;
    }
    if (jumped.IsOpen()) {
      return OpenJumpedTo(jumped, last && !trailingSlash, walk.Flags, out) ? Step::Opened
                                                                           : Step::Failed;
    }
    return Step::Next;
  }
  if (!last || trailingSlash) {
    if (!S_ISDIR(seen.st_mode)) {
      errno = ENOTDIR;
      return Step::Failed;
    }
    if (!last) {
      at.Folder = std::move(next);
      at.Info = seen;
      at.Spelled += name + "/";
      return Step::Next;
    }
  }
  if (walk.Exclusive) {
    errno = EEXIST;
    return Step::Failed;
  }
  const Outcome opened = OpenExistingName(at, name, seen, walk.Flags, out);
  if (opened == Outcome::LookAgain && ++walk.Retries <= kMostRetries) {
    walk.Rest.insert(0, name);
    return Step::Next;
  }
  if (opened == Outcome::LookAgain) {
    errno = ESTALE;
  }
  return opened == Outcome::Opened ? Step::Opened : Step::Failed;
}

}  // namespace

bool OpenName(std::string_view path, int flags, mode_t mode, OpenedName& out,
              std::string* refusedLink) {
  out = OpenedName{};
  if (refusedLink != nullptr) {
    refusedLink->clear();
  }
  if (path.empty()) {
    errno = ENOENT;
    return false;
  }
  WalkPoint at;
  if (!StartAt(path.front() == '/', at)) {
    return false;
  }
  const bool create = (flags & O_CREAT) != 0;
  Walk walk{flags, create && (flags & O_EXCL) != 0, std::string(path), 0, 0, refusedLink};
  for (;;) {
    const std::size_t begin = walk.Rest.find_first_not_of('/');
    if (begin == std::string::npos) {
      return OpenFolderItself(at, flags, out);
    }
    const std::size_t end = walk.Rest.find('/', begin);
    const std::string name = walk.Rest.substr(begin, end - begin);
    walk.Rest.erase(0, end == std::string::npos ? walk.Rest.size() : end);
    const bool last = walk.Rest.find_first_not_of('/') == std::string::npos;
    const bool trailingSlash = last && !walk.Rest.empty();
    if (name == ".") {
      continue;
    }
    if (name == "..") {
      if (!TakeParent(at)) {
        return false;
      }
      continue;
    }
    if (create && trailingSlash) {
      errno = EISDIR;  // open(2) creates no folder
      return false;
    }
    FileDescriptor next(::openat(at.Folder.Get(), name.c_str(), kLookFlags));
    struct stat seen {};
    if (!next.IsOpen() || ::fstat(next.Get(), &seen) != 0) {
      if (!next.IsOpen() && errno == ENOENT && last && create) {
        const Outcome made = CreateName(at, name, flags, mode, out);
        if (made == Outcome::LookAgain && ++walk.Retries <= kMostRetries) {
          walk.Rest.insert(0, name);
          continue;
        }
        return made == Outcome::Opened;
      }
      return false;
    }
    const Step step = StepOnto(at, name, std::move(next), seen, last, trailingSlash, walk, out);
    if (step != Step::Next) {
      return step == Step::Opened;
    }
  }
}

}  // namespace lbe::files

namespace lbe::files {

bool OpenRegularFile(std::string_view path, int flags, OpenedName& out, std::string* refusedLink) {
  if (!OpenName(path, O_PATH | O_CLOEXEC, 0, out, refusedLink)) {
    return false;
  }
  struct stat looked {};
  if (::fstat(out.File.Get(), &looked) != 0) {
    return false;
  }
  if (!S_ISREG(looked.st_mode)) {
    errno = S_ISDIR(looked.st_mode) ? EISDIR : ENOTSUP;
    return false;
  }
  // The same file again, now for reading or writing: by its folder and name, or, for a file
  // reached through /proc's own links, by the descriptor that holds it.
  const std::string self = "/proc/self/fd/" + std::to_string(out.File.Get());
  FileDescriptor file(out.Folder.IsOpen() ? ::openat(out.Folder.Get(), out.Name.c_str(),
                                                     flags | O_NOFOLLOW | O_CLOEXEC)
                                          : ::open(self.c_str(), flags | O_CLOEXEC));
  struct stat opened {};
  if (!file.IsOpen() || ::fstat(file.Get(), &opened) != 0) {
    return false;
  }
  if (opened.st_dev != looked.st_dev || opened.st_ino != looked.st_ino) {
    errno = ESTALE;  // replaced between the look and the open
    return false;
  }
  out.File = std::move(file);
  return true;
}

}  // namespace lbe::files
