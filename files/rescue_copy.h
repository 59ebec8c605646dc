#pragma once
// The rescue copy: when a signal ends the program with unsaved changes, the bytes Save would
// write go to a new file beside the edited one, so a dropped link costs nothing typed.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace lbe::files {

// The rescue file's name for a file name: "NAME.lbe-rescue", or "lbe-rescue.bin" when there is
// no name; `attempt` > 0 adds ".1", ".2", ... so that no existing file is ever overwritten.
// A `suffix` (".hex") ends the name, in place of ".bin" when there is no name, so that the copy
// is read in the format it is written in.
std::string RescueFileName(std::string_view fileName, int attempt, std::string_view suffix = {});

// Writes `bytes` (those a save of `fileName` would write) to a new rescue file named after
// `fileName` (never over an existing one). The file gets its name only once all of it is on
// the disk, so no short copy ever shows. Returns the name written. Throws FileError, whose text
// names each place tried and why it failed, when there is none.
std::string WriteRescueCopy(std::string_view fileName, std::span<const std::uint8_t> bytes,
                            std::string_view suffix = {});

}  // namespace lbe::files
