#pragma once
// The command line: switches and the file name, by the program's own matching rules. Pure.

#include <optional>
#include <string>
#include <vector>

namespace lbe::screens {

struct CommandLineOptions {
  bool ShowUsage = false;                  // /? or -?
  std::optional<std::string> AddressText;  // what follows /A (and one optional colon)
  bool NibbleMovement = false;             // /M: Left and Right move by nibbles
  std::optional<std::string> FileName;     // the first parameter that is no switch
};
extern CommandLineOptions Options;

// `parameters` are those after the program path.
CommandLineOptions ParseCommandLine(const std::vector<std::string>& parameters);

}  // namespace lbe::screens
