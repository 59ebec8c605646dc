#pragma once
// The file layer: whole-file read and write, each behind one series of path checks, and the
// typed error in which every failure of them is reported with the exact text the user sees.
// Knows nothing of the console or the image; borrows only the pure VisibleText for the paths
// it puts into messages.
//
// Linux mapping: "/" is the only folder separator ("\" is an ordinary name character); there
// are no drive letters and no extended-length prefixes, so every ":" fails the format check and
// "\\?\" fails on its "?"; paths are accepted up to the kernel's PATH_MAX. Sharing is kept with
// advisory flock locks (shared while reading, exclusive while saving), non-blocking, so a file
// locked by another lbe fails at once with the open or create message.

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace lbe::image {

// The kinds keep their own names: the stop report prints them.
enum class FileErrorKind {
  EPathTooLongException,
  ENotSupportedException,
  EInOutArgumentException,
  EDirectoryNotFoundException,
  EFileNotFoundException,
  EInOutError,
  EOSError,
  EReadError,
  EWriteError,
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

// At most `maxBytes` bytes from the start of the file; the size limit of 2^31 bytes applies to
// the whole file. Only regular files are read (a FIFO or device fails with the open message).
std::vector<std::uint8_t> ReadWholeFile(std::string_view path, std::size_t maxBytes = SIZE_MAX);

// Afterwards the file holds exactly `bytes`. Written to a temporary file in the same folder,
// flushed to disk and renamed over the file only when complete, so a failure leaves the former
// file as it was. A symbolic link is followed and kept; permission bits (and the owner, when
// running as root) are kept.
void WriteWholeFile(std::string_view path, std::span<const std::uint8_t> bytes);

// The report written to standard error after a file error stopped the program: kind, the
// executable's file name without its folder, the code offset in 8 hex digits, the message and a
// closing "." where the message has no full stop of its own; line ends are "\n".
std::string StopReport(const FileError& error, std::string_view executableName);

}  // namespace lbe::image
