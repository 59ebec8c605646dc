#include "cli/command_line.h"

#include <gtest/gtest.h>

#include "text/hex_text.h"

namespace lbe::cli {
namespace {

TEST(CommandLine, SwitchFormsInEitherOrder) {
  for (const auto& parameters :
       {std::vector<std::string>{"x.bin", "/A100"}, std::vector<std::string>{"/A100", "x.bin"},
        std::vector<std::string>{"-a:100", "x.bin", "y.bin"}}) {
    const CommandLineOptions options = ParseCommandLine(parameters);
    EXPECT_EQ(options.AddressText, "100");
    EXPECT_EQ(options.FileName, "x.bin");
    EXPECT_FALSE(options.ShowUsage);
  }
}

TEST(CommandLine, AddressSwitchAlone) {
  const CommandLineOptions options = ParseCommandLine({"/A", "100", "x.bin"});
  EXPECT_EQ(options.AddressText, "");
  EXPECT_EQ(options.FileName, "100");
  EXPECT_EQ(ParseCommandLine({"/a:"}).AddressText, "");
  EXPECT_EQ(ParseCommandLine({"/Axyz"}).AddressText, "xyz");
  EXPECT_EQ(ParseCommandLine({"/A1", "/A2"}).AddressText, "1");  // the first one counts
  EXPECT_EQ(ParseCommandLine({"x.bin"}).AddressText, std::nullopt);
}

TEST(CommandLine, NibbleSwitchMustBeTheWholeParameter) {
  EXPECT_TRUE(ParseCommandLine({"/m"}).NibbleMovement);
  EXPECT_TRUE(ParseCommandLine({"-M"}).NibbleMovement);
  EXPECT_FALSE(ParseCommandLine({"/Mx"}).NibbleMovement);
  EXPECT_FALSE(ParseCommandLine({"m"}).NibbleMovement);
  EXPECT_EQ(ParseCommandLine({"m"}).FileName, "m");
}

TEST(CommandLine, UsageSwitches) {
  for (const char* parameter : {"/?", "-?", "-h", "--help"}) {
    SCOPED_TRACE(parameter);
    EXPECT_TRUE(ParseCommandLine({"x.bin", parameter}).ShowUsage);
    EXPECT_EQ(ParseCommandLine({"x.bin", parameter}).ShowHelp, parameter[1] != '?');
  }
  EXPECT_FALSE(ParseCommandLine({"/??"}).ShowUsage);
  EXPECT_TRUE(ParseCommandLine({"--version"}).ShowVersion);
}

TEST(CommandLine, UnknownSwitchesAreNoFileNames) {
  EXPECT_EQ(ParseCommandLine({"/x", "-", "-long", "rom.bin"}).FileName, "rom.bin");
}

TEST(CommandLine, UnknownLongOptionsAreRefused) {
  const struct {
    std::vector<std::string> parameters;
    std::string wrongUse;
  } cases[] = {
      {{"--lenght", "4000", "rom.bin"}, "unknown option '--lenght'"},
      {{"--lenght=4000", "rom.bin"}, "unknown option '--lenght=4000'"},
      {{"rom.bin", "--offest=3"}, "unknown option '--offest=3'"},
      {{"--LIST", "rom.bin"}, "unknown option '--LIST'"},    // case-sensitive, as GNU's are
      {{"--off=3", "rom.bin"}, "unknown option '--off=3'"},  // no abbreviations
      {{"--list2", "rom.bin"}, "unknown option '--list2'"},
      {{"--list=rom.bin"}, "--list takes no value"},
      {{"--help=all"}, "--help takes no value"},
      {{"--lenght=4000", "--offset=x"}, "unknown option '--lenght=4000'"},
      {{"--offset=x", "--lenght=4000"},
       "--offset needs a file offset in hexadecimal (up to 7FFFFFFFFFFEFFFF), not 'x'"},
      // Only long options: "/" and "-" switches are passed over, and after "--" it is a name.
      {{"/lenght", "-lenght", "--", "--lenght=4000"}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.parameters));
    const CommandLineOptions options = ParseCommandLine(c.parameters);
    EXPECT_EQ(options.WrongUse, c.wrongUse);
    EXPECT_FALSE(options.ShowUsage);
  }
}

TEST(CommandLine, AbsolutePathIsAFileNameNotASwitch) {
  const CommandLineOptions options = ParseCommandLine({"/home/me/rom.bin", "/A100"});
  EXPECT_EQ(options.FileName, "/home/me/rom.bin");
  EXPECT_EQ(options.AddressText, "100");
  EXPECT_EQ(ParseCommandLine({"/Afolder/x"}).FileName, "/Afolder/x");
  EXPECT_EQ(ParseCommandLine({"/Afolder/x"}).AddressText, std::nullopt);
}

TEST(CommandLine, DoubleDashEndsTheSwitches) {
  const CommandLineOptions options = ParseCommandLine({"/M", "--", "-a100", "/?"});
  EXPECT_TRUE(options.NibbleMovement);
  EXPECT_EQ(options.FileName, "-a100");
  EXPECT_EQ(options.AddressText, std::nullopt);
  EXPECT_FALSE(options.ShowUsage);
}

TEST(CommandLine, TypeInNeedsItsFileAndTheEditor) {
  const struct {
    std::vector<std::string> parameters;
    bool typeIn;
    std::string wrongUse;
  } cases[] = {
      {{"--type-in", "/A100", "--offset=10", "rom.bin"}, true, ""},
      {{"rom.bin", "--type-in"}, true, ""},
      {{"--type-in"}, true, "--type-in needs the file to type into"},
      {{"--type-in", "--list", "rom.bin"}, true, "--type-in cannot be used with --list"},
      {{"--type-in", "--check", "l.txt"}, true, "--type-in cannot be used with --check"},
      {{"--type-in=yes", "rom.bin"}, false, "--type-in takes no value"},
      {{"--TYPE-IN", "rom.bin"}, false, "unknown option '--TYPE-IN'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.parameters));
    const CommandLineOptions options = ParseCommandLine(c.parameters);
    EXPECT_EQ(options.TypeIn, c.typeIn);
    EXPECT_EQ(options.WrongUse, c.wrongUse);
  }
}

TEST(CommandLine, FileOffsetAndLength) {
  const struct {
    std::vector<std::string> parameters;
    std::uint64_t offset;
    std::string problem;
    std::optional<std::string> fileName;
    std::optional<std::uint64_t> length = std::nullopt;
  } cases[] = {
      {{"rom.bin"}, 0, "", "rom.bin"},
      {{"--offset=0", "rom.bin"}, 0, "", "rom.bin"},
      {{"--offset=14000", "rom.bin"}, 0x14000, "", "rom.bin"},
      {{"--offset", "0x1Ab", "rom.bin"}, 0x1AB, "", "rom.bin"},
      {{"rom.bin", "--offset", "0X3"}, 3, "", "rom.bin"},  // any byte, not only whole lines
      {{"--offset=100000000"}, 0x100000000, "", std::nullopt},
      {{"--offset=7FFFFFFFFFFEFFFF"}, 0x7FFFFFFFFFFEFFFF, "", std::nullopt},
      {{"--offset=7FFFFFFFFFFF0000", "x"},
       0,
       "--offset needs a file offset in hexadecimal (up to 7FFFFFFFFFFEFFFF), not "
       "'7FFFFFFFFFFF0000'",
       "x"},
      {{"--offset=10000000000000000"},
       0,
       "--offset needs a file offset in hexadecimal (up to 7FFFFFFFFFFEFFFF), not "
       "'10000000000000000'",
       std::nullopt},
      {{"--offset=xyz"},
       0,
       "--offset needs a file offset in hexadecimal (up to 7FFFFFFFFFFEFFFF), not 'xyz'",
       std::nullopt},
      {{"--offset="},
       0,
       "--offset needs a file offset in hexadecimal (up to 7FFFFFFFFFFEFFFF), not ''",
       std::nullopt},
      {{"--offset=0x"},
       0,
       "--offset needs a file offset in hexadecimal (up to 7FFFFFFFFFFEFFFF), not '0x'",
       std::nullopt},
      {{"--offset=-1"},
       0,
       "--offset needs a file offset in hexadecimal (up to 7FFFFFFFFFFEFFFF), not '-1'",
       std::nullopt},
      {{"--offset= 10"},
       0,
       "--offset needs a file offset in hexadecimal (up to 7FFFFFFFFFFEFFFF), not ' 10'",
       std::nullopt},
      {{"--offset=09afAF"}, 0x09AFAF, "", std::nullopt},
      {{"--offset"}, 0, "--offset needs a file offset in hexadecimal", std::nullopt},
      {{"--offset=10", "--offset=20"}, 0x10, "--offset is given more than once", std::nullopt},
      {{"--offset=10", "--offset", "10"}, 0x10, "--offset is given more than once", std::nullopt},
      // After "--" it is a name; "--offset" takes the next parameter, whatever it looks like.
      {{"--", "--offset=10"}, 0, "", "--offset=10"},
      {{"--offset", "--", "x"},
       0,
       "--offset needs a file offset in hexadecimal (up to 7FFFFFFFFFFEFFFF), not '--'",
       "x"},
      // One 16 KiB bank of a larger file.
      {{"/A8000", "--offset=14000", "--length=4000", "rom.bin"}, 0x14000, "", "rom.bin", 0x4000},
      {{"--length", "0X4000", "--offset", "3"}, 3, "", std::nullopt, 0x4000},
      {{"--length=0"}, 0, "", std::nullopt, 0},
      {{"--length=7FFFFFFFFFFEFFFF"}, 0, "", std::nullopt, 0x7FFFFFFFFFFEFFFF},
      {{"--length=7FFFFFFFFFFF0000"},
       0,
       "--length needs a length in hexadecimal (up to 7FFFFFFFFFFEFFFF), not '7FFFFFFFFFFF0000'",
       std::nullopt},
      {{"rom.bin", "--length"}, 0, "--length needs a length in hexadecimal", "rom.bin"},
      {{"--length=10", "--length", "20"},
       0,
       "--length is given more than once",
       std::nullopt,
       0x10},
      {{"--length", "--offset=10"},
       0,
       "--length needs a length in hexadecimal (up to 7FFFFFFFFFFEFFFF), not '--offset=10'",
       std::nullopt},
      // The first problem is the one reported.
      {{"--offset=x", "--length"},
       0,
       "--offset needs a file offset in hexadecimal (up to 7FFFFFFFFFFEFFFF), not 'x'",
       std::nullopt},
      {{"--", "--length=10"}, 0, "", "--length=10"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.parameters));
    const CommandLineOptions options = ParseCommandLine(c.parameters);
    EXPECT_EQ(options.FileOffset, c.offset);
    EXPECT_EQ(options.WrongUse, c.problem);
    EXPECT_EQ(options.FileName, c.fileName);
    EXPECT_EQ(options.FileLength, c.length);
  }
}

// The characters beside the runs of digits in ASCII, and a byte past ASCII, are no digits.
TEST(CommandLine, OffsetRefusesTheNeighboursOfTheDigits) {
  for (const std::string text : {"1g", "1G", "1/", "1:", "1@", "1`", "1\xC1", "0x1g"}) {
    EXPECT_EQ(
        ParseCommandLine({"--offset=" + text}).WrongUse,
        "--offset needs a file offset in hexadecimal (up to 7FFFFFFFFFFEFFFF), not '" + text + "'");
  }
}

TEST(CommandLine, ListAndCheckModes) {
  struct {
    std::vector<std::string> parameters;
    bool list;
    bool check;
    std::optional<std::string> fileName;
    std::optional<std::string> outputName;
    std::string wrongUse;
  } cases[] = {
      {{"--list", "rom.bin"}, true, false, "rom.bin", std::nullopt, ""},
      {{"/A100", "rom.bin", "--list", "--offset=10"}, true, false, "rom.bin", std::nullopt, ""},
      {{"--check", "l.txt"}, false, true, "l.txt", std::nullopt, ""},
      {{"--check", "l.txt", "-o", "out.bin"}, false, true, "l.txt", "out.bin", ""},
      {{"-o", "out.bin", "l.txt", "--check"}, false, true, "l.txt", "out.bin", ""},
      {{"--check", "--output", "-x.bin", "l.txt"}, false, true, "l.txt", "-x.bin", ""},
      {{"--check", "--output=out.bin", "l.txt"}, false, true, "l.txt", "out.bin", ""},
      {{"--check", "--", "-l.txt", "-o"},
       false,
       true,
       "-l.txt",
       std::nullopt,
       "--check takes one file; -o is one too many (the output file goes after -o)"},
      {{"--check", "--output=", "l.txt"}, false, true, "l.txt", "", ""},
      {{"--list"}, true, false, std::nullopt, std::nullopt, "--list needs the file to list"},
      {{"--check", "-o", "x"}, false, true, std::nullopt, "x", "--check needs the listing"},
      {{"--check", "l.txt", "-o"},
       false,
       true,
       "l.txt",
       std::nullopt,
       "-o needs a file name after it"},
      {{"--list", "a.bin", "b.bin"},
       true,
       false,
       "a.bin",
       std::nullopt,
       "--list takes one file; b.bin is one too many"},
      {{"--check", "l.txt", "out.bin"},
       false,
       true,
       "l.txt",
       std::nullopt,
       "--check takes one file; out.bin is one too many (the output file goes after -o)"},
      {{"--list", "--check", "l.txt"},
       true,
       true,
       "l.txt",
       std::nullopt,
       "--list and --check cannot be used together"},
      {{"rom.bin", "-o", "x.bin"},
       false,
       false,
       "rom.bin",
       "x.bin",
       "-o and --output go with --check only"},
      // The editor's own parameters never fail: later names are passed over.
      {{"rom.bin", "more.bin", "/unknown"}, false, false, "rom.bin", std::nullopt, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.parameters));
    const CommandLineOptions options = ParseCommandLine(c.parameters);
    EXPECT_EQ(options.List, c.list);
    EXPECT_EQ(options.Check, c.check);
    EXPECT_EQ(options.FileName, c.fileName);
    EXPECT_EQ(options.OutputName, c.outputName);
    EXPECT_EQ(options.WrongUse, c.wrongUse);
  }
}

TEST(CommandLine, SumRowsEveryNLinesGoWithListOnly) {
  const std::string needs = "--sums needs a number of lines in decimal, at least 1";
  const struct {
    std::vector<std::string> parameters;
    std::optional<std::uint32_t> every;
    std::string wrongUse;
  } cases[] = {
      {{"--list", "--sums=16", "a.bin"}, 16, ""},
      {{"--sums", "0010", "--list", "a.bin"}, 10, ""},
      {{"--list", "a.bin", "--sums=4294967295"}, 4294967295u, ""},
      {{"--list", "a.bin", "--sums=4294967296"}, std::nullopt, needs + ", not '4294967296'"},
      {{"--list", "a.bin", "--sums=0"}, std::nullopt, needs + ", not '0'"},
      {{"--list", "a.bin", "--sums=0x10"}, std::nullopt, needs + ", not '0x10'"},
      {{"--list", "a.bin", "--sums="}, std::nullopt, needs + ", not ''"},
      {{"--list", "a.bin", "--sums"}, std::nullopt, needs},
      {{"--list", "a.bin", "--sums=2", "--sums=3"}, 2, "--sums is given more than once"},
      {{"--check", "l.txt", "--sums=8"}, 8, "--sums goes with --list only"},
      {{"--list", "a.prg", "--sums=8", "--style=mlx"},
       8,
       "--sums goes with lbe's own listings only, not --style=mlx"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.parameters));
    const CommandLineOptions options = ParseCommandLine(c.parameters);
    EXPECT_EQ(options.SumEvery, c.every);
    EXPECT_EQ(options.WrongUse, c.wrongUse);
  }
}

TEST(CommandLine, ListingStyleGoesWithTheListingModes) {
  const struct {
    std::vector<std::string> parameters;
    bool newMlx;
    std::string wrongUse;
  } cases[] = {
      {{"--check", "--style=mlx", "l.txt"}, true, ""},
      {{"--list", "a.prg", "--style", "mlx"}, true, ""},
      {{"--type-in", "--style=mlx", "a.prg"}, true, ""},
      {{"--check", "--style=lbe", "l.txt"}, false, ""},
      {{"--check", "--style=MLX", "l.txt"}, false, "--style needs lbe or mlx, not 'MLX'"},
      {{"--check", "l.txt", "--style"}, false, "--style needs lbe or mlx"},
      {{"--check", "--style=mlx", "--style=mlx", "l"}, true, "--style is given more than once"},
      {{"a.prg", "--style=mlx"}, true, "--style goes with --list, --check or --type-in only"},
      {{"--convert", "a", "b", "--style=mlx"},
       true,
       "--style goes with --list, --check or --type-in only"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.parameters));
    const CommandLineOptions options = ParseCommandLine(c.parameters);
    EXPECT_EQ(options.NewMlx, c.newMlx);
    EXPECT_EQ(options.WrongUse, c.wrongUse);
  }
}

TEST(CommandLine, ConvertFormatAndFill) {
  const std::optional<std::string> none;
  struct {
    std::vector<std::string> parameters;
    std::optional<std::string> outputName;
    std::optional<std::string> format;
    std::optional<std::uint8_t> fill;
    std::string wrongUse;
  } cases[] = {
      {{"--convert", "a.s19", "b.bin", "--fill=FF"}, "b.bin", none, 0xFF, ""},
      {{"--convert", "a.bin", "--format", "ihex", "b.rom"}, "b.rom", "ihex", std::nullopt, ""},
      {{"--convert", "a.bin", "-o", "b.hex", "--fill", "0x7"}, "b.hex", none, 0x07, ""},
      {{"--format=srec", "rom.txt"}, none, "srec", std::nullopt, ""},
      {{"--convert", "a.bin"},
       none,
       none,
       std::nullopt,
       "--convert needs the file to read and the file to write"},
      {{"--convert", "a", "b", "c"},
       "b",
       none,
       std::nullopt,
       "--convert takes two files; c is one too many"},
      {{"--convert", "--list", "a", "b"},
       "b",
       none,
       std::nullopt,
       "--convert cannot be used with --list or --check"},
      {{"rom.bin", "--fill=00"}, none, none, 0x00, "--fill goes with --convert only"},
      {{"--format=hex", "rom.bin"},
       none,
       none,
       std::nullopt,
       "--format needs raw, ihex, srec or prg, not 'hex'"},
      {{"--format"}, none, none, std::nullopt, "--format needs raw, ihex, srec or prg"},
      {{"--format=prg", "a.bin"}, none, "prg", std::nullopt, ""},
      {{"--format=raw", "--format=raw"},
       none,
       "raw",
       std::nullopt,
       "--format is given more than once"},
      {{"--convert", "a", "b", "--fill=100"},
       "b",
       none,
       std::nullopt,
       "--fill needs a byte in hexadecimal (00 to FF), not '100'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.parameters));
    const CommandLineOptions options = ParseCommandLine(c.parameters);
    EXPECT_EQ(options.OutputName, c.outputName);
    EXPECT_EQ(options.Format, c.format);
    EXPECT_EQ(options.Fill, c.fill);
    EXPECT_EQ(options.WrongUse, c.wrongUse);
  }
}

TEST(CommandLine, JournalsRemoveAndApply) {
  const std::optional<std::string> none;
  const struct {
    std::vector<std::string> parameters;
    std::optional<std::string> remove;
    std::optional<std::string> apply;
    std::optional<std::string> fileName;
    std::string wrongUse;
  } cases[] = {
      {{"--journals"}, none, none, none, ""},
      {{"--journals", "--remove=1-2.lbe-journal"}, "1-2.lbe-journal", none, none, ""},
      {{"--remove", "/s/1-2.lbe-journal", "--journals"}, "/s/1-2.lbe-journal", none, none, ""},
      {{"--journals", "--apply=j.set-aside"}, none, "j.set-aside", none, ""},
      {{"--journals", "--apply", "-j", "moved.bin"}, none, "-j", "moved.bin", ""},
      {{"--remove=j"}, "j", none, none, "--remove goes with --journals only"},
      {{"x.bin", "--apply=j"}, none, "j", "x.bin", "--apply goes with --journals only"},
      {{"--journals", "--remove="},
       none,
       none,
       none,
       "--remove needs the name of a journal, as --journals lists it"},
      {{"--journals", "--apply"},
       none,
       none,
       none,
       "--apply needs the name of a journal, as --journals lists it"},
      {{"--journals", "--remove=a", "--remove=b"},
       "a",
       none,
       none,
       "--remove is given more than once"},
      {{"--journals", "--remove=a", "--apply=b"},
       "a",
       "b",
       none,
       "--remove and --apply cannot be used together"},
      {{"--journals", "x.bin"},
       none,
       none,
       "x.bin",
       "--journals takes a file only after --apply; x.bin is one too many"},
      {{"--journals", "--remove=j", "x.bin"},
       "j",
       none,
       "x.bin",
       "--journals takes a file only after --apply; x.bin is one too many"},
      {{"--journals", "--apply=j", "a.bin", "b.bin"},
       none,
       "j",
       "a.bin",
       "--apply takes one file; b.bin is one too many"},
      {{"--journals", "--list", "x.bin"},
       none,
       none,
       "x.bin",
       "--journals cannot be used with --list"},
      {{"--journals", "--convert", "a", "b"},
       none,
       none,
       "a",
       "--journals cannot be used with --convert"},
      {{"--journals", "--type-in"}, none, none, none, "--journals cannot be used with --type-in"},
      {{"--journals=yes"}, none, none, none, "--journals takes no value"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.parameters));
    const CommandLineOptions options = ParseCommandLine(c.parameters);
    EXPECT_EQ(options.RemoveJournal, c.remove);
    EXPECT_EQ(options.ApplyJournal, c.apply);
    EXPECT_EQ(options.FileName, c.fileName);
    EXPECT_EQ(options.WrongUse, c.wrongUse);
  }
  EXPECT_TRUE(ParseCommandLine({"--journals"}).Journals);
  EXPECT_FALSE(ParseCommandLine({"--list", "x.bin"}).Journals);
}

// --address, --record-length and --start-address as parsed: "ADDRESS LENGTH START" ("-" for one
// not given), or what is wrong with the command line.
TEST(CommandLine, ConvertAddressesAndRecordLength) {
  const auto hex = [](std::optional<std::uint64_t> value) {
    return value ? text::HexDigits(*value, 1) : std::string("-");
  };
  const struct {
    std::vector<std::string> parameters;
    std::string parsed;
  } cases[] = {
      {{"--convert", "a.bin", "b.hex", "--address=FEB"}, "FEB - -"},
      {{"--convert", "--address", "0x08000001", "a.bin", "b.hex"}, "8000001 - -"},
      {{"--convert", "a.bin", "b.hex", "--address=FFFFFFFF", "--start-address=ffff"},
       "FFFFFFFF - FFFF"},
      {{"--convert", "a.hex", "b.s19", "--record-length", "255", "--start-address", "0"},
       "- 255 0"},
      {{"--convert", "a.bin", "b.hex", "--address=100000000"},
       "--address needs an address in hexadecimal (up to FFFFFFFF), not '100000000'"},
      {{"--convert", "a.bin", "b.hex", "--start-address=0x"},
       "--start-address needs an address in hexadecimal (up to FFFFFFFF), not '0x'"},
      {{"--convert", "a.bin", "b.hex", "--address"}, "--address needs an address in hexadecimal"},
      {{"--convert", "a.bin", "b.hex", "--address=1", "--address=1"},
       "--address is given more than once"},
      {{"--convert", "a.bin", "b.hex", "--start-address=1", "--start-address=1"},
       "--start-address is given more than once"},
      {{"--convert", "a.bin", "b.hex", "--record-length=16", "--record-length=16"},
       "--record-length is given more than once"},
      {{"--convert", "a.bin", "b.hex", "--record-length=256"},
       "--record-length needs a number of data bytes in decimal, 1 to 255, not '256'"},
      {{"--convert", "a.bin", "b.hex", "--record-length=0x10"},
       "--record-length needs a number of data bytes in decimal, 1 to 255, not '0x10'"},
      {{"--convert", "a.bin", "b.hex", "--record-length=0"},
       "--record-length needs a number of data bytes in decimal, 1 to 255, not '0'"},
      {{"a.bin", "--address=10"},
       "--address goes with --convert, or with a new .prg file in the editor"},
      {{"new.PRG", "--type-in", "--address=801"}, "801 - -"},
      {{"--format=prg", "new", "--address=C000"}, "C000 - -"},
      {{"--list", "new.prg", "--address=C000"}, "--address goes with --convert only"},
      {{"/A100", "new.prg", "--address=C000"},
       "--address and /A cannot be used together: --address is exact, /A a line's address"},
      {{"--list", "a.bin", "--record-length=8"}, "--record-length goes with --convert only"},
      {{"--check", "l.txt", "-o", "b.hex", "--start-address=8"},
       "--start-address goes with --convert only"},
      {{"--convert", "/A100", "a.bin", "b.hex", "--address=100"},
       "--address and /A cannot be used together: --address is exact, /A a line's address"},
      {{"--convert", "a.bin", "--output", "c.hex", "b.hex"},
       "--convert takes the output file once: b.hex and -o c.hex both name it"},
  };
  for (const auto& c : cases) {
    const CommandLineOptions options = ParseCommandLine(c.parameters);
    const std::string length = options.RecordLength ? std::to_string(*options.RecordLength) : "-";
    EXPECT_EQ(options.WrongUse.empty()
                  ? hex(options.Address) + " " + length + " " + hex(options.StartAddress)
                  : options.WrongUse,
              c.parsed)
        << ::testing::PrintToString(c.parameters);
  }
}

TEST(CommandLine, HelpIsTheUsageAndWhatLinuxAdds) {
  const std::string help = HelpText("lbe");
  ASSERT_TRUE(help.starts_with(UsageText("lbe") + "\n"));
  for (const char* line : {"\n --  ",
                           "\n -h, --help ",
                           "\n --version ",
                           "\n --offset=N ",
                           "\n --length=N ",
                           "\n --list FILE ",
                           "\n --sums=N ",
                           "\n --style=mlx ",
                           "\n --check LISTING ",
                           "\n -o, --output=FILE ",
                           "\n --convert IN OUT ",
                           "\n --format=F ",
                           "\n --fill=XX ",
                           "\n --address=N ",
                           "\n --record-length=N ",
                           "\n --start-address=N ",
                           "\n --journals ",
                           "\n --remove=NAME ",
                           "\n --apply=NAME [FILE] ",
                           "hexadecimal"}) {
    EXPECT_NE(help.find(line), std::string::npos) << line;
  }
  EXPECT_TRUE(help.ends_with("\nSee lbe(1).\n"));
  std::size_t lineStart = 0;
  while (lineStart < help.size()) {
    const std::size_t end = help.find('\n', lineStart);
    EXPECT_LE(end - lineStart, 79u) << help.substr(lineStart, end - lineStart);
    lineStart = end + 1;
  }
}

TEST(CommandLine, UsageTextNamesTheProgramInCapitals) {
  EXPECT_EQ(UsageText("./build/lbe"),
            "Line Binary Editor\n"
            "\n"
            "LBE [/A[[:]Start-address]] [/M] [FileName]\n"
            "\n"
            " /A    Specify the start address\n"
            " /M    Set cursor movement to nibble units\n");
  EXPECT_EQ(UsageText("tools/hexline.exe").substr(20, 8), "HEXLINE ");
}

}  // namespace
}  // namespace lbe::cli
