#include "files/plain_io.h"

#include <unistd.h>

#include "files/test_hooks.h"

namespace lbe::files {

bool ReadAt(int fd, std::uint8_t* data, std::size_t count, std::uint64_t at) {
  return MoveAll(count, [&](std::size_t done) {
    return Sys("pread", [&] {
      return ::pread(fd, data + done, count - done, static_cast<off_t>(at + done));
    });
  });
}

bool WriteAt(int fd, const std::uint8_t* data, std::size_t count, std::uint64_t at) {
  return MoveAll(count, [&](std::size_t done) {
    return Sys("pwrite", [&] {
      return ::pwrite(fd, data + done, count - done, static_cast<off_t>(at + done));
    });
  });
}

}  // namespace lbe::files
