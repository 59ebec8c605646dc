#include "cli/command_line.h"

#include <cctype>
#include <cstddef>
#include <optional>
#include <utility>

#include "text/hex_text.h"

namespace lbe::cli {

namespace {

// Room for the 64 KiB image after it, below the largest length a file can have.
constexpr std::uint64_t kLargestFileOffset = 0x7FFFFFFFFFFEFFFFu;
constexpr std::string_view kLargestFileOffsetText = "7FFFFFFFFFFEFFFF";

// A switch begins with "-" or "/"; but "/home/me/rom.bin" is an absolute path, not a switch.
bool IsSwitch(std::string_view parameter) {
  if (parameter.empty() || (parameter[0] != '-' && parameter[0] != '/')) {
    return false;
  }
  return !(parameter[0] == '/' && parameter.find('/', 1) != std::string_view::npos);
}

// A file offset or length in hexadecimal, with an optional "0x": up to the largest offset a file
// can have.
std::optional<std::uint64_t> ParseHexNumber(std::string_view text) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
  }
  if (text.empty()) {
    return std::nullopt;
  }
  std::uint64_t value = 0;
  for (const char c : text) {
    const int digit = text::HexDigitValue(c);
    if (digit < 0 || value > (kLargestFileOffset >> 4)) {
      return std::nullopt;
    }
    value = value * 16 + static_cast<std::uint64_t>(digit);
  }
  return value <= kLargestFileOffset ? std::optional(value) : std::nullopt;
}

// Keeps the first reason the parameters cannot be followed: a later one would hide the cause.
void Refuse(CommandLineOptions& options, const std::string& reason) {
  if (options.WrongUse.empty()) {
    options.WrongUse = reason;
  }
}

// The value of --offset or --length (`name`, which takes `what`), from "=" or the next parameter.
std::optional<std::uint64_t> TakeHexValue(CommandLineOptions& options, bool& seen,
                                          std::string_view name, std::string_view what,
                                          std::optional<std::string_view> value) {
  const std::string needs = std::string(name) + " needs " + std::string(what) + " in hexadecimal";
  if (!value) {
    Refuse(options, needs);
    return std::nullopt;
  }
  if (seen) {
    Refuse(options, std::string(name) + " is given more than once");
    return std::nullopt;
  }
  seen = true;
  const auto number = ParseHexNumber(*value);
  if (!number) {
    Refuse(options, needs + " (up to " + std::string(kLargestFileOffsetText) + "), not '" +
                        std::string(*value) + "'");
  }
  return number;
}

// The value of --sums: a count of lines in decimal, at least 1.
void TakeSumEvery(CommandLineOptions& options, std::optional<std::string_view> value) {
  const std::string needs = "--sums needs a number of lines in decimal, at least 1";
  if (!value) {
    Refuse(options, needs);
    return;
  }
  if (options.SumEvery) {
    Refuse(options, "--sums is given more than once");
    return;
  }
  std::uint64_t count = 0;
  for (const char c : *value) {
    if (c < '0' || c > '9' || count > 0xFFFFFFFFu / 10) {
      count = 0;
      break;
    }
    count = count * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (count == 0 || count > 0xFFFFFFFFu) {
    Refuse(options, needs + ", not '" + std::string(*value) + "'");
    return;
  }
  options.SumEvery = static_cast<std::uint32_t>(count);
}

// The value of --address or --start-address (`name`): a record file's address in hexadecimal.
void TakeAddress(CommandLineOptions& options, std::optional<std::uint64_t>& taken,
                 std::string_view name, std::optional<std::string_view> value) {
  const std::string needs = std::string(name) + " needs an address in hexadecimal";
  if (!value) {
    Refuse(options, needs);
    return;
  }
  if (taken) {
    Refuse(options, std::string(name) + " is given more than once");
    return;
  }
  const auto address = value->size() <= 10 ? ParseHexNumber(*value) : std::nullopt;
  if (!address || *address > 0xFFFFFFFFu) {
    Refuse(options, needs + " (up to FFFFFFFF), not '" + std::string(*value) + "'");
    return;
  }
  taken = address;
}

// The value of --record-length: data bytes a record in decimal, 1 to 255 (the output's format
// may hold fewer).
void TakeRecordLength(CommandLineOptions& options, std::optional<std::string_view> value) {
  const std::string needs = "--record-length needs a number of data bytes in decimal, 1 to 255";
  if (!value) {
    Refuse(options, needs);
    return;
  }
  if (options.RecordLength) {
    Refuse(options, "--record-length is given more than once");
    return;
  }
  std::uint32_t count = 0;
  for (const char c : *value) {
    if (c < '0' || c > '9' || count > 255) {
      count = 0;
      break;
    }
    count = count * 10 + static_cast<std::uint32_t>(c - '0');
  }
  if (count == 0 || count > 255) {
    Refuse(options, needs + ", not '" + std::string(*value) + "'");
    return;
  }
  options.RecordLength = count;
}

// What follows /A: the address text, after one optional colon.
std::string AddressTextOf(std::string_view text) {
  if (!text.empty() && text[0] == ':') {
    text.remove_prefix(1);
  }
  return std::string(text);
}

// The file the editor is to load is a .prg file, by --format or by its name in any case.
bool ProgramFileNamed(const CommandLineOptions& options) {
  if (options.Format) {
    return *options.Format == "prg";
  }
  const std::string_view name = options.FileName ? std::string_view(*options.FileName) : "";
  return name.size() >= 4 && name[name.size() - 4] == '.' &&
         std::tolower(static_cast<unsigned char>(name[name.size() - 3])) == 'p' &&
         std::tolower(static_cast<unsigned char>(name[name.size() - 2])) == 'r' &&
         std::tolower(static_cast<unsigned char>(name[name.size() - 1])) == 'g';
}

// Why --convert and --fill cannot be followed as given; empty when they can.
std::string ConvertProblem(const CommandLineOptions& options,
                           const std::optional<std::string>& surplusName) {
  if (options.Convert && (options.List || options.Check)) {
    return "--convert cannot be used with --list or --check";
  }
  if (options.Address && !options.Convert && !options.List && !options.Check &&
      !ProgramFileNamed(options)) {
    return "--address goes with --convert, or with a new .prg file in the editor";
  }
  for (const auto& [given, name] :
       {std::pair{options.Fill.has_value(), "--fill"},
        std::pair{options.Address.has_value() && (options.List || options.Check), "--address"},
        std::pair{options.RecordLength.has_value(), "--record-length"},
        std::pair{options.StartAddress.has_value(), "--start-address"}}) {
    if (given && !options.Convert) {
      return std::string(name) + " goes with --convert only";
    }
  }
  if (options.Address && options.AddressText) {
    return "--address and /A cannot be used together: --address is exact, /A a line's address";
  }
  if (!options.Convert) {
    return "";
  }
  if (!options.FileName || !options.OutputName) {
    return "--convert needs the file to read and the file to write";
  }
  if (surplusName) {
    return "--convert takes two files; " + *surplusName + " is one too many";
  }
  return "";
}

// Why --journals, --remove and --apply cannot be followed as given; empty when they can.
std::string JournalsProblem(const CommandLineOptions& options,
                            const std::optional<std::string>& surplusName) {
  const std::string given = options.RemoveJournal ? "--remove" : "--apply";
  if ((options.RemoveJournal || options.ApplyJournal) && !options.Journals) {
    return given + " goes with --journals only";
  }
  if (!options.Journals) {
    return "";
  }
  for (const auto& [used, name] :
       {std::pair{options.List, "--list"}, std::pair{options.Check, "--check"},
        std::pair{options.Convert, "--convert"}, std::pair{options.TypeIn, "--type-in"}}) {
    if (used) {
      return std::string("--journals cannot be used with ") + name;
    }
  }
  if (options.RemoveJournal && options.ApplyJournal) {
    return "--remove and --apply cannot be used together";
  }
  if (options.FileName && !options.ApplyJournal) {
    return "--journals takes a file only after --apply; " + *options.FileName + " is one too many";
  }
  if (surplusName) {
    return "--apply takes one file; " + *surplusName + " is one too many";
  }
  return "";
}

// Why --list, --check and -o cannot be followed as given; empty when they can.
std::string ModeProblem(const CommandLineOptions& options, bool outputNameMissing, bool seenStyle,
                        const std::optional<std::string>& surplusName) {
  const std::string mode = options.List ? "--list" : "--check";
  if (options.Journals || options.RemoveJournal || options.ApplyJournal) {
    if (std::string problem = JournalsProblem(options, surplusName); !problem.empty()) {
      return problem;
    }
  }
  if (options.List && options.Check) {
    return "--list and --check cannot be used together";
  }
  if (options.TypeIn && (options.List || options.Check || options.Convert)) {
    return "--type-in cannot be used with " + (options.Convert ? std::string("--convert") : mode);
  }
  if (options.TypeIn && !options.FileName) {
    return "--type-in needs the file to type into";
  }
  if (outputNameMissing) {
    return "-o needs a file name after it";
  }
  if (options.SumEvery && !options.List) {
    return "--sums goes with --list only";
  }
  if (options.NewMlx && options.SumEvery) {
    return "--sums goes with lbe's own listings only, not --style=mlx";
  }
  if (seenStyle && !options.List && !options.Check && !options.TypeIn) {
    return "--style goes with --list, --check or --type-in only";
  }
  if (options.Convert || options.Fill || options.Address || options.RecordLength ||
      options.StartAddress) {
    return ConvertProblem(options, surplusName);
  }
  if (options.OutputName && !options.Check) {
    return "-o and --output go with --check only";
  }
  if ((options.List || options.Check) && !options.FileName) {
    return mode + (options.List ? " needs the file to list" : " needs the listing");
  }
  if ((options.List || options.Check) && surplusName) {
    return mode + " takes one file; " + *surplusName + " is one too many" +
           (options.Check && !options.OutputName ? " (the output file goes after -o)" : "");
  }
  return "";
}

// What the switches so far left behind beyond the options themselves.
struct SwitchesSeen {
  bool Offset = false;
  bool Length = false;
  bool Format = false;
  bool Fill = false;
  bool Style = false;
  bool OutputNameMissing = false;
};

// The value of --remove or --apply: a journal's name, as --journals lists it.
void TakeJournalName(CommandLineOptions& options, std::string_view name,
                     std::optional<std::string_view> value) {
  std::optional<std::string>& taken =
      name == "--remove" ? options.RemoveJournal : options.ApplyJournal;
  if (!value || value->empty()) {
    Refuse(options, std::string(name) + " needs the name of a journal, as --journals lists it");
  } else if (taken) {
    Refuse(options, std::string(name) + " is given more than once");
  } else {
    taken = std::string(*value);
  }
}

// The value of --format (raw, ihex or srec) or --fill (a byte in hexadecimal).
void TakeFormatOrFill(CommandLineOptions& options, SwitchesSeen& seen, std::string_view name,
                      std::optional<std::string_view> value) {
  const bool format = name == "--format";
  const std::string needs =
      std::string(name) +
      (format ? " needs raw, ihex, srec or prg" : " needs a byte in hexadecimal (00 to FF)");
  bool& given = format ? seen.Format : seen.Fill;
  if (!value) {
    Refuse(options, needs);
  } else if (given) {
    Refuse(options, std::string(name) + " is given more than once");
  } else if (format) {
    given = true;
    if (*value == "raw" || *value == "ihex" || *value == "srec" || *value == "prg") {
      options.Format = std::string(*value);
    } else {
      Refuse(options, needs + ", not '" + std::string(*value) + "'");
    }
  } else {
    given = true;
    const auto byte = value->size() <= 4 ? ParseHexNumber(*value) : std::nullopt;
    if (byte && *byte <= 0xFF) {
      options.Fill = static_cast<std::uint8_t>(*byte);
    } else {
      Refuse(options, needs + ", not '" + std::string(*value) + "'");
    }
  }
}

// The value of --style: lbe (the listings' own form) or mlx (New MLX).
void TakeStyle(CommandLineOptions& options, SwitchesSeen& seen,
               std::optional<std::string_view> value) {
  if (seen.Style) {
    Refuse(options, "--style is given more than once");
  } else if (!value || (*value != "lbe" && *value != "mlx")) {
    Refuse(options, "--style needs lbe or mlx" +
                        (value ? ", not '" + std::string(*value) + "'" : std::string()));
  } else {
    seen.Style = true;
    options.NewMlx = *value == "mlx";
  }
}

// The long option at `index`, "--name" or "--name=value", with its value from the next parameter
// when it takes one and has no "=": the index of the last parameter it took. Long options are
// matched whole and case-sensitive, so a misspelt one is refused rather than passed over.
std::size_t TakeLongOption(CommandLineOptions& options, SwitchesSeen& seen,
                           const std::vector<std::string>& parameters, std::size_t index) {
  const std::string_view parameter = parameters[index];
  const std::size_t equals = parameter.find('=');
  const std::string_view name = parameter.substr(0, equals);
  std::optional<std::string_view> value;
  if (equals != std::string_view::npos) {
    value = parameter.substr(equals + 1);
  }
  const bool takesValue = name == "--offset" || name == "--length" || name == "--output" ||
                          name == "--sums" || name == "--format" || name == "--fill" ||
                          name == "--remove" || name == "--apply" || name == "--address" ||
                          name == "--record-length" || name == "--start-address" ||
                          name == "--style";
  if (takesValue && !value && index + 1 < parameters.size()) {
    value = parameters[++index];  // whatever it looks like
  }
  if (name == "--offset") {
    options.FileOffset = TakeHexValue(options, seen.Offset, name, "a file offset", value)
                             .value_or(options.FileOffset);
    options.OffsetGiven = true;
  } else if (name == "--length") {
    if (const auto length = TakeHexValue(options, seen.Length, name, "a length", value)) {
      options.FileLength = length;
    }
  } else if (name == "--output") {
    seen.OutputNameMissing = !value;
    if (value) {
      options.OutputName = std::string(*value);
    }
  } else if (name == "--sums") {
    TakeSumEvery(options, value);
  } else if (name == "--format" || name == "--fill") {
    TakeFormatOrFill(options, seen, name, value);
  } else if (name == "--remove" || name == "--apply") {
    TakeJournalName(options, name, value);
  } else if (name == "--address" || name == "--start-address") {
    TakeAddress(options, name == "--address" ? options.Address : options.StartAddress, name, value);
  } else if (name == "--record-length") {
    TakeRecordLength(options, value);
  } else if (name == "--style") {
    TakeStyle(options, seen, value);
  } else if (name != "--help" && name != "--version" && name != "--list" && name != "--check" &&
             name != "--convert" && name != "--type-in" && name != "--journals") {
    Refuse(options, "unknown option '" + std::string(parameter) + "'");
  } else if (value) {
    Refuse(options, std::string(name) + " takes no value");
  } else if (name == "--help") {
    options.ShowUsage = options.ShowHelp = true;
  } else if (name == "--version") {
    options.ShowVersion = true;
  } else if (name == "--type-in") {
    options.TypeIn = true;
  } else if (name == "--journals") {
    options.Journals = true;
  } else {
    (name == "--list" ? options.List : name == "--check" ? options.Check : options.Convert) = true;
  }
  return index;
}

// The switch at `index`, with its value when that is the next parameter: the index of the last
// parameter it took. Unknown "/" and "-" switches are passed over.
std::size_t TakeSwitch(CommandLineOptions& options, SwitchesSeen& seen,
                       const std::vector<std::string>& parameters, std::size_t index) {
  const std::string& parameter = parameters[index];
  if (parameter.starts_with("--")) {
    return TakeLongOption(options, seen, parameters, index);
  }
  const std::string_view rest = std::string_view(parameter).substr(1);
  if (rest == "?" || parameter == "-h") {
    options.ShowUsage = true;
    options.ShowHelp = options.ShowHelp || rest != "?";
  } else if (parameter == "-o") {
    // The name is the next parameter, whatever it looks like.
    seen.OutputNameMissing = index + 1 == parameters.size();
    if (!seen.OutputNameMissing) {
      options.OutputName = parameters[++index];
    }
  } else if (rest == "m" || rest == "M") {
    options.NibbleMovement = true;
  } else if (!options.AddressText && !rest.empty() && (rest[0] == 'a' || rest[0] == 'A')) {
    options.AddressText = AddressTextOf(rest.substr(1));
  }
  return index;
}

}  // namespace

CommandLineOptions ParseCommandLine(const std::vector<std::string>& parameters) {
  CommandLineOptions options;
  SwitchesSeen seen;
  bool switchesEnded = false;
  std::optional<std::string> secondName;
  std::optional<std::string> thirdName;
  for (std::size_t index = 0; index < parameters.size(); ++index) {
    const std::string& parameter = parameters[index];
    if (!switchesEnded && parameter == "--") {
      switchesEnded = true;
    } else if (switchesEnded || !IsSwitch(parameter)) {
      if (!options.FileName) {
        options.FileName = parameter;
      } else if (!secondName) {
        secondName = parameter;
      } else if (!thirdName) {
        thirdName = parameter;
      }
    } else {
      index = TakeSwitch(options, seen, parameters, index);
    }
  }
  // --convert IN OUT: the second name is the output; -o may name it instead, never as well.
  std::optional<std::string> surplusName = secondName;
  if (options.Convert && secondName && options.OutputName) {
    Refuse(options, "--convert takes the output file once: " + *secondName + " and -o " +
                        *options.OutputName + " both name it");
  } else if (options.Convert && secondName) {
    options.OutputName = secondName;
    surplusName = thirdName;
  }
  if (options.WrongUse.empty()) {
    options.WrongUse = ModeProblem(options, seen.OutputNameMissing, seen.Style, surplusName);
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
         " -h, --help          Print this text\n"
         " --version           Print the version\n"
         " --offset=N          Load and save the file from its byte N on\n"
         " --length=N          Load at most N bytes from the offset\n"
         " --list FILE         Print the lines in use after loading FILE, with checksums\n"
         " --sums=N            With --list: a row of column sums after every N lines\n"
         " --style=mlx         With --list, --check, --type-in: listings in the New MLX\n"
         "                     form, whose checksum weighs the address and each byte\n"
         " --check LISTING     Check a typed listing line by line\n"
         " --type-in           Type a listing in: the edit mode asks each line's checksum\n"
         " -o, --output=FILE   With --check: write the bytes when every line checks out\n"
         " --convert IN OUT    Convert IN to OUT: raw, Intel HEX, S-record or .prg by the\n"
         "                     names (the whole file; 64 KiB with --offset or --length)\n"
         " --format=F          raw, ihex, srec or prg, whatever the name says: the file's\n"
         "                     at start-up, F and S; the output's of --check, --convert\n"
         " --fill=XX           With --convert to raw: the byte of the gaps (default 00)\n"
         " --address=N         With --convert from raw: the address of its first byte;\n"
         "                     in the editor, a new .prg file's load address\n"
         " --record-length=N   With --convert to records: data bytes a record, in decimal\n"
         "                     (default: the input's longest record, else 16)\n"
         " --start-address=N   With --convert to records: the execution start address\n"
         "                     (default: the input's own)\n"
         " --journals          List the journals of saves that wait, and why\n"
         " --remove=NAME       With --journals: remove the journal NAME\n"
         " --apply=NAME [FILE] With --journals: put back into its file (or FILE) the\n"
         "                     bytes the journal NAME holds, when you say yes\n"
         "In the edit mode also: / find bytes, N find the next, U undo, Y redo.\n"
         "Addresses are hexadecimal, without a prefix.\n"
         "See lbe(1).\n";
}

}  // namespace lbe::cli
