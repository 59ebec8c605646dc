#pragma once
// The main routine: sets up the image and the range from the command line, loads the file, and
// loops in the main menu until Quit is confirmed.

#include <cstdint>
#include <string>
#include <string_view>

#include "files/edited_file.h"

namespace lbe::screens {

// What the editor takes from the command line.
struct EditorSettings {
  files::StartFile File;        // the start address and the file to load
  bool NibbleMovement = false;  // /M: Left and Right move by nibbles in the edit mode
  bool TypeIn = false;          // --type-in: E and G open the type-in mode (screens/type_in.h)
  // --type-in --style=mlx: the sums typed are New MLX ones, every line shown as the listing
  // prints it (screens/line_dump.h).
  bool NewMlx = false;
};

// Runs on a started console. Returns when the user confirms Quit. A load error at start-up
// escapes as FileError; the end of input escapes as InputEnded.
void MainRoutine(const EditorSettings& settings);

// The name the status line shows: the last component of `fileName` (after its last "\", "/" or
// ":"), "[no name]" when the name is empty, with control characters made visible.
std::string ShownFileName(std::string_view fileName);

// What follows the name on the status line when the file is loaded from an offset other than 0:
// " +" and the offset in hexadecimal ("File: game.rom +14000"); nothing for offset 0.
std::string ShownFileOffset(std::uint64_t offset);

// The highlighted label: first character yellow, the rest (and all that follows) bright white.
void WriteLabel(std::string_view text);

}  // namespace lbe::screens
