#pragma once
// The menu's F and S commands and the notice after a load that settled what an interrupted save
// left: the screens around loading and saving the edited file.

#include <string>
#include <string_view>

#include "files/file_journal.h"

namespace lbe::screens {

// Shows a load's notice (lines separated by "\n"), if any, until a key is pressed.
void ShowLoadNotice(std::string_view notice);
// Key F: asks "FileName:" and loads the file named.
void FileNameCommand();
// Key S: writes the range in use to the file, asking for a name when there is none, and asking
// before it writes over changes made on disk or moves the bytes after the range.
void SaveCommand();

// The question a save asks about `concern`, as shown: lines separated by "\n".
std::string SaveQuestionText(const files::SaveConcern& concern, std::string_view fileName);

}  // namespace lbe::screens
