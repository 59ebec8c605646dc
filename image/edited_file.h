#pragma once
// The edited file: its name, where the image stands in it, loading it into the image at the
// start address and saving the range in use back. Returns data or throws FileError; the F and
// S screens show the outcome.

#include <cstdint>
#include <string>

#include "image/file_journal.h"

namespace lbe::image {

// The file that is loaded and saved, exactly as typed or passed; empty means none.
extern std::string CurrentFileName;

// Where the image stands in the file. A save replaces exactly `Stretch` with the range in use,
// so the bytes of a file that no load read (those beyond the 64 KiB space, those before the
// offset) are never touched.
struct FileWindow {
  std::uint64_t Offset = 0;  // --offset: the file's byte that loads at StartAddress
  FileStretch Stretch;       // read by the last load or written by the last save
  std::string Notice;        // set when a load undid an interrupted save; shown once

  bool operator==(const FileWindow&) const = default;
};
extern FileWindow Window;

// Copies the named file, from Window.Offset on, into the image at StartAddress and sets EndLine
// from the count; puts the file back first when a save of it was interrupted (Window.Notice
// says so, in two lines). Loads nothing when the name names no existing file, and the next save
// then writes the range at the offset. Throws FileError when the file cannot be read.
void LoadFile();

// Writes the range in use to CurrentFileName in place of Window.Stretch, takes the image as
// saved and returns the stretch now written (also in Window.Stretch). Throws FileError with the
// file, Window and the saved state as they were.
FileStretch SaveRange();

}  // namespace lbe::image
