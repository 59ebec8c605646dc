#pragma once
// Plain reads and writes of an open file at an offset, whole or not at all, and a long stretch
// taken in pieces of a bounded buffer. Knows nothing of paths, journals or state folders.

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace lbe::files {

// Runs `step(done)`, a read or write of what remains after `done` bytes (returning what read or
// write returns), until all `count` bytes are moved; a step interrupted by a signal is run
// again. False with errno set (0 when a step moved nothing: an early end of file, a write that
// wrote nothing) unless they all were.
template <typename Step>
bool MoveAll(std::size_t count, Step step) {
  std::size_t done = 0;
  while (done < count) {
    const auto moved = step(done);
    if (moved < 0 && errno == EINTR) {
      continue;
    }
    if (moved <= 0) {
      errno = moved < 0 ? errno : 0;
      return false;
    }
    done += static_cast<std::size_t>(moved);
  }
  return true;
}

// All `count` bytes at `at`; false with errno set as MoveAll (0 at an early end of file).
bool ReadAt(int fd, std::uint8_t* data, std::size_t count, std::uint64_t at);
bool WriteAt(int fd, const std::uint8_t* data, std::size_t count, std::uint64_t at);

inline constexpr std::size_t kChunk = std::size_t{1} << 20;

// Runs `piece(buffer, count, done)` over `length` bytes in chunks of at most kChunk, `done`
// bytes being behind; false as soon as a piece is.
template <typename Piece>
bool InChunks(std::uint64_t length, Piece piece) {
  std::vector<std::uint8_t> buffer(
      static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, length)));
  for (std::uint64_t done = 0; done < length;) {
    const auto count =
        static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), length - done));
    if (!piece(buffer.data(), count, done)) {
      return false;
    }
    done += count;
  }
  return true;
}

}  // namespace lbe::files
