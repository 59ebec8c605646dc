#pragma once
// Bytes put at their offsets in a raw output as a record file gives them, in any order, through
// one window of the output held in memory; which offsets were given is kept in a scratch file
// beside it, a bit a byte, so that a second value for one offset is found however far apart the
// two records are, in flat memory. No console.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "files/new_file.h"

namespace lbe::listing {

// An offset given two values: the one given now and the one held.
struct RawConflict {
  std::uint64_t Offset = 0;
  std::uint8_t Given = 0;
  std::uint8_t Held = 0;
  std::uint64_t Line = 0;  // for the caller to fill in
};

class RawPlacement {
 public:
  // `out` becomes `length` bytes long after its first `header` bytes, which are the caller's
  // (offset 0 is the byte after them); `given` is an empty scratch file. Every offset that no Put
  // gives holds `fill`.
  RawPlacement(const files::OutputFile& out, files::OutputFile given, std::uint64_t length,
               std::uint8_t fill, std::uint64_t header = 0);
  RawPlacement(const RawPlacement&) = delete;
  RawPlacement& operator=(const RawPlacement&) = delete;

  // Puts `bytes` from `offset` on (all below the length); the first offset already given another
  // value stops it, and is returned. Throws FileError when the output cannot be written or read.
  std::optional<RawConflict> Put(std::uint64_t offset, std::span<const std::uint8_t> bytes);
  // Writes the window held and the fill of every part of the output no Put reached.
  void Finish();

 private:
  void Store();
  void Load(std::uint64_t window);
  std::size_t WindowLength(std::uint64_t window) const;

  const files::OutputFile& out_;
  files::OutputFile given_;
  std::uint64_t length_;
  std::uint8_t fill_;
  std::uint64_t header_;
  std::vector<bool> visited_;  // a window each: written out at least once
  std::optional<std::uint64_t> current_;
  std::vector<std::uint8_t> bytes_;
  std::vector<std::uint8_t> givenBits_;
};

}  // namespace lbe::listing
