#pragma once
// A file that did not exist, written complete or not at all: whole under a private name in its
// folder, on the disk, then linked in at its own name, which it never takes from a file that
// appeared there meanwhile. No journal and no state folder: until the link there is nothing to
// put back. Knows nothing of the console or the image.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace lbe::files {

// Writes `bytes` as the new file `target` (links already followed; it names nothing), with the
// mode open(O_CREAT, 0666) would give it under the umask, and flushes its folder. Throws
// FileError with the message of the step that failed, the create message (with `shownPath`) when
// the folder takes no new file or a file appeared at the name; nothing is then left behind, and
// what appeared at the name stays as it is.
void WriteNewFile(std::string_view shownPath, const std::string& target,
                  std::span<const std::uint8_t> bytes);

}  // namespace lbe::files
