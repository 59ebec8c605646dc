#include "screens/command_line.h"

#include <cctype>
#include <cstddef>
#include <optional>

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
  bool outputNameMissing = false;
  std::optional<std::string> surplusName;
  for (std::size_t index = 0; index < parameters.size(); ++index) {
    const std::string& parameter = parameters[index];
    if (!switchesEnded && parameter == "--") {
      switchesEnded = true;
      continue;
    }
    if (switchesEnded || !IsSwitch(parameter)) {
      if (!options.FileName) {
        options.FileName = parameter;
      } else if (!surplusName) {
        surplusName = parameter;
      }
      continue;
    }
    const std::string_view rest = std::string_view(parameter).substr(1);
    if (rest == "?" || parameter == "-h" || parameter == "--help") {
      options.ShowUsage = true;
      options.ShowHelp = options.ShowHelp || rest != "?";
    } else if (parameter == "--list") {
      options.List = true;
    } else if (parameter == "--check") {
      options.Check = true;
    } else if (parameter == "-o" || parameter == "--output") {
      // The name is the next parameter, whatever it looks like.
      if (index + 1 < parameters.size()) {
        options.OutputName = parameters[++index];
      } else {
        outputNameMissing = true;
      }
    } else if (parameter.starts_with("--output=")) {
      options.OutputName = parameter.substr(std::string_view("--output=").size());
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
  const std::string mode = options.List ? "--list" : "--check";
  if (options.List && options.Check) {
    options.WrongUse = "--list and --check cannot be used together";
  } else if (outputNameMissing) {
    options.WrongUse = "-o needs a file name after it";
  } else if (options.OutputName && !options.Check) {
    options.WrongUse = "-o and --output go with --check only";
  } else if ((options.List || options.Check) && !options.FileName) {
    options.WrongUse = mode + (options.List ? " needs the file to list" : " needs the listing");
  } else if ((options.List || options.Check) && surplusName) {
    options.WrongUse =
        mode + " takes one file; " + *surplusName + " is one too many" +
        (options.Check && !options.OutputName ? " (the output file goes after -o)" : "");
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

std::string HelpText(std::string_view programPath) {
  return UsageText(programPath) +
         "\n"
         "On Linux also:\n"
         " --                  Every later parameter is a file name\n"
         " --version           Print the version\n"
         " --offset=N          Load the file from its byte N on\n"
         " --list FILE         Print the lines in use after loading FILE, with checksums\n"
         " --check LISTING     Check a typed listing line by line\n"
         " -o, --output=FILE   With --check: write the bytes when every line checks out\n"
         "Addresses are hexadecimal, without a prefix.\n"
         "See lbe(1).\n";
}

}  // namespace lbe::screens
