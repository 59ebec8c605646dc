#include "files/file_layer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <initializer_list>
#include <system_error>

#include "text/hex_text.h"
#include "text/visible_text.h"

// The linker's mark for the first byte of the executable; the stop report counts from it.
extern "C" const char __executable_start[] __attribute__((weak));

namespace lbe::files {

namespace {

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
  std::string_view SystemError = "システム エラー。コード: %d。\r\n%s%s";
  std::string_view SystemCallFailed = "OS 機能呼び出しの失敗";
  std::string_view ReadFailed = "ストリームからの読み取りエラー";
  std::string_view WriteFailed = "ストリームへの書き込みエラー";
} kTexts;

constexpr std::string_view kFullStop = ".";
constexpr std::string_view kIdeographicFullStop = "。";

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

// The path resolved against the current directory, without touching "." or "..": the kernel
// resolves those through symbolic links, which a text rule cannot. When the current directory
// is gone (its own not-found error) the path stays as passed; another failure is `error`.
std::string FullPath(std::string_view path, int& error) {
  error = 0;
  if (!path.empty() && path.front() == '/') {
    return std::string(path);
  }
  std::string full = CurrentFolder(error);
  if (error != 0) {
    if (error == ENOENT) {
      error = 0;
    }
    return std::string(path);
  }
  if (full.empty() || full.back() != '/') {
    full += '/';
  }
  return full += path;
}

// For the open and create messages, after CheckPath has formed the same path once.
std::string ShownFullPath(std::string_view path) {
  int ignored = 0;
  return text::VisibleText(FullPath(path, ignored));
}

FileError StreamError(FileErrorKind kind, std::string_view text, int code) {
  std::string message(text);
  if (code != 0) {
    message += ": " + PlatformErrorText(code);
  }
  return FileError(kind, message);
}

}  // namespace

std::string ParentOf(std::string_view path) {
  const auto slash = path.rfind('/');
  if (slash == std::string_view::npos) {
    return {};
  }
  return std::string(path.substr(0, slash == 0 ? 1 : slash));
}

std::string CurrentFolder(int& error) {
  error = 0;
  std::string folder(PATH_MAX, '\0');
  for (;;) {
    if (::getcwd(folder.data(), folder.size()) != nullptr) {
      folder.resize(std::char_traits<char>::length(folder.c_str()));
      return folder;
    }
    if (errno != ERANGE) {
      error = errno;
      return {};
    }
    folder.resize(folder.size() * 2);
  }
}

bool IsFileOtherThanFolder(std::string_view path) {
  struct stat info {};
  return ::stat(std::string(path).c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

bool ReadLink(const std::string& path, std::string& target) {
  std::string buffer(256, '\0');
  for (;;) {
    const ssize_t length = ::readlink(path.c_str(), buffer.data(), buffer.size());
    if (length < 0) {
      return false;
    }
    if (static_cast<std::size_t>(length) < buffer.size()) {
      buffer.resize(static_cast<std::size_t>(length));
      target = std::move(buffer);
      return true;
    }
    buffer.resize(buffer.size() * 2);
  }
}

int FileDescriptor::Close() {
  const int result = fd_ >= 0 ? ::close(fd_) : 0;
  fd_ = -1;
  return result;
}

FileError OpenError(std::string_view path, int code) {
  return FileError(
      FileErrorKind::InOutError,
      Fill(kTexts.CannotOpen, {ShownFullPath(path), PlatformErrorText(code)}) + PathSuffix(path));
}

FileError CreateError(std::string_view path, int code) {
  return FileError(
      FileErrorKind::InOutError,
      Fill(kTexts.CannotCreate, {ShownFullPath(path), PlatformErrorText(code)}) + PathSuffix(path));
}

FileError SystemError(int code) {
  if (code == 0) {
    return FileError(FileErrorKind::SystemError, std::string(kTexts.SystemCallFailed));
  }
  return FileError(FileErrorKind::SystemError,
                   Fill(kTexts.SystemError, {std::to_string(code), PlatformErrorText(code), ""}));
}

FileError RefusedLinkError(std::string_view link) {
  return FileError(FileErrorKind::InOutError,
                   "Refused the symbolic link " + text::VisibleText(link) +
                       ": it stands in a folder that others may write (sticky), and it belongs "
                       "to another user, so lbe does not follow it.");
}

FileError ReadError(int code) {
  return StreamError(FileErrorKind::ReadError, kTexts.ReadFailed, code);
}

FileError WriteError(int code) {
  return StreamError(FileErrorKind::WriteError, kTexts.WriteFailed, code);
}

std::string_view KindName(FileErrorKind kind) {
  switch (kind) {
    case FileErrorKind::PathTooLong:
      return "EPathTooLongException";
    case FileErrorKind::NotSupported:
      return "ENotSupportedException";
    case FileErrorKind::BadArgument:
      return "EInOutArgumentException";
    case FileErrorKind::FolderNotFound:
      return "EDirectoryNotFoundException";
    case FileErrorKind::FileNotFound:
      return "EFileNotFoundException";
    case FileErrorKind::InOutError:
      return "EInOutError";
    case FileErrorKind::SystemError:
      return "EOSError";
    case FileErrorKind::ReadError:
      return "EReadError";
    case FileErrorKind::WriteError:
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

std::string WithLineFeeds(std::string_view message) {
  std::string text;
  for (std::size_t lineEnd; (lineEnd = message.find("\r\n")) != std::string_view::npos;) {
    text.append(message.substr(0, lineEnd)).append("\n");
    message.remove_prefix(lineEnd + 2);
  }
  return text.append(message);
}

std::string PathSuffix(std::string_view path) {
  return "\r\n[" + text::VisibleText(path) + "]";
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
    throw FileError(FileErrorKind::PathTooLong, std::string(kTexts.PathTooLong) + PathSuffix(path));
  }
  // No drive letters on Linux: every colon fails, so names stay portable.
  if (path.find(':') != std::string_view::npos) {
    throw FileError(FileErrorKind::NotSupported, std::string(kTexts.FormatNotSupported));
  }
  if (TrimmedOfBlanksAndControls(path).empty()) {
    throw FileError(FileErrorKind::BadArgument, std::string(kTexts.PathEmpty));
  }
  if (std::any_of(path.begin(), path.end(), IsInvalidPathCharacter)) {
    throw FileError(FileErrorKind::BadArgument,
                    std::string(kTexts.InvalidCharacter) + PathSuffix(path));
  }
  int error = 0;
  FullPath(path, error);
  if (error != 0) {
    throw FileError(FileErrorKind::NotSupported, PlatformErrorText(error));
  }
  // The folder of the full path, reached through the path as given: a relative path under the
  // length limit may have a full form beyond it, which no call would take, yet it names a folder.
  const std::string folder = ParentOf(path);
  struct stat info {};
  if (::stat(folder.empty() ? "." : folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    throw FileError(FileErrorKind::FolderNotFound,
                    std::string(kTexts.FolderMissing) + PathSuffix(path));
  }
  if (mustExist) {
    if (!IsFileOtherThanFolder(path)) {
      throw FileError(FileErrorKind::FileNotFound,
                      std::string(kTexts.FileMissing) + PathSuffix(path));
    }
  }
}

std::string StopReport(const FileError& error, std::string_view executableName) {
  const auto slash = executableName.rfind('/');
  if (slash != std::string_view::npos) {
    executableName.remove_prefix(slash + 1);
  }
  const std::string offset = text::HexDigits(static_cast<std::uint32_t>(error.CodeOffset()), 8);
  const std::string message = WithLineFeeds(error.what());
  const bool endsWithFullStop =
      message.ends_with(kFullStop) || message.ends_with(kIdeographicFullStop);
  return std::string(KindName(error.Kind())) + " がモジュール " +
         text::VisibleText(executableName) + " の " + offset + " で発生しました。\n" + message +
         (endsWithFullStop ? "" : ".") + "\n\n";
}

}  // namespace lbe::files
