#include "files/rescue_copy.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "files/file_layer.h"
#include "files/test_hooks.h"

namespace lbe::files {

std::string RescueFileName(std::string_view fileName, int attempt, std::string_view suffix) {
  std::string name = fileName.empty()
                         ? std::string(suffix.empty() ? "lbe-rescue.bin" : "lbe-rescue")
                         : std::string(fileName) + ".lbe-rescue";
  if (attempt > 0) {
    name.append(".").append(std::to_string(attempt));
  }
  return name.append(suffix);
}

namespace {

constexpr int kNamesPerPlace = 100;

// Writes all of `bytes` and puts them on the disk. False with errno set.
bool WriteAndSync(int fd, std::span<const std::uint8_t> bytes) {
  const auto writeAll = [fd](std::span<const std::uint8_t> part) {
    return MoveAll(part.size(), [&](std::size_t done) {
      return Sys("write", [&] { return ::write(fd, part.data() + done, part.size() - done); });
    });
  };
  const std::size_t half = bytes.size() / 2;
  bool written = writeAll(bytes.first(half));
  if (written) {
    PauseAt("rescue");
    written = writeAll(bytes.subspan(half));
  }
  if (!written) {
    errno = errno != 0 ? errno : ENOSPC;  // a write that wrote nothing: no room
    return false;
  }
  return Sys("fsync", [fd] { return ::fsync(fd); }) == 0;
}

// The folder part of a name with its closing "/"; "" for a name in the working folder.
std::string_view FolderPart(std::string_view name) {
  return name.substr(0, name.rfind('/') + 1);
}

// Where a rescue copy may go: the folder part of the names ("" or ending in "/") and the name
// of the edited file they are made from ("" for lbe-rescue.bin).
struct Place {
  std::string Folder;
  std::string_view FileName;
  std::string_view Suffix;

  std::string Name(int attempt) const { return Folder + RescueFileName(FileName, attempt, Suffix); }
};

// Gives the file written whole a name of its own by `link(name)`, which never replaces a file:
// the first of the place's names that is free. False with errno set (EEXIST: all of them are
// taken); `name` is the one last tried.
template <typename Link>
bool LinkUnderFreeName(const Place& place, Link link, std::string& name) {
  for (int attempt = 0; attempt < kNamesPerPlace; ++attempt) {
    name = place.Name(attempt);
    if (link(name.c_str()) == 0) {
      return true;
    }
    if (errno != EEXIST) {
      return false;
    }
  }
  errno = EEXIST;
  return false;
}

// A file without a name in the place's folder, written and linked in once it is whole. False
// with errno set.
bool WriteUnnamed(const Place& place, std::span<const std::uint8_t> bytes, std::string& name) {
  name = place.Name(0);
  const std::string folder(FolderPart(name));
  FileDescriptor file(Sys("open", [&] {
    return ::open(folder.empty() ? "." : folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  }));
  // A file that is not written whole goes with its last descriptor.
  if (!file.IsOpen() || !WriteAndSync(file.Get(), bytes)) {
    return false;
  }
  const std::string self = "/proc/self/fd/" + std::to_string(file.Get());
  return LinkUnderFreeName(
      place,
      [&](const char* to) {
        return Sys("linkat", [&] {
          return ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, to, AT_SYMLINK_FOLLOW);
        });
      },
      name);
}

// Where a folder takes no file without a name: a hidden one beside the names, written whole,
// linked in and removed. False with errno set.
bool WriteThroughHiddenName(const Place& place, std::span<const std::uint8_t> bytes,
                            std::string& name) {
  name = place.Name(0);
  const std::string_view folder = FolderPart(name);
  std::string hidden =
      std::string(folder) + "." + name.substr(folder.size()) + ".XXXXXX";  // .NAME.abc123
  FileDescriptor file(Sys("mkostemp", [&] { return ::mkostemp(hidden.data(), O_CLOEXEC); }));
  if (!file.IsOpen()) {
    return false;
  }
  const bool linked =
      WriteAndSync(file.Get(), bytes) &&
      LinkUnderFreeName(
          place,
          [&](const char* to) { return Sys("link", [&] { return ::link(hidden.c_str(), to); }); },
          name);
  const int cause = errno;
  ::unlink(hidden.c_str());
  errno = cause;
  return linked;
}

}  // namespace

std::string WriteRescueCopy(std::string_view fileName, std::span<const std::uint8_t> bytes,
                            std::string_view suffix) {
  // Beside the file first; where that folder takes no new file, the working folder, then home.
  std::vector<Place> places{{"", fileName, suffix}, {"", "", suffix}};
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
    places.push_back({std::string(home) + "/", "", suffix});
  }
  std::string error;
  for (const Place& place : places) {
    // The copy appears under its name only when it is whole: there is never a short one.
    std::string name;
    if (WriteUnnamed(place, bytes, name) ||
        (errno != EEXIST && WriteThroughHiddenName(place, bytes, name))) {
      return name;
    }
    if (const int cause = errno; cause != EEXIST) {
      if (!error.empty()) {
        error.append("; ");
      }
      error.append(name).append(": ").append(PlatformErrorText(cause));
    }
  }
  throw FileError(FileErrorKind::EInOutError,
                  error.empty() ? std::string("too many rescue files already") : error);
}

}  // namespace lbe::files
