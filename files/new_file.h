#pragma once
// A file that did not exist, written complete or not at all: whole under a private name in its
// folder, on the disk, then linked in at its own name, which it never takes from a file that
// appeared there meanwhile. No journal and no state folder: until the link there is nothing to
// put back. Also the scratch files a long output is put together in. Knows nothing of the console
// or the image.

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "files/file_layer.h"

namespace lbe::files {

// A file of this process's own, open to read and write, that an output is put together in before
// it takes its place: bytes written at any offset and read back. Each call throws FileError: the
// write message (the system error past the process's file size limit), the read message.
class OutputFile {
 public:
  explicit OutputFile(int fd) : fd_(fd) {}
  void WriteAt(std::uint64_t offset, std::span<const std::uint8_t> bytes) const;
  // All of `bytes` from `offset`; what lies past the end of the file reads as zeros.
  void ReadAt(std::uint64_t offset, std::span<std::uint8_t> bytes) const;
  // Longer: zeros, which take no room where the file system keeps holes.
  void SetLength(std::uint64_t length) const;
  std::uint64_t Length() const;

 private:
  int fd_;
};
// Writes all of an output's bytes into the file it is handed, which starts empty.
using OutputWriter = std::function<void(const OutputFile&)>;

// Writes the new file `target` (links already followed; it names nothing) with what `write` puts
// into it, with the mode open(O_CREAT, 0666) would give it under the umask, and flushes its
// folder. Throws FileError with the message of the step that failed (or what `write` threw), the
// create message (with `shownPath`) when the folder takes no new file or a file appeared at the
// name; nothing is then left behind, and what appeared at the name stays as it is.
void WriteNewFile(std::string_view shownPath, const std::string& target, const OutputWriter& write);
// The same with `bytes`.
void WriteNewFile(std::string_view shownPath, const std::string& target,
                  std::span<const std::uint8_t> bytes);

// A file with no name that only this process has open, for scratch data: in the folder of `path`
// where that folder takes one, else in TMPDIR (/tmp when it is not set). It is gone once closed.
// Throws FileError with the create message naming `path`.
FileDescriptor OpenScratchFile(std::string_view path);

}  // namespace lbe::files
