#include "screens/command_line.h"

#include <gtest/gtest.h>

namespace lbe::screens {
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
  }
  EXPECT_FALSE(ParseCommandLine({"/??"}).ShowUsage);
  EXPECT_TRUE(ParseCommandLine({"--version"}).ShowVersion);
}

TEST(CommandLine, UnknownSwitchesAreNoFileNames) {
  EXPECT_EQ(ParseCommandLine({"/x", "-", "--long", "rom.bin"}).FileName, "rom.bin");
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

TEST(CommandLine, FileOffset) {
  const struct {
    std::vector<std::string> parameters;
    std::uint64_t offset;
    std::string problem;
    std::optional<std::string> fileName;
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
      {{"--offset"}, 0, "--offset needs a file offset in hexadecimal", std::nullopt},
      {{"--offset=10", "--offset=20"}, 0x10, "--offset is given more than once", std::nullopt},
      {{"--offset=10", "--offset", "10"}, 0x10, "--offset is given more than once", std::nullopt},
      // After "--" it is a name; "--offset" takes the next parameter, whatever it looks like.
      {{"--", "--offset=10"}, 0, "", "--offset=10"},
      {{"--offset", "--", "x"},
       0,
       "--offset needs a file offset in hexadecimal (up to 7FFFFFFFFFFEFFFF), not '--'",
       "x"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.parameters));
    const CommandLineOptions options = ParseCommandLine(c.parameters);
    EXPECT_EQ(options.FileOffset, c.offset);
    EXPECT_EQ(options.Problem, c.problem);
    EXPECT_EQ(options.FileName, c.fileName);
  }
}

TEST(CommandLine, UsageTextNamesTheProgramInCapitals) {
  EXPECT_EQ(UsageText("./build/lbe"),
            "Line Binary Editor\n"
            "\n"
            "LBE [/A[[:]Start-address]] [/M] [FileName]\n"
            "\n"
            " /A    Specify the start address\n"
            " /M    Set cursor movement to nibble units\n"
            " --offset=N  Load and save the file from its byte N (hexadecimal) on\n");
  EXPECT_EQ(UsageText("tools/hexline.exe").substr(20, 8), "HEXLINE ");
}

}  // namespace
}  // namespace lbe::screens
