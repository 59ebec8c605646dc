#include "image/rescue_copy.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "image/memory_image.h"

namespace lbe::image {

SavedState Saved;

namespace {

// FNV-1a over the range and the whole image: cheap next to a load or save (64 KiB).
std::uint64_t Fingerprint() {
  std::uint64_t hash = 0xcbf29ce484222325u;
  auto mix = [&hash](std::uint8_t byte) {
    hash ^= byte;
    hash *= 0x100000001b3u;
  };
  for (std::int32_t value : {Range.StartAddress, Range.EndLine}) {
    for (int shift = 0; shift < 32; shift += 8) {
      mix(static_cast<std::uint8_t>(static_cast<std::uint32_t>(value) >> shift));
    }
  }
  for (std::uint8_t byte : Image.Bytes) {
    mix(byte);
  }
  return hash;
}

}  // namespace

void MarkImageSaved() {
  Saved.Fingerprint = Fingerprint();
}

bool ImageChangedSinceSaved() {
  return Fingerprint() != Saved.Fingerprint;
}

std::string RescueFileName(std::string_view fileName, int attempt) {
  std::string name =
      fileName.empty() ? std::string("lbe-rescue.bin") : std::string(fileName) + ".lbe-rescue";
  if (attempt > 0) {
    name.append(".").append(std::to_string(attempt));
  }
  return name;
}

namespace {

// Closes and removes a file that could not be written whole: false, with errno as `cause`.
bool Abandon(int fd, const std::string& name, int cause) {
  ::close(fd);
  ::unlink(name.c_str());
  errno = cause;
  return false;
}

// Creates `name` only if it does not exist and writes `count` bytes from `bytes` to the disk.
// False with errno set on failure; a half-written file is removed.
bool WriteNewFile(const std::string& name, const std::uint8_t* bytes, std::size_t count) {
  const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    return false;
  }
  while (count > 0) {
    const ssize_t written = ::write(fd, bytes, count);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return Abandon(fd, name, written < 0 ? errno : ENOSPC);
    }
    bytes += written;
    count -= static_cast<std::size_t>(written);
  }
  if (::fsync(fd) != 0) {
    return Abandon(fd, name, errno);
  }
  return ::close(fd) == 0;
}

}  // namespace

std::string WriteRescueCopy(std::string_view fileName, std::span<const std::uint8_t> bytes,
                            std::string& error) {
  // Beside the file first; where that folder takes no new file, the working folder, then home.
  std::vector<std::string> bases{RescueFileName(fileName, 0), RescueFileName("", 0)};
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
    bases.push_back(std::string(home) + "/" + RescueFileName("", 0));
  }
  error.clear();
  for (const std::string& base : bases) {
    for (int attempt = 0; attempt < 100; ++attempt) {
      std::string name = base;
      if (attempt > 0) {
        name.append(".").append(std::to_string(attempt));
      }
      if (WriteNewFile(name, bytes.data(), bytes.size())) {
        return name;
      }
      if (errno != EEXIST) {
        if (!error.empty()) {
          error.append("; ");
        }
        error.append(name).append(": ").append(std::strerror(errno));
        break;
      }
    }
  }
  if (error.empty()) {
    error = "too many rescue files already";
  }
  return {};
}

}  // namespace lbe::image
