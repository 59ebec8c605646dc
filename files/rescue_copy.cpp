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

std::string RescueFileName(std::string_view fileName, int attempt) {
  std::string name =
      fileName.empty() ? std::string("lbe-rescue.bin") : std::string(fileName) + ".lbe-rescue";
  if (attempt > 0) {
    name.append(".").append(std::to_string(attempt));
  }
  return name;
}

namespace {

constexpr int kNamesPerPlace = 100;

// Runs the file-system call `call` (named for the test hooks), which returns -1 with errno set on
// failure, unless a test makes it fail.
template <typename Call>
auto Run(std::string_view name, Call call) -> decltype(call()) {
  if (const int failure = FailingCall(name); failure != 0) {
    errno = failure;
    return -1;
  }
  return call();
}

// Writes all of `bytes` and puts them on the disk: 0 or an errno.
int WriteAndSync(int fd, std::span<const std::uint8_t> bytes) {
  const auto writeAll = [fd](std::span<const std::uint8_t> part) {
    return MoveAll(part.size(), [&](std::size_t done) {
      return Run("write", [&] { return ::write(fd, part.data() + done, part.size() - done); });
    });
  };
  const std::size_t half = bytes.size() / 2;
  if (!writeAll(bytes.first(half))) {
    return errno != 0 ? errno : ENOSPC;
  }
  PauseAt("rescue");
  if (!writeAll(bytes.subspan(half))) {
    return errno != 0 ? errno : ENOSPC;
  }
  return Run("fsync", [fd] { return ::fsync(fd); }) == 0 ? 0 : errno;
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

  std::string Name(int attempt) const { return Folder + RescueFileName(FileName, attempt); }
};

// Gives the file written whole a name of its own by `link(name)`, which never replaces a file:
// the first of the place's names that is free. 0 or an errno (EEXIST: all of them are taken);
// `name` is the one last tried.
template <typename Link>
int LinkUnderFreeName(const Place& place, Link link, std::string& name) {
  for (int attempt = 0; attempt < kNamesPerPlace; ++attempt) {
    name = place.Name(attempt);
    if (link(name.c_str()) == 0) {
      return 0;
    }
    if (errno != EEXIST) {
      return errno;
    }
  }
  return EEXIST;
}

// A file without a name in the place's folder, written and linked in once it is whole.
int WriteUnnamed(const Place& place, std::span<const std::uint8_t> bytes, std::string& name) {
  name = place.Name(0);
  const std::string folder(FolderPart(name));
  FileDescriptor file(Run("open", [&] {
    return ::open(folder.empty() ? "." : folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  }));
  if (!file.IsOpen()) {
    return errno;
  }
  if (const int error = WriteAndSync(file.Get(), bytes); error != 0) {
    return error;  // the file goes with its last descriptor
  }
  const std::string self = "/proc/self/fd/" + std::to_string(file.Get());
  return LinkUnderFreeName(
      place,
      [&](const char* to) {
        return Run("linkat", [&] {
          return ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, to, AT_SYMLINK_FOLLOW);
        });
      },
      name);
}

// Where a folder takes no file without a name: a hidden one beside the names, written whole,
// linked in and removed.
int WriteThroughHiddenName(const Place& place, std::span<const std::uint8_t> bytes,
                           std::string& name) {
  name = place.Name(0);
  const std::string_view folder = FolderPart(name);
  std::string hidden =
      std::string(folder) + "." + name.substr(folder.size()) + ".XXXXXX";  // .NAME.abc123
  FileDescriptor file(Run("mkostemp", [&] { return ::mkostemp(hidden.data(), O_CLOEXEC); }));
  if (!file.IsOpen()) {
    return errno;
  }
  int error = WriteAndSync(file.Get(), bytes);
  if (error == 0) {
    error = LinkUnderFreeName(
        place,
        [&](const char* to) { return Run("link", [&] { return ::link(hidden.c_str(), to); }); },
        name);
  }
  ::unlink(hidden.c_str());
  return error;
}

}  // namespace

std::string WriteRescueCopy(std::string_view fileName, std::span<const std::uint8_t> bytes,
                            std::string& error) {
  // Beside the file first; where that folder takes no new file, the working folder, then home.
  std::vector<Place> places{{"", fileName}, {"", ""}};
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
    places.push_back({std::string(home) + "/", ""});
  }
  error.clear();
  for (const Place& place : places) {
    // The copy appears under its name only when it is whole: there is never a short one.
    std::string name;
    int cause = WriteUnnamed(place, bytes, name);
    if (cause != 0 && cause != EEXIST) {
      cause = WriteThroughHiddenName(place, bytes, name);
    }
    if (cause == 0) {
      return name;
    }
    if (cause != EEXIST) {
      if (!error.empty()) {
        error.append("; ");
      }
      error.append(name).append(": ").append(PlatformErrorText(cause));
    }
  }
  if (error.empty()) {
    error = "too many rescue files already";
  }
  return {};
}

}  // namespace lbe::files
