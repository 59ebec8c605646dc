#pragma once
// The edited file: its name, loading it into the image at the start address, and the menu's
// F and S commands.

#include <string>

namespace lbe::image {

// The file that is loaded and saved, exactly as typed or passed; empty means none.
extern std::string CurrentFileName;

// Copies the named file into the image at StartAddress and sets EndLine from its length; does
// nothing when the name names no existing file. Throws FileError when the file cannot be read.
void LoadFile();
// Key F: asks "FileName:" and loads the file named.
void FileNameCommand();
// Key S: writes the range in use to the file, asking for a name when there is none.
void SaveCommand();

}  // namespace lbe::image
