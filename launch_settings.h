#pragma once
// What the parsed command line asks of the editor and the listing modes: the one place where
// the command line's options become the parameters of the rooms below main.cpp.

#include "cli/command_line.h"
#include "files/edited_file.h"
#include "screens/main_menu.h"

namespace lbe {

inline files::StartFile StartFileOf(const cli::CommandLineOptions& options) {
  files::StartFile start;
  start.AddressText = options.AddressText;
  start.Name = options.FileName.value_or("");
  start.Offset = options.FileOffset;
  start.Length = options.FileLength.value_or(files::kAsMuchAsFits);
  return start;
}

inline screens::EditorSettings EditorSettingsOf(const cli::CommandLineOptions& options) {
  return screens::EditorSettings{StartFileOf(options), options.NibbleMovement, options.TypeIn};
}

}  // namespace lbe
