#include "image/file_layer.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <initializer_list>
#include <random>
#include <system_error>

#include "console/text_cells.h"
#include "text/utf8.h"

// The linker's mark for the first byte of the executable; the stop report counts from it.
extern "C" const char __executable_start[] __attribute__((weak));

namespace lbe::image {

namespace {

namespace fs = std::filesystem;

// Every text the file layer shows, exactly as the user sees it. "%s" and "%d" are filled in
// order by Fill.
constexpr struct {
  std::string_view PathTooLong = "指定されたパスが長すぎます";
  std::string_view FormatNotSupported = "パスの形式がサポートされていません";
  std::string_view PathEmpty = "パスが空です";
  std::string_view InvalidCharacter = "パスに無効な文字が含まれています";
  std::string_view FolderMissing = "指定されたパスが見つかりません";
  std::string_view FileMissing = "指定されたファイルが見つかりません ";
  std::string_view CannotCreate = "ファイル \"%s\" を作成できません。%s";
  std::string_view CannotOpen = "ファイル %s は開けません。 %s ";
  std::string_view FileTooLong = "指定されたファイルが長すぎます。";
  std::string_view SystemError = "システム エラー。コード: %d。\r\n%s%s";
  std::string_view SystemCallFailed = "OS 機能呼び出しの失敗";
  std::string_view ReadFailed = "ストリームからの読み取りエラー";
  std::string_view WriteFailed = "ストリームへの書き込みエラー";
} kTexts;

constexpr std::string_view kFullStop = ".";
constexpr std::string_view kIdeographicFullStop = "。";
constexpr std::int64_t kLargestReadableFile = 0x7FFFFFFF;  // 2^31 bytes and more are refused
constexpr int kMostLinkHops = 40;                          // the kernel's own limit

std::string Fill(std::string_view pattern, std::initializer_list<std::string_view> values) {
  std::string out;
  auto value = values.begin();
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '%' && i + 1 < pattern.size() &&
        (pattern[i + 1] == 's' || pattern[i + 1] == 'd') && value != values.end()) {
      out += *value++;
      ++i;
    } else {
      out += pattern[i];
    }
  }
  return out;
}

bool IsBlankOrControl(char c) {
  return static_cast<unsigned char>(c) <= 32;
}

bool IsInvalidPathCharacter(char c) {
  return static_cast<unsigned char>(c) < 32 || c == '"' || c == '*' || c == '<' || c == '>' ||
         c == '?' || c == '|';
}

std::string ParentOf(std::string_view path) {
  const auto slash = path.rfind('/');
  if (slash == std::string_view::npos) {
    return {};
  }
  return std::string(path.substr(0, slash == 0 ? 1 : slash));
}

// The path resolved against the current directory, without touching "." or "..": the kernel
// resolves those through symbolic links, which a text rule cannot. When the current directory
// is gone (its own not-found error) the path stays as passed.
std::string FullPath(std::string_view path, std::error_code& error) {
  error.clear();
  if (!path.empty() && path.front() == '/') {
    return std::string(path);
  }
  const fs::path current = fs::current_path(error);
  if (error) {
    if (error.value() == ENOENT) {
      error.clear();
    }
    return std::string(path);
  }
  std::string full = current.native();
  if (full.empty() || full.back() != '/') {
    full += '/';
  }
  return full += path;
}

// For the open and create messages, after CheckPath has formed the same path once.
std::string ShownFullPath(std::string_view path) {
  std::error_code ignored;
  return console::VisibleText(FullPath(path, ignored));
}

FileError OpenError(std::string_view path, int code) {
  return FileError(
      FileErrorKind::EInOutError,
      Fill(kTexts.CannotOpen, {ShownFullPath(path), PlatformErrorText(code)}) + PathSuffix(path));
}

FileError CreateError(std::string_view path, int code) {
  return FileError(
      FileErrorKind::EInOutError,
      Fill(kTexts.CannotCreate, {ShownFullPath(path), PlatformErrorText(code)}) + PathSuffix(path));
}

FileError SystemError(int code) {
  if (code == 0) {
    return FileError(FileErrorKind::EOSError, std::string(kTexts.SystemCallFailed));
  }
  return FileError(FileErrorKind::EOSError,
                   Fill(kTexts.SystemError, {std::to_string(code), PlatformErrorText(code), ""}));
}

FileError StreamError(FileErrorKind kind, std::string_view text, int code) {
  std::string message(text);
  if (code != 0) {
    message += ": " + PlatformErrorText(code);
  }
  return FileError(kind, message);
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { Close(); }
  int Get() const { return fd_; }
  bool IsOpen() const { return fd_ >= 0; }
  void Reset(int fd) {
    Close();
    fd_ = fd;
  }
  // The result of close, which on some file systems is where a failed write shows.
  int Close() {
    const int result = fd_ >= 0 ? ::close(fd_) : 0;
    fd_ = -1;
    return result;
  }

 private:
  int fd_;
};

// The new contents on their way in: removed again unless Commit was called.
class TemporaryFile {
 public:
  TemporaryFile(std::string path, int fd) : path_(std::move(path)), file_(fd) {}
  ~TemporaryFile() {
    file_.Close();
    if (!committed_) {
      ::unlink(path_.c_str());
    }
  }
  const std::string& Path() const { return path_; }
  FileDescriptor& File() { return file_; }
  void Commit() { committed_ = true; }

 private:
  std::string path_;
  FileDescriptor file_;
  bool committed_ = false;
};

// While a save writes: beyond the file size limit the kernel would otherwise end the program
// with the terminal still taken, instead of failing the write with its error.
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

// The file a save replaces: the path with the symbolic links of its last component followed,
// so that the link stays and the file it points to gets the new contents. 0 or an errno.
int FollowLinks(std::string& target) {
  for (int hop = 0; hop < kMostLinkHops; ++hop) {
    std::error_code error;
    if (!fs::is_symlink(fs::symlink_status(target, error))) {
      return 0;
    }
    const fs::path link = fs::read_symlink(target, error);
    if (error) {
      return error.value();
    }
    const std::string parent = ParentOf(target);
    if (link.is_absolute() || parent.empty()) {
      target = link.native();
    } else {
      target = parent + (parent.back() == '/' ? "" : "/") + link.native();
    }
  }
  return ELOOP;
}

// A new file beside `target`, created as the target itself would be (mode 0666 less the umask,
// the folder's group), named so that a leftover after a crash shows whose it was.
TemporaryFile CreateTemporaryFile(std::string_view path, const std::string& target) {
  const std::string parent = ParentOf(target);
  std::string folder = parent.empty() ? "." : parent;
  if (folder.back() != '/') {
    folder += '/';
  }
  std::string_view base =
      std::string_view(target).substr(parent.empty() ? 0 : target.rfind('/') + 1);
  // Keeps the temporary name below the file system's 255-byte limit, whole characters only.
  const std::size_t keep =
      base.size() <= 64 ? base.size() : text::WholeCharactersLength(base.substr(0, 64));
  // Any spread of names will do: O_EXCL settles a clash. (No random_device: it may need a file
  // descriptor, and running out of them must show as the create message.)
  std::mt19937_64 generator(
      static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
      static_cast<std::uint64_t>(::getpid()));
  constexpr std::string_view kLetters = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::uniform_int_distribution<std::size_t> pick(0, kLetters.size() - 1);
  int code = EEXIST;
  for (int attempt = 0; attempt < 100 && code == EEXIST; ++attempt) {
    std::string name = folder + "." + std::string(base.substr(0, keep)) + ".lbe-";
    for (int i = 0; i < 8; ++i) {
      name += kLetters[pick(generator)];
    }
    const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd >= 0) {
      return TemporaryFile(std::move(name), fd);
    }
    code = errno;
  }
  throw CreateError(path, code);
}

}  // namespace

std::string_view KindName(FileErrorKind kind) {
  switch (kind) {
    case FileErrorKind::EPathTooLongException:
      return "EPathTooLongException";
    case FileErrorKind::ENotSupportedException:
      return "ENotSupportedException";
    case FileErrorKind::EInOutArgumentException:
      return "EInOutArgumentException";
    case FileErrorKind::EDirectoryNotFoundException:
      return "EDirectoryNotFoundException";
    case FileErrorKind::EFileNotFoundException:
      return "EFileNotFoundException";
    case FileErrorKind::EInOutError:
      return "EInOutError";
    case FileErrorKind::EOSError:
      return "EOSError";
    case FileErrorKind::EReadError:
      return "EReadError";
    case FileErrorKind::EWriteError:
      return "EWriteError";
  }
  return "EInOutError";
}

// Not inlined, so that the return address is the code that raised the error.
[[gnu::noinline]] FileError::FileError(FileErrorKind kind, const std::string& message)
    : std::runtime_error(message), kind_(kind) {
  const auto raisedAt = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
  const auto start = reinterpret_cast<std::uintptr_t>(__executable_start);
  codeOffset_ = raisedAt - start;
}

std::string PathSuffix(std::string_view path) {
  return "\r\n[" + console::VisibleText(path) + "]";
}

std::string PlatformErrorText(int code) {
  std::string text = std::generic_category().message(code);
  for (;;) {
    if (!text.empty() && (IsBlankOrControl(text.back()) || text.back() == '.')) {
      text.pop_back();
    } else if (text.ends_with(kIdeographicFullStop)) {
      text.resize(text.size() - kIdeographicFullStop.size());
    } else {
      return text;
    }
  }
}

std::string_view TrimmedOfBlanksAndControls(std::string_view text) {
  while (!text.empty() && IsBlankOrControl(text.front())) {
    text.remove_prefix(1);
  }
  while (!text.empty() && IsBlankOrControl(text.back())) {
    text.remove_suffix(1);
  }
  return text;
}

void CheckPath(std::string_view path, bool mustExist) {
  // Linux takes long paths, up to PATH_MAX bytes; beyond it every call would fail anyway.
  if (path.size() >= PATH_MAX) {
    throw FileError(FileErrorKind::EPathTooLongException,
                    std::string(kTexts.PathTooLong) + PathSuffix(path));
  }
  // No drive letters on Linux: every colon fails, so names stay portable.
  if (path.find(':') != std::string_view::npos) {
    throw FileError(FileErrorKind::ENotSupportedException, std::string(kTexts.FormatNotSupported));
  }
  if (TrimmedOfBlanksAndControls(path).empty()) {
    throw FileError(FileErrorKind::EInOutArgumentException, std::string(kTexts.PathEmpty));
  }
  if (std::any_of(path.begin(), path.end(), IsInvalidPathCharacter)) {
    throw FileError(FileErrorKind::EInOutArgumentException,
                    std::string(kTexts.InvalidCharacter) + PathSuffix(path));
  }
  std::error_code error;
  const std::string full = FullPath(path, error);
  if (error) {
    throw FileError(FileErrorKind::ENotSupportedException, PlatformErrorText(error.value()));
  }
  // The folder of the full path, reached through the path as given: a relative path under the
  // length limit may have a full form beyond it, which no call would take, yet it names a folder.
  const std::string folder = ParentOf(path);
  if (!fs::is_directory(folder.empty() ? fs::path(".") : fs::path(folder), error)) {
    throw FileError(FileErrorKind::EDirectoryNotFoundException,
                    std::string(kTexts.FolderMissing) + PathSuffix(path));
  }
  if (mustExist) {
    const fs::file_status file = fs::status(fs::path(path), error);
    if (!fs::exists(file) || fs::is_directory(file)) {
      throw FileError(FileErrorKind::EFileNotFoundException,
                      std::string(kTexts.FileMissing) + PathSuffix(path));
    }
  }
}

std::vector<std::uint8_t> ReadWholeFile(std::string_view path, std::size_t maxBytes) {
  CheckPath(path, true);
  const std::string name(path);
  // O_NONBLOCK: opening a FIFO with no writer would otherwise wait forever.
  FileDescriptor file(::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!file.IsOpen()) {
    throw OpenError(path, errno);
  }
  struct stat info {};
  if (::fstat(file.Get(), &info) != 0) {
    throw OpenError(path, errno);
  }
  // A FIFO or device has no length to read up to; its bytes are no file's contents.
  if (!S_ISREG(info.st_mode)) {
    throw OpenError(path, ENOTSUP);
  }
  // Others may read it with us, but another lbe saving it holds it exclusively.
  if (::flock(file.Get(), LOCK_SH | LOCK_NB) != 0) {
    throw OpenError(path, errno);
  }
  if (info.st_size > kLargestReadableFile) {
    throw FileError(FileErrorKind::EInOutError, std::string(kTexts.FileTooLong) + PathSuffix(path));
  }
  std::vector<std::uint8_t> bytes(std::min(static_cast<std::size_t>(info.st_size), maxBytes));
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t got = ::read(file.Get(), bytes.data() + done, bytes.size() - done);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      throw StreamError(FileErrorKind::EReadError, kTexts.ReadFailed, errno);
    }
    if (got == 0) {
      throw StreamError(FileErrorKind::EReadError, kTexts.ReadFailed, 0);
    }
    done += static_cast<std::size_t>(got);
  }
  return bytes;
}

void WriteWholeFile(std::string_view path, std::span<const std::uint8_t> bytes) {
  CheckPath(path, false);
  std::string target(path);
  if (const int code = FollowLinks(target); code != 0) {
    throw CreateError(path, code);
  }
  struct stat former {};
  const bool replacing = ::stat(target.c_str(), &former) == 0;
  if (!replacing && errno != ENOENT) {
    throw CreateError(path, errno);
  }
  // The exclusive lock on the former file keeps another lbe from reading or saving it while
  // this save runs; opening it for writing also keeps a write-protected file protected.
  FileDescriptor lock(-1);
  if (replacing) {
    if (S_ISDIR(former.st_mode)) {
      throw CreateError(path, EISDIR);
    }
    // Renaming over a FIFO or device would replace the node itself.
    if (!S_ISREG(former.st_mode)) {
      throw CreateError(path, ENOTSUP);
    }
    lock.Reset(::open(target.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!lock.IsOpen()) {
      throw CreateError(path, errno);
    }
    if (::flock(lock.Get(), LOCK_EX | LOCK_NB) != 0) {
      throw CreateError(path, errno);
    }
  }
  const FileSizeSignalIgnored sizeSignalIgnored;
  TemporaryFile temporary = CreateTemporaryFile(path, target);
  const int out = temporary.File().Get();
  if (::ftruncate(out, static_cast<off_t>(bytes.size())) != 0) {
    throw SystemError(errno);
  }
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t put = ::write(out, bytes.data() + done, bytes.size() - done);
    if (put < 0 && errno == EINTR) {
      continue;
    }
    if (put <= 0) {
      throw StreamError(FileErrorKind::EWriteError, kTexts.WriteFailed, put < 0 ? errno : 0);
    }
    done += static_cast<std::size_t>(put);
  }
  if (replacing) {
    // Owner first: a change of owner clears the set-id bits that the mode then puts back. Only
    // root may give the file away; anyone may keep a group they belong to, else the folder's.
    if (::fchown(out, ::geteuid() == 0 ? former.st_uid : static_cast<uid_t>(-1), former.st_gid) !=
        0) {
      // Not fatal: the contents matter more than the group.
    }
    if (::fchmod(out, former.st_mode & 07777) != 0) {
      throw StreamError(FileErrorKind::EWriteError, kTexts.WriteFailed, errno);
    }
  }
  if (::fsync(out) != 0 || temporary.File().Close() != 0) {
    throw StreamError(FileErrorKind::EWriteError, kTexts.WriteFailed, errno);
  }
  if (::rename(temporary.Path().c_str(), target.c_str()) != 0) {
    throw CreateError(path, errno);
  }
  temporary.Commit();
  // The rename itself reaches the disk with the folder; a failure here loses nothing.
  const std::string parent = ParentOf(target);
  FileDescriptor folder(
      ::open(parent.empty() ? "." : parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.IsOpen()) {
    ::fsync(folder.Get());
  }
}

std::string StopReport(const FileError& error, std::string_view executableName) {
  const auto slash = executableName.rfind('/');
  if (slash != std::string_view::npos) {
    executableName.remove_prefix(slash + 1);
  }
  char offset[9];
  std::snprintf(offset, sizeof offset, "%08X", static_cast<unsigned>(error.CodeOffset()));
  std::string message;
  for (std::string_view text = error.what(); !text.empty();) {
    if (text.starts_with("\r\n")) {
      message += '\n';
      text.remove_prefix(2);
    } else {
      message += text.front();
      text.remove_prefix(1);
    }
  }
  const bool endsWithFullStop =
      message.ends_with(kFullStop) || message.ends_with(kIdeographicFullStop);
  return std::string(KindName(error.Kind())) + " がモジュール " +
         console::VisibleText(executableName) + " の " + offset + " で発生しました。\n" + message +
         (endsWithFullStop ? "" : ".") + "\n\n";
}

}  // namespace lbe::image
