#include "screens/command_line.h"

#include <cctype>

namespace lbe::screens {

CommandLineOptions Options;

namespace {

bool EqualsIgnoringCase(std::string_view text, std::string_view word) {
  if (text.size() != word.size()) {
    return false;
  }
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) !=
        std::tolower(static_cast<unsigned char>(word[i]))) {
      return false;
    }
  }
  return true;
}

// A switch begins with "-" or "/"; but "/home/me/rom.bin" is an absolute path, not a switch.
bool IsSwitch(std::string_view parameter) {
  if (parameter.empty() || (parameter[0] != '-' && parameter[0] != '/')) {
    return false;
  }
  return !(parameter[0] == '/' && parameter.find('/', 1) != std::string_view::npos);
}

}  // namespace

CommandLineOptions ParseCommandLine(const std::vector<std::string>& parameters) {
  CommandLineOptions options;
  bool switchesEnded = false;
  for (const std::string& parameter : parameters) {
    if (!switchesEnded && parameter == "--") {
      switchesEnded = true;
      continue;
    }
    if (switchesEnded || !IsSwitch(parameter)) {
      if (!options.FileName) {
        options.FileName = parameter;
      }
      continue;
    }
    const std::string_view rest = std::string_view(parameter).substr(1);
    if (rest == "?" || parameter == "-h" || parameter == "--help") {
      options.ShowUsage = true;
    } else if (parameter == "--version") {
      options.ShowVersion = true;
    } else if (EqualsIgnoringCase(rest, "m")) {
      options.NibbleMovement = true;
    } else if (!options.AddressText && !rest.empty() && (rest[0] == 'a' || rest[0] == 'A')) {
      std::string_view text = rest.substr(1);
      if (!text.empty() && text[0] == ':') {
        text.remove_prefix(1);
      }
      options.AddressText = std::string(text);
    }
  }
  return options;
}

std::string UsageText(std::string_view programPath) {
  std::string_view name = programPath;
  if (const std::size_t slash = name.find_last_of('/'); slash != std::string_view::npos) {
    name.remove_prefix(slash + 1);
  }
  if (const std::size_t dot = name.find_last_of('.'); dot != std::string_view::npos && dot > 0) {
    name = name.substr(0, dot);
  }
  std::string upper(name.empty() ? std::string_view("lbe") : name);
  for (char& c : upper) {
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return "Line Binary Editor\n"
         "\n" +
         upper +
         " [/A[[:]Start-address]] [/M] [FileName]\n"
         "\n"
         " /A    Specify the start address\n"
         " /M    Set cursor movement to nibble units\n";
}

}  // namespace lbe::screens
