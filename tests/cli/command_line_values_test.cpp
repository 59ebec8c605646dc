// What each parameter is taken as when it could be read two ways: the value of the option
// before it, a switch, or the file name.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "cli/command_line.h"

namespace lbe::cli {
namespace {

// An option that takes a value takes the next parameter, whatever it looks like.
TEST(CommandLineValues, AnOptionsValueIsNeverASwitchOrAName) {
  for (const char* option : {"--offset", "--length", "--sums", "--format", "--fill", "--address",
                             "--record-length", "--start-address", "--style"}) {
    for (const char* value : {"-h", "/?", "--help", "/M"}) {
      SCOPED_TRACE(std::string(option) + " " + value);
      const CommandLineOptions options = ParseCommandLine({option, value, "x.bin"});
      EXPECT_FALSE(options.ShowUsage);
      EXPECT_FALSE(options.NibbleMovement);
      EXPECT_EQ(options.FileName, "x.bin");
    }
  }
}

TEST(CommandLineValues, EachParameterTakenAsWhatItIs) {
  const std::optional<std::string> none;
  const struct {
    std::vector<std::string> parameters;
    std::optional<std::string> fileName;
    std::optional<std::string> addressText;
    std::optional<std::string> outputName;
    std::optional<std::string> removeJournal;
  } cases[] = {
      // "/" alone is a switch; with a "/" after its first it is a path.
      {{"/", "x.bin"}, "x.bin", none, none, none},
      {{"/x/", "y"}, "/x/", none, none, none},
      {{"-", "--", "-"}, "-", none, none, none},
      // "--" as an option's value ends nothing.
      {{"--offset", "--", "-a12", "x.bin"}, "x.bin", "12", none, none},
      // /A's forms: the first counts, its text after an optional ":".
      {{"-a:", "/A5"}, none, "", none, none},
      {{"-abc"}, none, "bc", none, none},
      {{"--", "/A5"}, "/A5", none, none, none},
      // -o, --output and --output=: the value whatever it looks like.
      {{"--check", "l.txt", "-o", "--help"}, "l.txt", none, "--help", none},
      {{"--check", "l.txt", "--output=-o"}, "l.txt", none, "-o", none},
      {{"--check", "l.txt", "-o", "a", "--output", "b"}, "l.txt", none, "b", none},
      // --convert's second name is its output unless -o names one.
      {{"--convert", "a", "b"}, "a", none, "b", none},
      {{"--convert", "a", "-o", "c", "b"}, "a", none, "c", none},
      // --remove takes the next parameter, whatever it looks like; the first non-empty counts.
      {{"--journals", "--remove", "--help"}, none, none, none, "--help"},
      {{"--journals", "--remove=", "--remove", "b", "--remove=c"}, none, none, none, "b"},
      {{"--journals", "--remove"}, none, none, none, none},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.parameters));
    const CommandLineOptions options = ParseCommandLine(c.parameters);
    EXPECT_EQ(options.FileName, c.fileName);
    EXPECT_EQ(options.AddressText, c.addressText);
    EXPECT_EQ(options.OutputName, c.outputName);
    EXPECT_EQ(options.RemoveJournal, c.removeJournal);
    EXPECT_FALSE(options.ShowUsage);
  }
}

}  // namespace
}  // namespace lbe::cli
