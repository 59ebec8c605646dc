#include "files/new_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <utility>

#include "files/file_layer.h"
#include "files/plain_io.h"
#include "files/test_hooks.h"

namespace lbe::files {

namespace {

// The bytes go out in pieces of this size, each written whole before the next.
constexpr std::size_t kPiece = std::size_t{64} << 10;
// A private name is "." NAME ".XXXXXX": NAME is cut to keep it within the kernel's limit.
constexpr std::size_t kMostNameBytes = NAME_MAX - 8;

// The file being written before it has its name: unnamed, or under a dot-name of its own that
// goes at the end, whatever happened.
struct PrivateFile {
  FileDescriptor File{-1};
  std::string Name;  // empty: unnamed

  PrivateFile() = default;
  PrivateFile(const PrivateFile&) = delete;
  PrivateFile& operator=(const PrivateFile&) = delete;
  ~PrivateFile() {
    if (!Name.empty()) {
      ::unlink(Name.c_str());
    }
  }
};

// The permission bits that open(O_CREAT, 0666) gives a new file under the process's umask.
mode_t NewFileMode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

// Opens the private file in `folder` (ending in "/", or "" for the working folder) for the file
// `name`: unnamed where the file system has such files, else under a dot-name only this process
// opened. False with errno set.
bool OpenPrivate(const std::string& folder, std::string_view name, PrivateFile& file) {
  const std::string opened = folder.empty() ? "." : folder;
  // The mode goes through the umask, and a folder's default ACL, as a created file's would.
  file.File.Reset(
      Sys("open", [&] { return ::open(opened.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666); }));
  if (file.File.IsOpen()) {
    return true;
  }
  // Not only a file system without unnamed files fails it (and a kernel older than them, which
  // takes the flag for a folder to open): so do some that have them, in a folder that is gone.
  // The dot-name's create fails, if at all, as the ordinary create of the name would.
  std::string hidden = folder + "." + std::string(name.substr(0, kMostNameBytes)) + ".XXXXXX";
  // mkostemp creates with O_EXCL and mode 0600: no one else can have it open.
  file.File.Reset(Sys("mkostemp", [&] { return ::mkostemp(hidden.data(), O_CLOEXEC); }));
  if (!file.File.IsOpen()) {
    return false;
  }
  file.Name = std::move(hidden);
  return Sys("fchmod", [&] { return ::fchmod(file.File.Get(), NewFileMode()); }) == 0;
}

// Gives the private file the name `target`, which link never takes from another file. False
// with errno set (EEXIST: something is there).
bool LinkIn(const PrivateFile& file, const std::string& target) {
  if (!file.Name.empty()) {
    return Sys("linkat", [&] {
             return ::linkat(AT_FDCWD, file.Name.c_str(), AT_FDCWD, target.c_str(), 0);
           }) == 0;
  }
  // An unnamed file is reached through its descriptor's entry in /proc.
  const std::string self = "/proc/self/fd/" + std::to_string(file.File.Get());
  return Sys("linkat", [&] {
           return ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, target.c_str(), AT_SYMLINK_FOLLOW);
         }) == 0;
}

// Puts the folder's new entry on the disk. A folder this process may not read cannot be opened
// to be flushed: the entry then reaches the disk with the file system's next commit. False with
// errno set.
bool FlushFolder(const std::string& folder) {
  const std::string opened = folder.empty() ? "." : folder;
  const FileDescriptor handle(
      Sys("open", [&] { return ::open(opened.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
  return !handle.IsOpen() || Sys("fsync", [&] { return ::fsync(handle.Get()); }) == 0;
}

// Takes the name `target` away again, while it still leads to the file open as `fd`.
void UnlinkIfOurs(const std::string& target, int fd) {
  struct stat ours {};
  struct stat there {};
  if (::fstat(fd, &ours) == 0 && ::lstat(target.c_str(), &there) == 0 &&
      ours.st_dev == there.st_dev && ours.st_ino == there.st_ino) {
    ::unlink(target.c_str());
  }
}

}  // namespace

void OutputFile::WriteAt(std::uint64_t offset, std::span<const std::uint8_t> bytes) const {
  const FileSizeSignalIgnored sizeSignalIgnored;
  for (std::size_t at = 0; at < bytes.size(); at += kPiece) {
    const auto piece = bytes.subspan(at, std::min(kPiece, bytes.size() - at));
    if (!MoveAll(piece.size(), [&](std::size_t done) {
          return Sys("pwrite", [&] {
            return ::pwrite(fd_, piece.data() + done, piece.size() - done,
                            static_cast<off_t>(offset + at + done));
          });
        })) {
      // The process's file size limit: reported as the journalled save reports it.
      throw errno == EFBIG ? SystemError(errno) : WriteError(errno);
    }
  }
}

void OutputFile::ReadAt(std::uint64_t offset, std::span<std::uint8_t> bytes) const {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t got = Sys("pread", [&] {
      return ::pread(fd_, bytes.data() + done, bytes.size() - done,
                     static_cast<off_t>(offset + done));
    });
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      throw ReadError(errno);
    }
    if (got == 0) {
      std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(done), bytes.end(), 0);
      return;
    }
    done += static_cast<std::size_t>(got);
  }
}

void OutputFile::SetLength(std::uint64_t length) const {
  const FileSizeSignalIgnored sizeSignalIgnored;
  if (Sys("ftruncate", [&] { return ::ftruncate(fd_, static_cast<off_t>(length)); }) != 0) {
    throw errno == EFBIG ? SystemError(errno) : WriteError(errno);
  }
}

std::uint64_t OutputFile::Length() const {
  struct stat info {};
  if (::fstat(fd_, &info) != 0) {
    throw ReadError(errno);
  }
  return static_cast<std::uint64_t>(info.st_size);
}

void WriteNewFile(std::string_view shownPath, const std::string& target,
                  const OutputWriter& write) {
  const FileSizeSignalIgnored sizeSignalIgnored;
  const std::size_t slash = target.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : target.substr(0, slash + 1);
  const std::string_view name = std::string_view(target).substr(folder.size());
  PrivateFile file;
  if (!OpenPrivate(folder, name, file)) {
    throw CreateError(shownPath, errno);
  }
  write(OutputFile(file.File.Get()));
  if (Sys("fdatasync", [&] { return ::fdatasync(file.File.Get()); }) != 0) {
    throw WriteError(errno);
  }
  if (!LinkIn(file, target)) {
    throw CreateError(shownPath, errno);
  }
  if (!FlushFolder(folder)) {
    const int code = errno;
    UnlinkIfOurs(target, file.File.Get());
    throw WriteError(code);
  }
}

void WriteNewFile(std::string_view shownPath, const std::string& target,
                  std::span<const std::uint8_t> bytes) {
  WriteNewFile(shownPath, target, [&](const OutputFile& file) { file.WriteAt(0, bytes); });
}

FileDescriptor OpenScratchFile(std::string_view path) {
  const std::string folder = ParentOf(path);
  FileDescriptor file(Sys("open", [&] {
    return ::open(folder.empty() ? "." : folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  }));
  if (file.IsOpen()) {
    return file;
  }
  // A folder that takes no new file (a writable file in a read-only folder), or a file system
  // without unnamed files: the temporary folder, named only for the moment it takes to unlink.
  const char* temporary = std::getenv("TMPDIR");
  const std::string elsewhere = temporary != nullptr && *temporary != '\0' ? temporary : "/tmp";
  file.Reset(
      Sys("open", [&] { return ::open(elsewhere.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600); }));
  if (file.IsOpen()) {
    return file;
  }
  std::string named = elsewhere + "/.lbe-scratch.XXXXXX";
  file.Reset(Sys("mkostemp", [&] { return ::mkostemp(named.data(), O_CLOEXEC); }));
  if (!file.IsOpen()) {
    throw CreateError(path, errno);
  }
  ::unlink(named.c_str());
  return file;
}

}  // namespace lbe::files
