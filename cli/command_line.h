#pragma once
// The command line: switches and the file name, by the program's own matching rules. Pure.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lbe::cli {

struct CommandLineOptions {
  bool ShowUsage = false;                     // /?, -?, -h or --help
  bool ShowHelp = false;                      // -h or --help: the usage and what Linux adds
  bool ShowVersion = false;                   // --version
  std::optional<std::string> AddressText;     // what follows /A (and one optional colon)
  bool NibbleMovement = false;                // /M: Left and Right move by nibbles
  std::optional<std::string> FileName;        // the first parameter that is no switch
  std::uint64_t FileOffset = 0;               // --offset=N: the file's byte N stands at the start
  bool OffsetGiven = false;                   // --offset was given (FileOffset may still be 0)
  std::optional<std::uint64_t> FileLength;    // --length=N: at most N bytes loaded from there
  bool List = false;                          // --list: print the lines as loaded, then end
  bool Check = false;                         // --check: check the listing FileName, then end
  bool TypeIn = false;                        // --type-in: the edit mode checks typed line sums
  std::optional<std::string> OutputName;      // -o FILE, --output FILE or --output=FILE
  bool Convert = false;                       // --convert IN OUT: FileName to OutputName
  std::optional<std::string> Format;          // --format=raw|ihex|srec|prg, overriding the name
  std::optional<std::uint8_t> Fill;           // --fill=XX: the byte of a raw output's gaps
  std::optional<std::uint64_t> Address;       // --address=N: where a raw input's bytes go, or
                                              // a new .prg file's load address in the editor
  std::optional<std::uint32_t> RecordLength;  // --record-length=N: data bytes a record, 1 to 255
  std::optional<std::uint64_t> StartAddress;  // --start-address=N: the output's start address
  std::optional<std::uint32_t> SumEvery;      // --sums=N (WrongUse when bad or without --list)
  bool NewMlx = false;                        // --style=mlx: listings in the New MLX form
  bool Journals = false;                      // --journals: list the waiting journals, then end
  std::optional<std::string> RemoveJournal;   // --remove=NAME, with --journals
  std::optional<std::string> ApplyJournal;    // --apply=NAME, with --journals (FileName: its file)
  // Why the parameters cannot be followed (the program says so and stops); empty when they can.
  // Only the long options, -o and the file names of the modes set it: the editor's own
  // parameters never fail, and unknown "/" and "-" switches are passed over.
  std::string WrongUse;

  bool operator==(const CommandLineOptions&) const = default;
};

// `parameters` are those after the program path. A parameter that begins with "/" and holds
// another "/" is a file name, not a switch; "--" ends the switches. `--offset=N`, `--offset N`
// and the same forms of --length take N in hexadecimal with an optional "0x"; "-o" and
// "--output" take the parameter after them as the output name; --convert takes the second file
// name as the output name; --address and --start-address take an address in hexadecimal up to
// FFFFFFFF, --record-length a count in decimal, all three with --convert only (--address also in
// the editor, for a new .prg file); --style takes lbe or mlx, with --list, --check or --type-in;
// --remove and --apply take a journal's name as --offset takes N, and --apply the file name after
// it as the journal's file. Long options are case-sensitive.
CommandLineOptions ParseCommandLine(const std::vector<std::string>& parameters);

// The usage text, one "\n" per line end, with the upper-cased base name of the program.
std::string UsageText(std::string_view programPath);
// The usage text followed by the lines on what Linux adds (--help).
std::string HelpText(std::string_view programPath);

}  // namespace lbe::cli
