#include "files/rescue_copy.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>
#include <utility>
#include <vector>

#include "files/file_layer.h"
#include "files/plain_io.h"
#include "files/safe_open.h"
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

// A name of the place without its folder part: the name inside the place's folder.
std::string InFolder(const std::string& name) {
  return name.substr(FolderPart(name).size());
}

// The folder of the place's names, reached under the rules for links (safe_open.h). False with
// errno set; `refusedLink` names a link that was not followed.
bool OpenPlaceFolder(const Place& place, FileDescriptor& folder, std::string& refusedLink) {
  const std::string name = place.Name(0);
  const std::string_view part = FolderPart(name);
  OpenedName opened;
  if (!OpenName(part.empty() ? "." : part, O_PATH | O_DIRECTORY | O_CLOEXEC, 0, opened,
                &refusedLink)) {
    return false;
  }
  folder = std::move(opened.File);
  return true;
}

// Gives the file written whole a name of its own in the place's folder by `link(name)`, which
// never replaces a file: the first of the place's names that is free. False with errno set
// (EEXIST: all of them are taken); `name` is the one last tried.
template <typename Link>
bool LinkUnderFreeName(const Place& place, Link link, std::string& name) {
  for (int attempt = 0; attempt < kNamesPerPlace; ++attempt) {
    name = place.Name(attempt);
    if (link(InFolder(name).c_str()) == 0) {
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
bool WriteUnnamed(const Place& place, int folder, std::span<const std::uint8_t> bytes,
                  std::string& name) {
  name = place.Name(0);
  FileDescriptor file(
      Sys("open", [&] { return ::openat(folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600); }));
  // A file that is not written whole goes with its last descriptor.
  if (!file.IsOpen() || !WriteAndSync(file.Get(), bytes)) {
    return false;
  }
  const std::string self = "/proc/self/fd/" + std::to_string(file.Get());
  return LinkUnderFreeName(
      place,
      [&](const char* to) {
        return Sys("linkat",
                   [&] { return ::linkat(AT_FDCWD, self.c_str(), folder, to, AT_SYMLINK_FOLLOW); });
      },
      name);
}

// A new file of its own under a free hidden name beside `visible` in `folder`:
// ".VISIBLE.abc123". -1 with errno set.
int CreateHidden(int folder, const std::string& visible, std::string& hidden) {
  static constexpr std::string_view kLetters =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  static std::mt19937 pick{std::random_device{}()};
  std::uniform_int_distribution<std::size_t> letter(0, kLetters.size() - 1);
  for (int attempt = 0; attempt < kNamesPerPlace; ++attempt) {
    hidden = "." + visible + ".";
    for (int i = 0; i < 6; ++i) {
      hidden += kLetters[letter(pick)];
    }
    const int fd = ::openat(folder, hidden.c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0 || errno != EEXIST) {
      return fd;
    }
  }
  errno = EEXIST;
  return -1;
}

// Where a folder takes no file without a name: a hidden one beside the names, written whole,
// linked in and removed. False with errno set.
bool WriteThroughHiddenName(const Place& place, int folder, std::span<const std::uint8_t> bytes,
                            std::string& name) {
  name = place.Name(0);
  std::string hidden;
  FileDescriptor file(Sys("openat", [&] { return CreateHidden(folder, InFolder(name), hidden); }));
  if (!file.IsOpen()) {
    return false;
  }
  const bool linked =
      WriteAndSync(file.Get(), bytes) &&
      LinkUnderFreeName(
          place,
          [&](const char* to) {
            return Sys("link", [&] { return ::linkat(folder, hidden.c_str(), folder, to, 0); });
          },
          name);
  const int cause = errno;
  ::unlinkat(folder, hidden.c_str(), 0);
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
    std::string name = place.Name(0);
    FileDescriptor folder(-1);
    std::string refusedLink;
    if (OpenPlaceFolder(place, folder, refusedLink) &&
        (WriteUnnamed(place, folder.Get(), bytes, name) ||
         (errno != EEXIST && WriteThroughHiddenName(place, folder.Get(), bytes, name)))) {
      return name;
    }
    if (const int cause = errno; cause != EEXIST) {
      if (!error.empty()) {
        error.append("; ");
      }
      error.append(name).append(": ").append(
          refusedLink.empty() ? PlatformErrorText(cause) : RefusedLinkError(refusedLink).what());
    }
  }
  throw FileError(FileErrorKind::InOutError,
                  error.empty() ? std::string("too many rescue files already") : error);
}

}  // namespace lbe::files
