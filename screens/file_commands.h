#pragma once
// The menu's F and S commands and the notice after a load that undid an interrupted save: the
// screens around loading and saving the edited file.

namespace lbe::screens {

// Shows image::Window.Notice, if any, until a key is pressed, and empties it.
void ShowLoadNotice();
// Key F: asks "FileName:" and loads the file named.
void FileNameCommand();
// Key S: writes the range in use to the file, asking for a name when there is none.
void SaveCommand();

}  // namespace lbe::screens
