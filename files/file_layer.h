#pragma once
// The file layer, the base of files/: the typed error in which every failure of a file is
// reported with the exact text the user sees, the one series of path checks, and the open file
// descriptor. Reaches nothing else of files/; knows nothing of the console or the image; borrows
// only the pure VisibleText for the paths it puts into messages.
//
// Linux mapping: "/" is the only folder separator ("\" is an ordinary name character); there
// are no drive letters and no extended-length prefixes, so every ":" fails the format check and
// "\\?\" fails on its "?"; paths are accepted up to the kernel's PATH_MAX. Sharing is kept with
// advisory flock locks (shared while reading, exclusive while saving), non-blocking, so a file
// locked by another lbe fails at once with the open or create message.

#include <signal.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace lbe::files {

// What kind of failure it was; KindName gives the name the stop report prints.
enum class FileErrorKind {
  PathTooLong,
  NotSupported,
  BadArgument,
  FolderNotFound,
  FileNotFound,
  InOutError,
  SystemError,
  ReadError,
  WriteError,
};

std::string_view KindName(FileErrorKind kind);

// what() is the whole message as the user sees it, path suffix included.
class FileError : public std::runtime_error {
 public:
  // Remembers where it was made (the caller of the constructor) for the stop report.
  FileError(FileErrorKind kind, const std::string& message);

  FileErrorKind Kind() const { return kind_; }
  // The address of the code that raised the error, as an offset into the executable.
  std::uintptr_t CodeOffset() const { return codeOffset_; }

 private:
  FileErrorKind kind_;
  std::uintptr_t codeOffset_;
};

// A file layer message for a stream: its CR LF line ends (PathSuffix, the system error's) as
// "\n".
std::string WithLineFeeds(std::string_view message);
// A line end (CR LF), "[", the path as passed with its control characters shown as "?", "]".
std::string PathSuffix(std::string_view path);
// strerror's text for `code` without trailing blanks, control characters and full stops.
std::string PlatformErrorText(int code);
// The text without its leading and trailing characters of code 32 or below (the blank and the
// controls): how typed names and paths are trimmed.
std::string_view TrimmedOfBlanksAndControls(std::string_view text);

// Raises the first failing check: length (PATH_MAX), format (":"), empty, characters, full
// path, folder, and when `mustExist` the file itself.
void CheckPath(std::string_view path, bool mustExist);

// The errors of the file layer's steps, with their messages filled in: opening to read,
// creating (or opening to write), setting the length, reading, writing.
FileError OpenError(std::string_view path, int code);
FileError CreateError(std::string_view path, int code);
FileError SystemError(int code);
FileError ReadError(int code);
FileError WriteError(int code);
// A symbolic link that OpenName would not follow, named by the path that reached it.
FileError RefusedLinkError(std::string_view link);

// The folder part of a path ("" when it has no "/").
std::string ParentOf(std::string_view path);
// The working folder's absolute path; empty with `error` set (errno's code) when it has none.
std::string CurrentFolder(int& error);
// True when something other than a folder is at `path` (links followed).
bool IsFileOtherThanFolder(std::string_view path);
// The text of the symbolic link at `path`; false with errno set when it is none or unreadable.
bool ReadLink(const std::string& path, std::string& target);

// While a file is written: beyond the process's file size limit the kernel would otherwise end
// lbe, the terminal still taken, instead of failing the write with its error.
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

// Owns a file descriptor; closes it at the end.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    Reset(std::exchange(other.fd_, -1));
    return *this;
  }
  ~FileDescriptor() { Close(); }
  int Get() const { return fd_; }
  bool IsOpen() const { return fd_ >= 0; }
  void Reset(int fd) {
    Close();
    fd_ = fd;
  }
  // The result of close, which on some file systems is where a failed write shows.
  int Close();

 private:
  int fd_;
};

// The report written to standard error after a file error stopped the program: kind, the
// executable's file name without its folder, the code offset in 8 hex digits, the message and a
// closing "." where the message has no full stop of its own; line ends are "\n".
std::string StopReport(const FileError& error, std::string_view executableName);

}  // namespace lbe::files
