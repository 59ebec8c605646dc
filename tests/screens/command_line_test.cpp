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
}  // namespace lbe::screens
