#include "files/typed_sums.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "files/checksum.h"
#include "files/file_layer.h"
#include "files/plain_io.h"
#include "files/state_folder.h"
#include "files/test_hooks.h"
#include "text/hex_text.h"

namespace lbe::files {

namespace {

// The first line of every sums file; a later format gets another number.
constexpr std::string_view kFirstLine = "lbe typed sums 1";
// The longest path lbe writes is 4 KiB, escaped to three bytes a byte, and 8192 lines of 8 bytes:
// anything much larger is not a file lbe wrote.
constexpr off_t kLargestFile = 256 * 1024;

// Control bytes, DEL and "%" as "%XX", so that the path stays on its line whatever it holds.
std::string EscapedPath(std::string_view path) {
  std::string text;
  for (const char c : path) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F || c == '%') {
      text += '%';
      text::AppendHexDigits(text, byte, 2);
    } else {
      text += c;
    }
  }
  return text;
}

// The value of `digits` upper-case hexadecimal digits, exactly that many; nullopt otherwise.
std::optional<std::uint64_t> HexValue(std::string_view text, std::size_t digits) {
  if (text.size() != digits || digits == 0) {
    return std::nullopt;
  }
  std::uint64_t value = 0;
  for (const char c : text) {
    const int digit = text::UpperHexDigitValue(c);
    if (digit < 0) {
      return std::nullopt;
    }
    value = value * 16 + static_cast<std::uint64_t>(digit);
  }
  return value;
}

std::optional<std::string> UnescapedPath(std::string_view text) {
  std::string path;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      path += text[i];
      continue;
    }
    const auto byte = HexValue(text.substr(i + 1, 2), 2);
    if (!byte) {
      return std::nullopt;
    }
    path += static_cast<char>(*byte);
    i += 2;
  }
  return path;
}

// "style mlx SHIFT" for New MLX sums; lbe's own have no style line.
std::string StyleLine(const TypedSumsKey& key) {
  return key.NewMlx ? "style mlx " + std::to_string(key.AddressShift) : std::string();
}

// Splits off the text's next line (without its "\n"); false when no whole line is left.
bool NextLine(std::string_view& text, std::string_view& line) {
  const std::size_t end = text.find('\n');
  if (end == std::string_view::npos) {
    return false;
  }
  line = text.substr(0, end);
  text.remove_prefix(end + 1);
  return true;
}

// The bytes that name a key's file: the path, start and offset, and the style for New MLX sums.
std::string NameKey(const TypedSumsKey& key) {
  std::string bytes = key.Path;
  bytes += std::string(1, '\0') + text::HexDigits(static_cast<std::uint32_t>(key.StartAddress), 4);
  bytes += std::string(1, '\0') + text::HexDigits(key.Offset, 1);
  if (key.NewMlx) {
    bytes += std::string(1, '\0') + StyleLine(key);
  }
  return bytes;
}

// The file's name in the state folder: the files' checksum of NameKey. Two keys that meet on a
// name are told apart by the key written inside.
std::string FileNameOf(const TypedSumsKey& key) {
  const std::string bytes = NameKey(key);
  return "typed-" +
         text::HexDigits(
             ChecksumOf({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()}), 16) +
         ".lbe-sums";
}

// The name the sums of `key` had before FileNameOf: FNV-1a over the bytes of NameKey. Looked up
// only to take such a file over under its new name.
std::string FormerFileNameOf(const TypedSumsKey& key) {
  std::uint64_t hash = 0xcbf29ce484222325u;
  for (const char c : NameKey(key)) {
    hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3u;
  }
  return "typed-" + text::HexDigits(hash, 16) + ".lbe-sums";
}

// `path` with its "." names, each name followed by "..", and its runs of "/" taken out by their
// text alone: ".." above the root stays at the root, and a path that ended in a folder ("/", "."
// or "..") keeps a closing "/". As the C++ library's lexically_normal, by which the names of the
// sums stored so far were made.
std::string LexicallyNormal(std::string_view path) {
  if (path.find_first_not_of('/') == std::string_view::npos) {
    return std::string(path);  // "" and a root alone stay as they are
  }
  const bool absolute = path.starts_with('/');
  std::vector<std::string_view> names;
  bool closingSlash = false;
  while (!path.empty()) {
    const std::size_t slash = path.find('/');
    const std::string_view name = path.substr(0, slash);
    path.remove_prefix(slash == std::string_view::npos ? path.size() : slash + 1);
    const bool last = path.empty();
    closingSlash = last && (slash != std::string_view::npos || name == "." || name == "..");
    if (name.empty() || name == ".") {
      continue;
    }
    if (name == ".." && !names.empty() && names.back() != "..") {
      names.pop_back();
    } else if (name != ".." || !absolute) {
      names.push_back(name);
    }
  }
  std::string normal = absolute ? "/" : "";
  for (const std::string_view name : names) {
    normal.append(name).append("/");
  }
  if (names.empty()) {
    return absolute ? normal : ".";
  }
  if (!closingSlash || names.back() == "..") {
    normal.pop_back();
  }
  return normal;
}

// The whole content of `fd`, at most kLargestFile bytes; nullopt with errno set when a read fails.
std::optional<std::string> ReadWhole(int fd) {
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      return std::nullopt;
    }
    if (got == 0 || text.size() > static_cast<std::size_t>(kLargestFile)) {
      return text;
    }
    text.append(buffer, static_cast<std::size_t>(got));
  }
}

}  // namespace

TypedSums NoTypedSums() {
  TypedSums sums;
  sums.fill(-1);
  return sums;
}

std::string AbsoluteFilePath(std::string_view name) {
  if (name.empty()) {
    return {};
  }
  std::string path(name);
  if (!name.starts_with('/')) {
    int error = 0;
    const std::string folder = CurrentFolder(error);
    if (error == 0) {
      path = folder + (folder.ends_with('/') ? "" : "/") + path;
    }
  }
  return LexicallyNormal(path);
}

std::string TypedSumsText(const TypedSumsKey& key, const TypedSums& sums) {
  std::string text(kFirstLine);
  text += "\npath " + EscapedPath(key.Path) + "\nstart " +
          text::HexDigits(static_cast<std::uint32_t>(key.StartAddress), 4) + "\noffset " +
          text::HexDigits(key.Offset, 1) + "\n";
  if (key.NewMlx) {
    text += StyleLine(key) + "\n";
  }
  int count = 0;
  for (std::int32_t line = key.StartAddress / image::kLineBytes; line <= image::kLastLine; ++line) {
    const std::int16_t sum = sums[static_cast<std::size_t>(line)];
    if (sum >= 0) {
      text::AppendHexDigits(text, static_cast<std::uint32_t>(line * image::kLineBytes), 4);
      text += ' ';
      text::AppendHexDigits(text, static_cast<std::uint32_t>(sum), 2);
      text += '\n';
      ++count;
    }
  }
  return text + "end " + std::to_string(count) + "\n";
}

namespace {

// Takes the first four lines, the heading, off `text`: why they are not the heading of the sums
// of `key`, or empty when they are.
std::string HeadingFlaw(std::string_view& text, const TypedSumsKey& key) {
  std::string_view line;
  if (!NextLine(text, line) || line != kFirstLine) {
    return "it is not a file of typed sums";
  }
  std::optional<std::string> path;
  if (NextLine(text, line) && line.starts_with("path ")) {
    path = UnescapedPath(line.substr(5));
  }
  std::optional<std::uint64_t> start;
  if (NextLine(text, line) && line.starts_with("start ")) {
    start = HexValue(line.substr(6), 4);
  }
  std::optional<std::uint64_t> offset;
  if (NextLine(text, line) && line.starts_with("offset ") && line.size() <= 7 + 16) {
    offset = HexValue(line.substr(7), line.size() - 7);
  }
  if (!path || !start || !offset) {
    return "its heading is damaged";
  }
  if (*path != key.Path || *start != static_cast<std::uint64_t>(key.StartAddress) ||
      *offset != key.Offset) {
    return "it was made for another file, start address or offset";
  }
  return {};
}

}  // namespace

ParsedTypedSums ParseTypedSums(std::string_view text, const TypedSumsKey& key) {
  ParsedTypedSums parsed;
  const auto fail = [&parsed](std::string why) {
    parsed.Error = std::move(why);
    parsed.Sums = NoTypedSums();
    return parsed;
  };
  if (const std::string why = HeadingFlaw(text, key); !why.empty()) {
    return fail(why);
  }
  std::string_view line;
  std::string_view rest = text;
  std::string style;
  if (NextLine(rest, line) && line.starts_with("style ")) {
    style = line;
    text = rest;
  }
  if (style != StyleLine(key)) {
    return fail("it was made for another checksum or listing shift");
  }
  const int headingLines = style.empty() ? 4 : 5;
  std::int32_t nextLine = key.StartAddress / image::kLineBytes;
  int count = 0;
  while (NextLine(text, line) && !line.starts_with("end ")) {
    const auto address = HexValue(line.substr(0, 4), 4);
    const auto sum =
        line.size() == 7 && line[4] == ' ' ? HexValue(line.substr(5), 2) : std::nullopt;
    if (!address || !sum || *address % image::kLineBytes != 0) {
      return fail("its line " + std::to_string(count + headingLines + 1) + " is damaged");
    }
    const auto lineNumber = static_cast<std::int32_t>(*address / image::kLineBytes);
    if (lineNumber < nextLine) {
      return fail("its line " + std::to_string(count + headingLines + 1) + " is out of order");
    }
    parsed.Sums[static_cast<std::size_t>(lineNumber)] = static_cast<std::int16_t>(*sum);
    nextLine = lineNumber + 1;
    ++count;
  }
  if (line != "end " + std::to_string(count) || !text.empty()) {
    return fail("it is cut short or has more after its end");
  }
  return parsed;
}

StoredSums LoadTypedSums(const TypedSumsKey& key) {
  StoredSums stored;
  std::string folderPath;
  const FileDescriptor folder = OpenStateFolder(true, folderPath);
  if (!folder.IsOpen()) {
    stored.FolderMissing = true;
    return stored;
  }
  const std::string name = FileNameOf(key);
  // Sums stored under their former name take the new one, never over a file that has it; a link
  // or a file of another's is renamed too, to be refused below as it would have been there.
  ::renameat2(folder.Get(), FormerFileNameOf(key).c_str(), folder.Get(), name.c_str(),
              RENAME_NOREPLACE);
  FileDescriptor file(::openat(folder.Get(), name.c_str(),
                               O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  std::string why;
  if (!file.IsOpen()) {
    if (errno == ENOENT) {
      return stored;
    }
    why =
        errno == ELOOP ? "it is a symbolic link" : "it cannot be read: " + PlatformErrorText(errno);
  } else {
    // Trusted as a journal is: a regular file of the user's own, one link, nobody else may write.
    why = DistrustOfStatus(file.Get(), nullptr);
  }
  if (why.empty()) {
    const std::optional<std::string> text = ReadWhole(file.Get());
    ParsedTypedSums parsed =
        !text ? ParsedTypedSums{"it cannot be read: " + PlatformErrorText(errno)}
        : text->size() > static_cast<std::size_t>(kLargestFile) ? ParsedTypedSums{"it is too large"}
                                                                : ParseTypedSums(*text, key);
    if (parsed.Error.empty()) {
      stored.Sums = parsed.Sums;
      return stored;
    }
    why = parsed.Error;
  }
  // Set aside, so that the next sum typed is stored afresh and the old file can still be read.
  const std::string aside = RenameAside(folder.Get(), name, ".set-aside");
  stored.Problem = "The typed sums in " + folderPath + name + " are not used: " + why +
                   (aside.empty() ? "." : "; moved to " + folderPath + aside + ".");
  return stored;
}

void StoreTypedSums(const TypedSumsKey& key, const TypedSums& sums) {
  std::string folderPath;
  const FileDescriptor folder = OpenStateFolder(true, folderPath);
  if (!folder.IsOpen()) {
    throw FileError(FileErrorKind::InOutError, "there is no state folder that is safe to use");
  }
  const std::string name = FileNameOf(key);
  const std::string fresh = "." + name + ".new-" + std::to_string(::getpid());
  ::unlinkat(folder.Get(), fresh.c_str(), 0);  // left by a run that ended half-way
  FileDescriptor file(Sys("open", [&] {
    return ::openat(folder.Get(), fresh.c_str(),
                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600);
  }));
  const std::string text = TypedSumsText(key, sums);
  // On the disk before its name is: a crash leaves the former sums or these, never a part.
  const bool written =
      file.IsOpen() &&
      WriteAt(file.Get(), reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), 0) &&
      Sys("fsync", [&] { return ::fsync(file.Get()); }) == 0 && file.Close() == 0 &&
      Sys("renameat",
          [&] { return ::renameat(folder.Get(), fresh.c_str(), folder.Get(), name.c_str()); }) == 0;
  if (!written) {
    const int cause = errno;
    ::unlinkat(folder.Get(), fresh.c_str(), 0);
    throw FileError(FileErrorKind::WriteError,
                    "cannot write " + folderPath + name + ": " + PlatformErrorText(cause));
  }
}

}  // namespace lbe::files
