#pragma once
// The command line: switches and the file name, by the program's own matching rules. Pure.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lbe::screens {

struct CommandLineOptions {
  bool ShowUsage = false;                  // /?, -?, -h or --help
  bool ShowVersion = false;                // --version
  std::optional<std::string> AddressText;  // what follows /A (and one optional colon)
  bool NibbleMovement = false;             // /M: Left and Right move by nibbles
  std::optional<std::string> FileName;     // the first parameter that is no switch
  std::uint64_t FileOffset = 0;            // --offset=N: the file's byte N stands at the start
  std::string Problem;  // a parameter that cannot be used: the program says so and stops

  bool operator==(const CommandLineOptions&) const = default;
};
extern CommandLineOptions Options;

// `parameters` are those after the program path. A parameter that begins with "/" and holds
// another "/" is a file name, not a switch; "--" ends the switches. `--offset=N` and
// `--offset N` take N in hexadecimal with an optional "0x"; a bad or repeated one sets Problem.
CommandLineOptions ParseCommandLine(const std::vector<std::string>& parameters);

// The usage text, one "\n" per line end, with the upper-cased base name of the program.
std::string UsageText(std::string_view programPath);

}  // namespace lbe::screens
