// lbe --convert from its command line, as main runs it, on files in a temporary folder: what is
// refused and left alone, and what is written, compared with what GNU objcopy reads from the
// same files (its binary output, the sections' addresses and the start address objdump shows).

#include "listing/convert_mode.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "files/test_hooks.h"
#include "interrupted_save.h"
#include "launch_settings.h"
#include "temp_folder.h"
#include "text/hex_text.h"

namespace lbe::listing {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using lbe::testing::GetFile;
using lbe::testing::PutFile;

struct Outcome {
  int Status = -1;
  std::string Err;
};

// `lbe --convert PARAMETERS` as main runs it: a wrong command line stops with status 2.
Outcome Convert(std::vector<std::string> parameters) {
  parameters.insert(parameters.begin(), "--convert");
  const cli::CommandLineOptions options = cli::ParseCommandLine(parameters);
  if (!options.WrongUse.empty()) {
    return {2, "lbe: " + options.WrongUse + "\n"};
  }
  std::FILE* err = std::tmpfile();
  Outcome outcome;
  outcome.Status = ConvertMode(ConversionOf(options), err);
  std::rewind(err);
  for (int c = std::fgetc(err); c != EOF; c = std::fgetc(err)) {
    outcome.Err += static_cast<char>(c);
  }
  std::fclose(err);
  return outcome;
}

std::string Text(const std::string& name) {
  const Bytes bytes = GetFile(name);
  return {bytes.begin(), bytes.end()};
}

void PutText(const std::string& name, const std::string& text) {
  PutFile(name, Bytes(text.begin(), text.end()));
}

// Long byte strings compared: on a difference, where the first one is, not all the bytes.
::testing::AssertionResult SameBytes(const Bytes& got, const Bytes& expected) {
  if (got == expected) {
    return ::testing::AssertionSuccess();
  }
  const auto [differs, ignored] =
      std::mismatch(got.begin(), got.end(), expected.begin(), expected.end());
  return ::testing::AssertionFailure()
         << got.size() << " bytes, " << expected.size() << " expected; the first difference at "
         << (differs - got.begin());
}

// One Intel HEX record, its checksum made.
std::string IntelLine(int type, unsigned offset, const Bytes& data) {
  Bytes record = {static_cast<std::uint8_t>(data.size()), static_cast<std::uint8_t>(offset >> 8),
                  static_cast<std::uint8_t>(offset), static_cast<std::uint8_t>(type)};
  record.insert(record.end(), data.begin(), data.end());
  unsigned sum = 0;
  std::string line = ":";
  for (const std::uint8_t byte : record) {
    sum += byte;
    line += text::HexDigits(byte, 2);
  }
  return line + text::HexDigits((0x100 - sum) & 0xFF, 2) + "\n";
}

// One S-record of type S1..S3 or S7..S9, the address as wide as the type says.
std::string SLine(int type, std::uint64_t address, const Bytes& data) {
  const int width = type <= 3 ? type + 1 : 11 - type;
  Bytes record = {static_cast<std::uint8_t>(data.size() + static_cast<std::size_t>(width) + 1)};
  for (int i = width - 1; i >= 0; --i) {
    record.push_back(static_cast<std::uint8_t>(address >> (8 * i)));
  }
  record.insert(record.end(), data.begin(), data.end());
  unsigned sum = 0;
  std::string line = "S" + std::to_string(type);
  for (const std::uint8_t byte : record) {
    sum += byte;
    line += text::HexDigits(byte, 2);
  }
  return line + text::HexDigits(~sum & 0xFF, 2) + "\n";
}

// What a shell command prints; its exit status must be 0.
std::string Run(const std::string& command) {
  std::string out;
  std::FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  for (int c = std::fgetc(pipe); c != EOF; c = std::fgetc(pipe)) {
    out += static_cast<char>(c);
  }
  EXPECT_EQ(::pclose(pipe), 0) << command << ": " << out;
  return out;
}

bool HaveObjcopy() {
  return std::system("objcopy --version >/dev/null 2>&1 && objdump --version >/dev/null 2>&1") == 0;
}

const char* Bfd(const std::string& name) {
  return name.ends_with(".hex") ? "ihex" : "srec";
}

// The bytes objcopy reads from a record file, from its lowest address on, gaps filled with FF.
Bytes ObjcopyBytes(const std::string& name) {
  Run(std::string("objcopy -I ") + Bfd(name) + " -O binary --gap-fill 0xFF " + name +
      " objcopy.bin");
  return GetFile("objcopy.bin");
}

// The lowest address objcopy finds in a record file: its lowest section's.
std::uint64_t ObjcopyLowest(const std::string& name) {
  std::istringstream lines(Run(std::string("objdump -h ") + name));
  std::uint64_t lowest = ~std::uint64_t{0};
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string index, section, size, vma;
    if (fields >> index >> section >> size >> vma && section.starts_with(".sec")) {
      lowest = std::min<std::uint64_t>(lowest, std::stoull(vma, nullptr, 16));
    }
  }
  return lowest;
}

// The start address objdump reads from a record file (0 when it gives none).
std::uint64_t ObjdumpStart(const std::string& name) {
  const std::string out = Run(std::string("objdump -f ") + name);
  const std::size_t at = out.find("start address 0x");
  EXPECT_NE(at, std::string::npos) << out;
  return std::stoull(out.substr(at + 16), nullptr, 16);
}

Bytes RandomBytes(std::size_t count, unsigned seed) {
  std::mt19937 random(seed);
  Bytes bytes(count);
  for (std::uint8_t& byte : bytes) {
    byte = static_cast<std::uint8_t>(random());
  }
  return bytes;
}

// A record file objcopy writes of `count` random bytes from `address` on, in records of
// `perRecord` bytes.
Bytes ObjcopyRecords(const std::string& name, std::size_t count, std::uint64_t address,
                     unsigned seed, int perRecord = 16) {
  Bytes bytes = RandomBytes(count, seed);
  PutFile("source.bin", bytes);
  Run(std::string("objcopy -I binary -O ") + Bfd(name) + " --change-addresses 0x" +
      text::HexDigits(address, 1) + " --set-start 0 " +
      (name.ends_with(".hex") ? "" : "--srec-forceS3 ") +
      (perRecord != 16 ? "--srec-len " + std::to_string(perRecord) + " " : "") + "source.bin " +
      name);
  return bytes;
}

// The address standard error names in "lbe: OUT starts at address X".
std::optional<std::uint64_t> NamedStart(const std::string& err) {
  const std::size_t at = err.find(" starts at address ");
  if (at == std::string::npos) {
    return std::nullopt;
  }
  return std::stoull(err.substr(at + 19), nullptr, 16);
}

// The longest data record of a record file.
std::size_t LongestRecord(const std::string& name) {
  std::istringstream lines(Text(name));
  std::size_t longest = 0;
  for (std::string line; std::getline(lines, line);) {
    const std::size_t count = std::stoul(line.substr(line[0] == ':' ? 1 : 2, 2), nullptr, 16);
    if (line[0] == ':' && line.substr(7, 2) == "00") {
      longest = std::max(longest, count);
    } else if (line[0] == 'S' && line[1] >= '1' && line[1] <= '3') {
      longest = std::max(longest, count - static_cast<std::size_t>(line[1] - '0') - 2);
    }
  }
  return longest;
}

class ConvertWhole : public ::testing::Test {
 protected:
  lbe::testing::TemporaryWorkingFolder folder_;
};

TEST_F(ConvertWhole, NeverWritesItsInput) {
  PutText("x.hex", ":0100000041BE\n:00000001FF\n");
  PutFile("x.bin", {1, 2, 3});
  fs::create_symlink("x.hex", "link.hex");
  fs::create_hard_link("x.hex", "hard.hex");
  fs::create_directory("sub");
  fs::create_symlink("../x.bin", "sub/link.bin");
  const struct {
    std::vector<std::string> parameters;
    std::string err;
  } cases[] = {
      {{"x.hex", "x.hex"}, "lbe: the output file is the input itself: x.hex\n"},
      {{"x.hex", "./x.hex"}, "lbe: the output file is the input itself: x.hex\n"},
      {{"x.hex", "link.hex"}, "lbe: the output file is the input itself: x.hex\n"},
      {{"x.hex", "hard.hex"}, "lbe: the output file is the input itself: x.hex\n"},
      {{"link.hex", "x.hex", "--format=ihex"},
       "lbe: the output file is the input itself: link.hex\n"},
      {{"x.bin", "sub/link.bin"}, "lbe: the output file is the input itself: x.bin\n"},
      {{"x.bin", "sub/../x.bin", "--offset=1"},
       "lbe: the output file is the input itself: x.bin\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.parameters));
    const Outcome outcome = Convert(c.parameters);
    EXPECT_EQ(outcome.Status, 2);
    EXPECT_EQ(outcome.Err, c.err);
    EXPECT_EQ(Text("x.hex"), ":0100000041BE\n:00000001FF\n");
    EXPECT_EQ(GetFile("x.bin"), (Bytes{1, 2, 3}));
  }
}

TEST_F(ConvertWhole, RefusesTwoNamesForTheOutput) {
  PutText("a.hex", ":0100000041BE\n:00000001FF\n");
  for (const auto& parameters : {std::vector<std::string>{"a.hex", "b.bin", "-o", "c.bin"},
                                 std::vector<std::string>{"-o", "c.bin", "a.hex", "b.bin"},
                                 std::vector<std::string>{"a.hex", "--output=c.bin", "b.bin"}}) {
    SCOPED_TRACE(::testing::PrintToString(parameters));
    const Outcome outcome = Convert(parameters);
    EXPECT_EQ(outcome.Status, 2);
    EXPECT_EQ(outcome.Err,
              "lbe: --convert takes the output file once: b.bin and -o c.bin both name it\n");
    EXPECT_FALSE(fs::exists("b.bin"));
    EXPECT_FALSE(fs::exists("c.bin"));
  }
}

TEST_F(ConvertWhole, NothingInTheWindowAskedForLeavesTheOutputAlone) {
  PutText("high.hex",
          IntelLine(4, 0, {0x00, 0x01}) + IntelLine(0, 0x2345, {'A', 'B'}) + ":00000001FF\n");
  PutText("low.hex", IntelLine(0, 0x2347, {'C'}) + ":00000001FF\n");
  PutFile("data.bin", Bytes(0x80, 0x55));
  const struct {
    std::vector<std::string> parameters;
    std::string err;
  } cases[] = {
      {{"--offset=0", "high.hex", "keep.bin"},
       "lbe: high.hex: no bytes at addresses 0000 to FFFF; nothing written to keep.bin\n"},
      {{"--offset=20000", "high.hex", "keep.hex"},
       "lbe: high.hex: no bytes at addresses 20000 to 2FFFF; nothing written to keep.hex\n"},
      {{"--offset=10000", "/A2348", "high.hex", "keep.bin"},
       "lbe: high.hex: no bytes at addresses 12348 to 1FFFF; nothing written to keep.bin\n"},
      {{"--length=10", "/A2348", "high.hex", "keep.bin"},
       "lbe: high.hex: no bytes at addresses 2348 to FFFF; nothing written to keep.bin\n"},
      {{"/A2348", "low.hex", "keep.bin"},
       "lbe: low.hex: no bytes at addresses 2348 to FFFFFFFF; nothing written to keep.bin\n"},
      {{"--offset=80", "data.bin", "keep.hex"},
       "lbe: data.bin: no bytes at offset 0080 or after; nothing written to keep.hex\n"},
      {{"--length=0", "data.bin", "keep.bin"},
       "lbe: data.bin: no bytes at offset 0000 in a length of 0; nothing written to keep.bin\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.parameters));
    PutText("keep.bin", "precious");
    PutText("keep.hex", "precious");
    const Outcome outcome = Convert(c.parameters);
    EXPECT_EQ(outcome.Status, 1);
    EXPECT_EQ(outcome.Err, c.err);
    EXPECT_EQ(Text("keep.bin"), "precious");
    EXPECT_EQ(Text("keep.hex"), "precious");
  }
  // The window that holds them converts them.
  const Outcome window = Convert({"--offset=10000", "high.hex", "keep.bin"});
  EXPECT_EQ(window.Status, 0);
  EXPECT_EQ(window.Err, "lbe: keep.bin starts at address 12345\n");
  EXPECT_EQ(Text("keep.bin"), "AB");
}

TEST_F(ConvertWhole, NoBytesAtAllGiveAnEmptyOutput) {
  PutText("end.hex", ":00000001FF\n");
  PutText("end.s19", "S0030000FC\nS9030000FC\n");
  PutFile("empty.bin", {});
  const struct {
    std::vector<std::string> parameters;
    std::string output;
    std::string text;
  } cases[] = {
      {{"end.hex", "keep.bin"}, "keep.bin", ""},
      {{"end.s19", "keep.bin"}, "keep.bin", ""},
      {{"--offset=10000", "end.hex", "keep.bin"}, "keep.bin", ""},
      {{"empty.bin", "keep.bin"}, "keep.bin", ""},
      {{"--offset=10", "empty.bin", "keep.bin"}, "keep.bin", ""},
      {{"empty.bin", "keep.hex"}, "keep.hex", ":00000001FF\n"},
      {{"empty.bin", "keep.s19"}, "keep.s19", "S0030000FC\nS9030000FC\n"},
      {{"end.hex", "--start-address=100", "keep.hex"},
       "keep.hex",
       ":0400000500000100F6\n:00000001FF\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.parameters));
    PutText(c.output, "precious");
    const Outcome outcome = Convert(c.parameters);
    EXPECT_EQ(outcome.Status, 0);
    EXPECT_EQ(outcome.Err, "");
    EXPECT_EQ(Text(c.output), c.text);
  }
}

// A raw output starts at its lowest byte, or at /A's line, below or above it.
TEST_F(ConvertWhole, ARawOutputStartsAtTheLowestByteOrAtA) {
  PutText("in.hex", IntelLine(4, 0, {0x00, 0x01}) + IntelLine(0, 0x2345, {'A', 'B'}) +
                        IntelLine(0, 0x2350, {'C'}) + ":00000001FF\n");
  const struct {
    std::vector<std::string> parameters;
    std::string err;
    std::string bytes;
  } cases[] = {
      {{"--fill=2E", "in.hex", "out.bin"},
       "lbe: out.bin starts at address 12345\n",
       "AB.........C"},
      {{"--fill=2E", "/A2340", "--offset=10000", "in.hex", "out.bin"},
       "lbe: out.bin starts at address 12340\n",
       ".....AB.........C"},
      {{"--fill=2E", "/A2348", "--offset=10000", "in.hex", "out.bin"},
       "lbe: out.bin starts at address 12348\n",
       "........C"},
      {{"--fill=2E", "/A:FFF8", "in.hex", "out.bin"},
       "lbe: out.bin starts at address FFF8\n",
       std::string(0x12345 - 0xFFF8, '.') + "AB.........C"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.parameters));
    const Outcome outcome = Convert(c.parameters);
    EXPECT_EQ(outcome.Status, 0);
    EXPECT_EQ(outcome.Err, c.err);
    EXPECT_TRUE(Text("out.bin") == c.bytes) << Text("out.bin").size();
  }
}

// records -> raw -> records: the same bytes at the same addresses, the gaps filled, with the
// address the first conversion names; objcopy reads both record files alike.
TEST_F(ConvertWhole, RoundTripIsExactFromTheAddressItNames) {
  if (!HaveObjcopy()) {
    GTEST_SKIP() << "no objcopy";
  }
  const struct {
    std::string name;
    std::uint64_t lowest;
  } cases[] = {{"a.hex", 0x0FEB},
               {"a.hex", 0x1FFF3},
               {"a.s37", 0x08000001},
               {"a.hex", 0xFFFEDFFD},
               {"a.s37", 0x7}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name + " from " + text::HexDigits(c.lowest, 4));
    ObjcopyRecords("whole." + c.name.substr(2), 70000, c.lowest, 3);
    // Gaps: every 7th data record left out, the first one kept.
    std::istringstream lines(Text("whole." + c.name.substr(2)));
    std::string gaps;
    int number = 0;
    for (std::string line; std::getline(lines, line); ++number) {
      const bool data = line.starts_with(":10") || line.starts_with("S3");
      if (!data || number % 7 != 5) {
        gaps += line + "\n";
      }
    }
    PutText(c.name, gaps);
    const Outcome flat = Convert({"--fill=FF", c.name, "a.bin"});
    ASSERT_EQ(flat.Status, 0) << flat.Err;
    ASSERT_EQ(NamedStart(flat.Err), c.lowest) << flat.Err;
    const std::string back = "b" + c.name.substr(1);
    const Outcome records =
        Convert({"--address=" + text::HexDigits(*NamedStart(flat.Err), 1), "a.bin", back});
    ASSERT_EQ(records.Status, 0) << records.Err;
    EXPECT_EQ(records.Err, "");
    EXPECT_TRUE(SameBytes(GetFile("a.bin"), ObjcopyBytes(c.name)));
    EXPECT_TRUE(SameBytes(ObjcopyBytes(back), ObjcopyBytes(c.name)));
    EXPECT_EQ(ObjcopyLowest(back), c.lowest);
  }
}

TEST_F(ConvertWhole, RecordLengthUpToWhatARecordHolds) {
  if (!HaveObjcopy()) {
    GTEST_SKIP() << "no objcopy";
  }
  const Bytes bytes = RandomBytes(3000, 9);
  PutFile("in.bin", bytes);
  ObjcopyRecords("in32.s37", 1000, 0x400, 4, 32);
  const struct {
    std::vector<std::string> parameters;
    int status;
    std::string err;
    std::size_t longest;
  } cases[] = {
      {{"in.bin", "out.hex"}, 0, "", 16},
      {{"--record-length=1", "in.bin", "out.hex"}, 0, "", 1},
      {{"--record-length=255", "in.bin", "out.hex"}, 0, "", 255},
      {{"--record-length=255", "--address=FFFFF000", "in.bin", "out.hex"}, 0, "", 255},
      {{"--record-length=252", "in.bin", "out.s19"}, 0, "", 252},
      {{"--record-length=253", "in.bin", "out.s19"},
       2,
       "lbe: --record-length=253 is more than an S1 record holds (252)\n",
       0},
      {{"--record-length=251", "--address=FF000", "in.bin", "out.s19"}, 0, "", 251},
      {{"--record-length=252", "--address=FF000", "in.bin", "out.s19"},
       2,
       "lbe: --record-length=252 is more than an S2 record holds (251)\n",
       0},
      {{"--record-length=250", "--address=FFFFF000", "in.bin", "out.s19"}, 0, "", 250},
      {{"--record-length=251", "--address=FFFFF000", "in.bin", "out.s19"},
       2,
       "lbe: --record-length=251 is more than an S3 record holds (250)\n",
       0},
      {{"--record-length=256", "in.bin", "out.hex"},
       2,
       "lbe: --record-length needs a number of data bytes in decimal, 1 to 255, not '256'\n",
       0},
      {{"--record-length=0x10", "in.bin", "out.hex"},
       2,
       "lbe: --record-length needs a number of data bytes in decimal, 1 to 255, not '0x10'\n",
       0},
      {{"--record-length=0", "in.bin", "out.hex"},
       2,
       "lbe: --record-length needs a number of data bytes in decimal, 1 to 255, not '0'\n",
       0},
      {{"in32.s37", "out.hex"}, 0, "", 32},
      {{"--record-length=20", "in32.s37", "out.s19"}, 0, "", 20},
      {{"--record-length=64", "in32.s37", "out.hex"}, 0, "", 32},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.parameters));
    PutText("out.hex", "kept");
    PutText("out.s19", "kept");
    const Outcome outcome = Convert(c.parameters);
    EXPECT_EQ(outcome.Status, c.status);
    EXPECT_EQ(outcome.Err, c.err);
    const std::string output = c.parameters.back();
    if (c.status != 0) {
      EXPECT_EQ(Text(output), "kept");
      continue;
    }
    EXPECT_EQ(LongestRecord(output), c.longest);
    const Bytes expected = c.parameters[c.parameters.size() - 2] == "in.bin"
                               ? bytes
                               : ObjcopyBytes(c.parameters[c.parameters.size() - 2]);
    EXPECT_EQ(ObjcopyBytes(output), expected);
  }
}

TEST_F(ConvertWhole, StartAddressKeptOrSet) {
  if (!HaveObjcopy()) {
    GTEST_SKIP() << "no objcopy";
  }
  // 8086 style: extended segment addresses and a CS:IP start address (1234:0010 is 12350).
  PutText("seg.hex", IntelLine(2, 0, {0x10, 0x00}) + IntelLine(0, 0, {0x41}) +
                         IntelLine(3, 0, {0x12, 0x34, 0x00, 0x10}) + ":00000001FF\n");
  PutText("lin.hex",
          IntelLine(0, 0, {0x41}) + IntelLine(5, 0, {0x08, 0x00, 0x01, 0x23}) + ":00000001FF\n");
  PutText("s.s19", "S0030000FC\n" + SLine(1, 0x10, {0x41}) + SLine(9, 0x100, {}));
  PutText("none.s19", "S0030000FC\n" + SLine(1, 0x10, {0x41}) + SLine(9, 0, {}));
  PutFile("in.bin", {0x41});
  const struct {
    std::vector<std::string> parameters;
    std::uint64_t start;
    std::string record;  // the start address record written, "" for none
  } cases[] = {
      {{"seg.hex", "out.hex"}, 0x12350, ":0400000312340010A3"},
      {{"seg.hex", "out.s19"}, 0x12350, "S804012350"},
      {{"--start-address=12345", "seg.hex", "out.hex"}, 0x12345, ":0400000310002345"},
      {{"--start-address=FFFFFF", "seg.hex", "out.hex"}, 0xFFFFFF, ":0400000500FFFFFF"},
      {{"lin.hex", "out.s19"}, 0x08000123, "S70508000123"},
      {{"lin.hex", "out.hex"}, 0x08000123, ":0400000508000123"},
      {{"--start-address=0", "lin.hex", "out.hex"}, 0, ":0400000500000000F7"},
      {{"s.s19", "out.hex"}, 0x100, ":0400000500000100F6"},
      {{"s.s19", "out.s19"}, 0x100, "S9030100FB"},
      {{"--start-address=8000", "s.s19", "out.s19"}, 0x8000, "S9038000"},
      {{"none.s19", "out.hex"}, 0, ""},
      {{"in.bin", "out.hex"}, 0, ""},
      {{"--start-address=8000", "in.bin", "out.hex"}, 0x8000, ":0400000500008000"},
      {{"--start-address=10000", "in.bin", "out.s19"}, 0x10000, "S804010000"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.parameters));
    const Outcome outcome = Convert(c.parameters);
    ASSERT_EQ(outcome.Status, 0) << outcome.Err;
    const std::string output = c.parameters.back();
    EXPECT_EQ(ObjdumpStart(output), c.start);
    const std::string text = Text(output);
    const bool hasStart =
        text.find(":04000003") != std::string::npos || text.find(":04000005") != std::string::npos;
    if (c.record.empty()) {
      EXPECT_FALSE(hasStart) << text;
    } else {
      EXPECT_NE(text.find("\n" + c.record), std::string::npos) << text;
    }
    EXPECT_EQ(ObjcopyBytes(output), (Bytes{0x41}));
  }
}

// A 300 KiB image across several 64 KiB windows, both ways, gaps and records out of order too:
// the same bytes as objcopy's.
TEST_F(ConvertWhole, SeveralWindowsBothWaysAsObjcopy) {
  if (!HaveObjcopy()) {
    GTEST_SKIP() << "no objcopy";
  }
  for (const std::string suffix : {"hex", "s37"}) {
    SCOPED_TRACE(suffix);
    const Bytes image = ObjcopyRecords("theirs." + suffix, 300 << 10, 0x1FFF3, 21);
    PutFile("image.bin", image);
    Outcome outcome = Convert({"theirs." + suffix, "ours.bin"});
    EXPECT_EQ(outcome.Status, 0);
    EXPECT_EQ(outcome.Err, "lbe: ours.bin starts at address 1FFF3\n");
    EXPECT_TRUE(SameBytes(GetFile("ours.bin"), image));
    outcome = Convert({"--address=1FFF3", "image.bin", "ours." + suffix});
    EXPECT_EQ(outcome.Status, 0);
    EXPECT_TRUE(SameBytes(ObjcopyBytes("ours." + suffix), image));
    EXPECT_EQ(ObjcopyLowest("ours." + suffix), 0x1FFF3u);
    const std::string other = suffix == "hex" ? "again.s37" : "again.hex";
    outcome = Convert({"theirs." + suffix, other});
    EXPECT_EQ(outcome.Status, 0);
    EXPECT_TRUE(SameBytes(ObjcopyBytes(other), image));
  }
  // S3 records backwards, with a 400 KiB gap and a byte far above, filled as objcopy fills.
  std::istringstream lines(Text("theirs.s37"));
  std::vector<std::string> data;
  std::string head;
  std::string tail;
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("S3")) {
      data.push_back(line);
    } else {
      (data.empty() ? head : tail) += line + "\n";
    }
  }
  data.erase(data.begin() + 1000, data.begin() + 1000 + (400 << 10) / 16 / 2);
  std::reverse(data.begin(), data.end());
  std::string shuffled = head;
  for (const std::string& line : data) {
    shuffled += line + "\n";
  }
  shuffled += SLine(3, 0x200000, {0x42}) + tail;
  PutText("shuffled.s37", shuffled);
  const Outcome outcome = Convert({"--fill=FF", "shuffled.s37", "shuffled.bin"});
  EXPECT_EQ(outcome.Status, 0) << outcome.Err;
  EXPECT_TRUE(SameBytes(GetFile("shuffled.bin"), ObjcopyBytes("shuffled.s37")));
  EXPECT_EQ(GetFile("shuffled.bin").size(), 0x200000u - 0x1FFF3u + 1);
}

// Lines 2 and 3 give 0100-0103 and 1000-1004, line 4 a byte 512 KiB away, so that the window
// of 0100 is written out and read back before line 5.
TEST_F(ConvertWhole, TwoValuesForOneAddressStopAConversionToRaw) {
  const std::string before = "S0030000FC\n" + SLine(3, 0x100, {0x41, 0x42, 0x43, 0x44}) +
                             SLine(3, 0x1000, {0xFF, 0, 0, 0, 0}) + SLine(3, 0x80000, {1});
  const struct {
    std::string line5;
    int status;
    std::string err;
  } cases[] = {
      {SLine(3, 0x100, {0x42}), 1,
       "lbe: Line 5: address 0100 is given 42 here and 41 on line 2\n[dup.s37]\n"},
      {SLine(3, 0xFE, {0xFF, 0xFF, 0x41, 0x42, 0x43, 0x45}), 1,
       "lbe: Line 5: address 0103 is given 45 here and 44 on line 2\n[dup.s37]\n"},
      {SLine(3, 0x1003, {0x00, 0x01}), 1,
       "lbe: Line 5: address 1004 is given 01 here and 00 on line 3\n[dup.s37]\n"},
      {SLine(3, 0x100, {0x41, 0x42}), 0, "lbe: keep.bin starts at address 0100\n"},
      {SLine(3, 0x200, {0xFF, 0x00}), 0, "lbe: keep.bin starts at address 0100\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line5);
    PutText("dup.s37", before + c.line5 + SLine(7, 0, {}));
    PutText("keep.bin", "precious");
    const Outcome outcome = Convert({"--fill=FF", "dup.s37", "keep.bin"});
    EXPECT_EQ(outcome.Status, c.status);
    EXPECT_EQ(outcome.Err, c.err);
    const Outcome fresh = Convert({"--fill=FF", "dup.s37", "new.bin"});
    EXPECT_EQ(fresh.Status, c.status);
    if (c.status != 0) {
      EXPECT_EQ(Text("keep.bin"), "precious");
      EXPECT_FALSE(fs::exists("new.bin"));
      continue;
    }
    EXPECT_EQ(GetFile("keep.bin").size(), 0x80000u - 0x100u + 1);
    EXPECT_TRUE(SameBytes(GetFile("keep.bin"), GetFile("new.bin")));
    if (HaveObjcopy()) {
      EXPECT_TRUE(SameBytes(GetFile("keep.bin"), ObjcopyBytes("dup.s37")));
    }
    fs::remove("new.bin");
  }
}

TEST_F(ConvertWhole, AnOutputThatIsThereIsSavedInPlace) {
  PutText("in.hex", IntelLine(0, 0x10, {1, 2, 3}) + ":00000001FF\n");
  PutText("out.bin", "former bytes, longer than the new ones");
  fs::create_hard_link("out.bin", "other-name.bin");
  ::chmod("out.bin", 0640);
  struct stat before {};
  ASSERT_EQ(::stat("out.bin", &before), 0);
  const Outcome outcome = Convert({"in.hex", "out.bin"});
  EXPECT_EQ(outcome.Status, 0);
  EXPECT_EQ(GetFile("out.bin"), (Bytes{1, 2, 3}));
  EXPECT_EQ(GetFile("other-name.bin"), (Bytes{1, 2, 3}));
  struct stat after {};
  ASSERT_EQ(::stat("out.bin", &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mode & 07777, 0640u);
  // Its journal is gone, and nothing was left beside it.
  EXPECT_EQ(lbe::testing::OnlyStateJournal(), "");
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(".")) {
    names.push_back(entry.path().filename().native());
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"in.hex", "other-name.bin", "out.bin", "state"}));
}

TEST_F(ConvertWhole, AnInterruptedSaveOfTheInputIsNotConverted) {
  const lbe::testing::OwnHomeInFolder home(folder_);
  PutFile("in.bin", lbe::testing::kFormer);
  lbe::testing::InterruptSave("in.bin", lbe::testing::kAcross, lbe::testing::kNew,
                              lbe::testing::HalfSaved());
  const std::string journal = lbe::testing::OnlyStateJournal();
  ASSERT_NE(journal, "");
  const Outcome outcome = Convert({"in.bin", "out.hex"});
  EXPECT_EQ(outcome.Status, 1);
  EXPECT_EQ(outcome.Err, "lbe: The last save of in.bin was interrupted (its journal is " +
                             folder_.Full("state/lbe/" + journal) +
                             "); open the file in lbe to put it back.\nlbe: nothing converted\n");
  EXPECT_FALSE(fs::exists("out.hex"));
  EXPECT_EQ(GetFile("in.bin"), lbe::testing::HalfSaved());
}

TEST_F(ConvertWhole, OptionsThatDoNotFitTheFiles) {
  PutText("a.hex", IntelLine(0, 0, {1}) + ":00000001FF\n");
  PutFile("a.bin", Bytes(32, 7));
  const struct {
    std::vector<std::string> parameters;
    int status;
    std::string err;
  } cases[] = {
      {{"--address=10", "a.hex", "out.s19"},
       2,
       "lbe: --address goes with a raw input; the records of a.hex give their own addresses\n"},
      {{"--address=10", "a.bin", "out.bin"},
       2,
       "lbe: --address goes with a record output; out.bin is raw\n"},
      {{"--record-length=8", "a.hex", "out.bin"},
       2,
       "lbe: --record-length goes with a record output; out.bin is raw\n"},
      {{"--start-address=0", "a.bin", "--format=raw", "out.hex"},
       2,
       "lbe: --start-address goes with a record output; out.hex is raw\n"},
      {{"--address=10", "/A10", "a.bin", "out.hex"},
       2,
       "lbe: --address and /A cannot be used together: --address is exact, /A a line's "
       "address\n"},
      {{"--address=FFFFFFE1", "a.bin", "out.hex"},
       1,
       "lbe: a.bin: its last byte would go to address 100000000, past FFFFFFFF, which no record "
       "file can hold; nothing written to out.hex\n"},
      {{"--address=FFFFFFE0", "a.bin", "out.hex"}, 0, ""},
      {{"--address=FFFFFFE0", "--record-length=252", "a.bin", "out.s19"},
       2,
       "lbe: --record-length=252 is more than an S3 record holds (250)\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.parameters));
    fs::remove("out.hex");
    const Outcome outcome = Convert(c.parameters);
    EXPECT_EQ(outcome.Status, c.status);
    EXPECT_EQ(outcome.Err, c.err);
    EXPECT_EQ(fs::exists(c.parameters.back()), c.status == 0);
  }
}

// With --offset or --length the 64 KiB window the editor loads is converted, as before.
TEST_F(ConvertWhole, AWindowIsWhatTheEditorLoads) {
  if (!HaveObjcopy()) {
    GTEST_SKIP() << "no objcopy";
  }
  const Bytes data = RandomBytes(0x30000, 17);
  PutFile("data.bin", data);
  const auto part = [&](std::size_t from, std::size_t count) {
    return Bytes(data.begin() + static_cast<std::ptrdiff_t>(from),
                 data.begin() + static_cast<std::ptrdiff_t>(from + count));
  };
  const struct {
    std::vector<std::string> parameters;
    std::uint64_t lowest;
    Bytes bytes;
  } cases[] = {
      {{"--offset=10", "--length=20", "/A1234", "data.bin", "out.hex"}, 0x1230, part(0x10, 0x20)},
      {{"--offset=10", "/AFFF8", "data.bin", "out.hex"}, 0xFFF8, part(0x10, 8)},
      {{"--offset=10", "data.bin", "out.hex"}, 0, part(0x10, 0x10000)},
      {{"--address=1235", "--length=3", "data.bin", "out.s19"}, 0x1235, part(0, 3)},
      {{"--length=3", "data.bin", "out.s19"}, 0, part(0, 3)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.parameters));
    const Outcome outcome = Convert(c.parameters);
    EXPECT_EQ(outcome.Status, 0);
    EXPECT_EQ(outcome.Err, "");
    EXPECT_TRUE(SameBytes(ObjcopyBytes(c.parameters.back()), c.bytes));
    EXPECT_EQ(ObjcopyLowest(c.parameters.back()), c.lowest);
  }
  // Raw to raw: the window's bytes; a record file's window from its lowest byte, or /A.
  EXPECT_EQ(Convert({"--offset=2FFFE", "data.bin", "out.bin"}).Status, 0);
  EXPECT_EQ(GetFile("out.bin"), part(0x2FFFE, 2));
  ObjcopyRecords("high.s37", 0x20000, 0x1FFF3, 17);
  const Outcome window = Convert({"--offset=20000", "high.s37", "out.bin"});
  EXPECT_EQ(window.Err, "lbe: out.bin starts at address 20000\n");
  EXPECT_TRUE(SameBytes(GetFile("out.bin"), part(0xD, 0x10000)));
  const Outcome fromA = Convert({"--offset=20000", "/A10", "high.s37", "out.s19"});
  EXPECT_EQ(fromA.Status, 0);
  EXPECT_TRUE(SameBytes(ObjcopyBytes("out.s19"), part(0x1D, 0x10000 - 0x10)));
  EXPECT_EQ(ObjcopyLowest("out.s19"), 0x20010u);
}

// An input rewritten in place between the two readings of a conversion to raw, its length kept
// and its modification time put back (as cp -p or rsync --inplace leave it): only its change
// time shows it. The conversion must stop with nothing written; it must not put together an
// output that is neither the former input nor the new one.
class ConvertChangedInput : public ConvertWhole {
 protected:
  void TearDown() override { files::SetFileCallHook(nullptr); }

  // Converts in.hex to out.bin, in.hex rewritten with `rewritten` once the output's bytes start
  // to be placed (after the first reading).
  Outcome ConvertRewritten(const std::string& former, const std::string& rewritten) {
    EXPECT_EQ(former.size(), rewritten.size());
    PutText("in.hex", former);
    struct stat before {};
    EXPECT_EQ(::stat("in.hex", &before), 0);
    bool done = false;
    files::SetFileCallHook([&](int, std::string_view call) {
      if (!done && call == "ftruncate") {
        done = true;
        std::ofstream("in.hex", std::ios::binary | std::ios::in | std::ios::out)
            << rewritten;
        const struct timespec times[2] = {before.st_atim, before.st_mtim};
        EXPECT_EQ(::utimensat(AT_FDCWD, "in.hex", times, 0), 0);
      }
      return 0;
    });
    const Outcome outcome = Convert({"in.hex", "out.bin"});
    files::SetFileCallHook(nullptr);
    EXPECT_TRUE(done) << "the input was not rewritten";
    return outcome;
  }
};

TEST_F(ConvertChangedInput, RewrittenWithItsTimeKeptStopsTheConversion) {
  const std::string former =
      IntelLine(0, 0x100, {1, 2}) + IntelLine(0, 0x200, {3, 4}) + ":00000001FF\n";
  const std::string rewritten =
      IntelLine(0, 0x100, {1, 2}) + IntelLine(0, 0x900, {3, 4}) + ":00000001FF\n";
  const Outcome outcome = ConvertRewritten(former, rewritten);
  EXPECT_EQ(outcome.Status, 1) << outcome.Err;
  // Written: 258 bytes, 01 02 and zeros, which hold neither 03 04 at 0200 nor at 0900.
  EXPECT_FALSE(fs::exists("out.bin")) << GetFile("out.bin").size() << " bytes written";
}

TEST_F(ConvertChangedInput, RewrittenWithAByteFarAboveTheFirstReadingsHighest) {
  // The second reading puts a byte 512 KiB above the highest the first reading found.
  const std::string former = IntelLine(0, 0x100, {1, 2}) + IntelLine(4, 0, {0x00, 0x00}) +
                             IntelLine(0, 0x200, {3, 4}) + ":00000001FF\n";
  const std::string rewritten = IntelLine(0, 0x100, {1, 2}) + IntelLine(4, 0, {0x00, 0x08}) +
                                IntelLine(0, 0x200, {3, 4}) + ":00000001FF\n";
  const Outcome outcome = ConvertRewritten(former, rewritten);
  EXPECT_EQ(outcome.Status, 1) << outcome.Err;
  // Written: a file of 768 KiB, not the 258 bytes "starts at address 0100" goes with.
  EXPECT_FALSE(fs::exists("out.bin")) << GetFile("out.bin").size() << " bytes written";
}

// An output that is there, in a small tmpfs (/tmp, /dev/shm, /run/user often are one), and a raw
// output mostly gaps of 00: the scratch file it is put together in holds them as holes, and
// reading them through its mapping needs pages the tmpfs does not have. The conversion must stop
// with a message and exit status 1, the output as it was; it must not die of SIGBUS.
TEST_F(ConvertWhole, AGappyRawOutputOverAFileInASmallTmpfsIsRefusedNotKilled) {
  fs::create_directory("small");
  if (::geteuid() != 0 || ::mount("tmpfs", "small", "tmpfs", 0, "size=1m") != 0) {
    GTEST_SKIP() << "mounting a tmpfs needs root";
  }
  struct Unmount {
    ~Unmount() { ::umount2("small", MNT_DETACH); }
  } unmount;
  // Bytes at 000000 and 200000: a raw output of 2 MiB and 2 bytes, 2 MiB of it a gap.
  PutText("in.hex", IntelLine(0, 0, {0x11, 0x22}) + IntelLine(4, 0, {0x00, 0x20}) +
                        IntelLine(0, 0, {0x33, 0x44}) + ":00000001FF\n");
  PutText("small/out.bin", "precious");
  const pid_t child = ::fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    ::_exit(Convert({"in.hex", "small/out.bin"}).Status);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  const std::string kept = Text("small/out.bin");
  EXPECT_FALSE(WIFSIGNALED(status)) << "killed by signal " << WTERMSIG(status);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
  EXPECT_EQ(kept, "precious");
}

}  // namespace
}  // namespace lbe::listing
