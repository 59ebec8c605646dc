#include "image/rescue_copy.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "image/file_layer.h"
#include "image/memory_image.h"

namespace lbe::image {

SavedState Saved;

namespace {

// xxHash64's round over the range and the image, 8 bytes at a time: a few microseconds at
// start-up. Each round is a bijection of the state, so a change to any one word always shows.
std::uint64_t Fingerprint() {
  constexpr std::uint64_t kPrime1 = 0x9E3779B185EBCA87u;
  constexpr std::uint64_t kPrime2 = 0xC2B2AE3D27D4EB4Fu;
  const auto mix = [](std::uint64_t hash, std::uint64_t word) {
    return std::rotl(hash + word * kPrime2, 31) * kPrime1;
  };
  std::uint64_t hash =
      mix(0, static_cast<std::uint64_t>(static_cast<std::uint32_t>(Range.StartAddress)) << 32 |
                 static_cast<std::uint32_t>(Range.EndLine));
  for (std::size_t at = 0; at < Image.Bytes.size(); at += sizeof(std::uint64_t)) {
    std::uint64_t word;
    std::memcpy(&word, Image.Bytes.data() + at, sizeof word);
    hash = mix(hash, word);
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
bool Abandon(FileDescriptor& file, const std::string& name, int cause) {
  file.Close();
  ::unlink(name.c_str());
  errno = cause;
  return false;
}

// Creates `name` only if it does not exist and writes `count` bytes from `bytes` to the disk.
// False with errno set on failure; a half-written file is removed.
bool WriteNewFile(const std::string& name, const std::uint8_t* bytes, std::size_t count) {
  FileDescriptor file(::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!file.IsOpen()) {
    return false;
  }
  if (!MoveAll(count,
               [&](std::size_t done) { return ::write(file.Get(), bytes + done, count - done); })) {
    return Abandon(file, name, errno != 0 ? errno : ENOSPC);
  }
  if (::fsync(file.Get()) != 0) {
    return Abandon(file, name, errno);
  }
  return file.Close() == 0;
}

}  // namespace

std::string WriteRescueCopy(std::string_view fileName, std::span<const std::uint8_t> bytes,
                            std::string& error) {
  // Beside the file first; where that folder takes no new file, the working folder, then home.
  struct Place {
    std::string Folder;  // with its closing "/"; empty: the name's own, or the working folder
    std::string_view FileName;
  };
  std::vector<Place> places{{"", fileName}, {"", ""}};
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
    places.push_back({std::string(home) + "/", ""});
  }
  error.clear();
  for (const Place& place : places) {
    for (int attempt = 0; attempt < 100; ++attempt) {
      const std::string name = place.Folder + RescueFileName(place.FileName, attempt);
      if (WriteNewFile(name, bytes.data(), bytes.size())) {
        return name;
      }
      if (errno != EEXIST) {
        if (!error.empty()) {
          error.append("; ");
        }
        error.append(name).append(": ").append(PlatformErrorText(errno));
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
