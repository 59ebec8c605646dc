// lbe --convert from its command line, as main runs it, on files in a temporary folder: what is
// refused, which leaves every file as it was, and what is written, as objcopy reads it.

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
#include <functional>
#include <iterator>
#include <map>
#include <numeric>
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
using text::HexDigits;

// The words of a command line.
std::vector<std::string> Words(const std::string& line) {
  std::istringstream words(line);
  return {std::istream_iterator<std::string>(words), std::istream_iterator<std::string>()};
}

// `lbe --convert PARAMETERS` as main runs it: its exit status, a space and what it writes to
// standard error. A wrong command line stops with status 2.
std::string Convert(const std::string& parameters) {
  const cli::CommandLineOptions options = cli::ParseCommandLine(Words("--convert " + parameters));
  if (!options.WrongUse.empty()) {
    return "2 lbe: " + options.WrongUse + "\n";
  }
  char* text = nullptr;
  std::size_t size = 0;
  std::FILE* err = ::open_memstream(&text, &size);
  std::string outcome = std::to_string(ConvertMode(ConversionOf(options), err)) + " ";
  std::fclose(err);
  outcome.append(text, size);
  std::free(text);
  return outcome;
}

Bytes B(std::string_view text) {
  return {text.begin(), text.end()};
}

std::string Text(const std::string& name) {
  const Bytes bytes = GetFile(name);
  return {bytes.begin(), bytes.end()};
}

void Put(const std::string& name, const std::string& text) {
  lbe::testing::PutFile(name, B(text));
}

// One record, its checksum made: Intel HEX (`kind` ':', `address` the offset) or an S-record of
// `type`, the address as wide as the type says.
std::string Line(char kind, int type, std::uint64_t address, const Bytes& data) {
  const bool s = kind == 'S';
  const int width = !s || type == 0 ? 2 : type <= 3 ? type + 1 : 11 - type;
  Bytes record = {static_cast<std::uint8_t>(data.size() + (s ? width + 1 : 0))};
  for (int i = width - 1; i >= 0; --i) {
    record.push_back(static_cast<std::uint8_t>(address >> (8 * i)));
  }
  if (!s) {
    record.push_back(static_cast<std::uint8_t>(type));
  }
  record.insert(record.end(), data.begin(), data.end());
  unsigned sum = 0;
  std::string line = s ? "S" + std::to_string(type) : ":";
  for (const std::uint8_t byte : record) {
    sum += byte;
    line += HexDigits(byte, 2);
  }
  return line + HexDigits((s ? ~sum : 0x100 - sum) & 0xFF, 2) + "\n";
}
const std::string kIntelEnd = Line(':', 1, 0, {});
const std::string kSHead = Line('S', 0, 0, {});

// What a shell command prints; its exit status must be 0.
std::string Run(const std::string& command) {
  EXPECT_EQ(std::system((command + " >run.txt 2>&1").c_str()), 0)
      << command << ": " << Text("run.txt");
  return Text("run.txt");
}

// A record file as objcopy reads it: its bytes from its lowest address on, gaps filled with FF,
// that address, and the start address objdump shows (0 for none).
struct Image {
  std::uint64_t Lowest = 0;
  std::uint64_t Start = 0;
  Bytes Data;
  bool operator==(const Image&) const = default;
};

void PrintTo(const Image& image, std::ostream* out) {
  *out << image.Data.size() << " bytes from " << HexDigits(image.Lowest, 4) << " (hash "
       << std::hash<std::string>()(std::string(image.Data.begin(), image.Data.end())) << "), start "
       << HexDigits(image.Start, 4);
}

Image Objcopy(const std::string& name) {
  Run("objcopy -I " + std::string(name.ends_with(".hex") ? "ihex" : "srec") +
      " -O binary --gap-fill 0xFF " + name + " objcopy.bin");
  Image image{~std::uint64_t{0}, 0, GetFile("objcopy.bin")};
  std::istringstream lines(Run("objdump -f -h " + name));
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string index, section, size, vma;
    if (line.starts_with("start address 0x")) {
      image.Start = std::stoull(line.substr(16), nullptr, 16);
    } else if (fields >> index >> section >> size >> vma && section.starts_with(".sec")) {
      image.Lowest = std::min<std::uint64_t>(image.Lowest, std::stoull(vma, nullptr, 16));
    }
  }
  return image;
}

// `bytes` in a record file objcopy writes, from `address` on, `perRecord` bytes to a record.
void ObjcopyRecords(const std::string& name, const Bytes& bytes, std::uint64_t address,
                    int perRecord = 16) {
  lbe::testing::PutFile("objcopy.in", bytes);
  Run("objcopy -I binary -O " +
      (name.ends_with(".hex") ? "ihex"
                              : "srec --srec-forceS3 --srec-len " + std::to_string(perRecord)) +
      " --change-addresses 0x" + HexDigits(address, 1) + " --set-start 0 objcopy.in " + name);
}

// Every file in the folder and what it holds (links followed).
std::map<std::string, std::size_t> Files() {
  std::map<std::string, std::size_t> files;
  for (const auto& entry : fs::recursive_directory_iterator(".")) {
    if (entry.is_regular_file()) {
      files[entry.path().native()] = std::hash<std::string>()(Text(entry.path()));
    }
  }
  return files;
}

class ConvertWhole : public ::testing::Test {
 protected:
  void SetUp() override {
    Put("x.hex", Line(':', 0, 0, {0x41}) + kIntelEnd);
    lbe::testing::PutFile("x.bin", Bytes(32, 7));
    Put("in.hex", Line(':', 4, 0, {0, 1}) + Line(':', 0, 0x2345, {'A', 'B'}) +
                      Line(':', 0, 0x2350, {'C'}) + kIntelEnd);
    Put("end.hex", kIntelEnd);
    Put("empty.bin", "");
    // Lines 2 to 4 give 0100-0103, 1000-1004 and a byte 512 KiB away, so that the window of 0100
    // is written out and come back to on line 5.
    const std::string twice = kSHead + Line('S', 3, 0x100, {0x41, 0x42, 0x43, 0x44}) +
                              Line('S', 3, 0x1000, {0xFF, 0, 0, 0, 0}) + Line('S', 3, 0x80000, {1});
    const std::string s7 = Line('S', 7, 0, {});
    Put("same.s37", twice + Line('S', 3, 0x100, {0x41, 0x42}) + Line('S', 3, 0x200, {0xFF}) + s7);
    Put("dup1.s37", twice + Line('S', 3, 0x100, {0x42}) + s7);
    Put("dup2.s37", twice + Line('S', 3, 0xFE, {0xFF, 0xFF, 0x41, 0x42, 0x43, 0x45}) + s7);
    Put("dup3.s37", twice + Line('S', 3, 0x1003, {0x00, 0x01}) + s7);
    haveObjcopy_ = std::system("objcopy --version >/dev/null && objdump --version >/dev/null") == 0;
    if (!haveObjcopy_) {
      return;
    }
    std::mt19937 random(21);
    image_.resize(300 << 10);
    std::generate(image_.begin(), image_.end(),
                  [&] { return static_cast<std::uint8_t>(random()); });
    lbe::testing::PutFile("image.bin", image_);
    ObjcopyRecords("img.hex", image_, 0x1FFF3);
    ObjcopyRecords("img.s37", image_, 0x1FFF3);
    lbe::testing::PutFile("in.bin", Part(0, 3000));
    ObjcopyRecords("in32.s37", Part(0, 1000), 0x400, 32);
    // img.s37 with every 7th record left out, the rest backwards, and a byte far above.
    std::istringstream lines(Text("img.s37"));
    std::vector<std::string> data;
    int number = 0;
    for (std::string line; std::getline(lines, line);) {
      if (line.starts_with("S3") && ++number % 7 != 5) {
        data.push_back(line + "\n");
      }
    }
    std::reverse(data.begin(), data.end());
    Put("gaps.s37", kSHead + Line('S', 3, 0x200000, {0x42}) +
                        std::accumulate(data.begin(), data.end(), std::string()) + s7);
  }

  Bytes Part(std::size_t from, std::size_t count) const {
    return {image_.begin() + static_cast<std::ptrdiff_t>(from),
            image_.begin() + static_cast<std::ptrdiff_t>(from + count)};
  }

  lbe::testing::TemporaryWorkingFolder folder_;
  bool haveObjcopy_ = false;
  Bytes image_;
};

TEST_F(ConvertWhole, WhatIsRefusedLeavesEveryFileAsItWas) {
  const lbe::testing::OwnHomeInFolder home(folder_);
  Put("keep.bin", "precious");
  Put("keep.hex", "precious");
  Put("low.hex", Line(':', 0, 0x2347, {'C'}) + kIntelEnd);
  Put("far.hex",
      Line(':', 0, 0, {1}) + Line(':', 4, 0, {0x10, 0}) + Line(':', 0, 0, {2}) + kIntelEnd);
  fs::create_symlink("x.hex", "link.hex");
  fs::create_hard_link("x.hex", "hard.hex");
  lbe::testing::PutFile("in.bin", lbe::testing::kFormer);
  lbe::testing::InterruptSave("in.bin", lbe::testing::kAcross, lbe::testing::kNew,
                              lbe::testing::HalfSaved());
  const std::string journal = folder_.Full("state/lbe/" + lbe::testing::OnlyStateJournal());
  const struct {
    std::string parameters;
    int status;
    std::string err;
  } cases[] = {
      {"x.hex hard.hex", 2, "the output file is the input itself: x.hex"},
      {"link.hex x.hex --format=ihex", 2, "the output file is the input itself: link.hex"},
      {"--offset=0 in.hex keep.bin", 1,
       "in.hex: no bytes at addresses 0000 to FFFF; nothing written to keep.bin"},
      {"--offset=10000 /A2358 in.hex keep.bin", 1,
       "in.hex: no bytes at addresses 12358 to 1FFFF; nothing written to keep.bin"},
      {"/A2348 low.hex keep.bin", 1,
       "low.hex: no bytes at addresses 2348 to FFFFFFFF; nothing written to keep.bin"},
      {"--offset=20 x.bin keep.hex", 1,
       "x.bin: no bytes at offset 0020 or after; nothing written to keep.hex"},
      {"--length=0 x.bin new.bin", 1,
       "x.bin: no bytes at offset 0000 in a length of 0; nothing written to new.bin"},
      {"--address=10 x.hex new.s19", 2,
       "--address goes with a raw input; the records of x.hex give their own addresses"},
      {"--address=10 x.bin new.bin", 2, "--address goes with a record output; new.bin is raw"},
      {"--record-length=8 x.hex new.bin", 2,
       "--record-length goes with a record output; new.bin is raw"},
      {"--start-address=0 x.bin --format=raw keep.hex", 2,
       "--start-address goes with a record output; keep.hex is raw"},
      {"--address=FFFFFFE1 x.bin new.hex", 1,
       "x.bin: its last byte would go to address 100000000, past FFFFFFFF, which no record file "
       "can hold; nothing written to new.hex"},
      {"--record-length=253 x.bin new.s19", 2,
       "--record-length=253 is more than an S1 record holds (252)"},
      {"--record-length=252 --address=FF000 x.bin new.s19", 2,
       "--record-length=252 is more than an S2 record holds (251)"},
      {"--record-length=251 --address=FFFFFFE0 x.bin new.s19", 2,
       "--record-length=251 is more than an S3 record holds (250)"},
      {"far.hex keep.bin", 1,
       "far.hex: its bytes run from 0000 to 10000000, more than the 256 MiB a raw output may "
       "hold; nothing written to keep.bin"},
      {"dup1.s37 keep.bin", 1,
       "Line 5: address 0100 is given 42 here and 41 on line 2\n[dup1.s37]"},
      {"dup2.s37 new.bin", 1, "Line 5: address 0103 is given 45 here and 44 on line 2\n[dup2.s37]"},
      {"dup3.s37 keep.bin", 1,
       "Line 5: address 1004 is given 01 here and 00 on line 3\n[dup3.s37]"},
      {"in.bin new.hex", 1,
       "The last save of in.bin was interrupted (its journal is " + journal +
           "); open the file in lbe to put it back.\nlbe: nothing converted"},
  };
  const auto before = Files();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.parameters);
    EXPECT_EQ(Convert(c.parameters), std::to_string(c.status) + " lbe: " + c.err + "\n");
    EXPECT_EQ(Files(), before);
  }
}

// Outputs compared byte for byte, with the address a raw one starts at, which is its lowest byte's
// or /A's line's, below or above it.
TEST_F(ConvertWhole, WritesTheBytesAndNamesWhereARawOutputStarts) {
  if (!haveObjcopy_) {
    GTEST_SKIP() << "no objcopy";
  }
  const struct {
    std::string parameters;
    std::string start;  // "" where none is named
    Bytes bytes;
  } cases[] = {
      {"--fill=2E in.hex out.bin", "12345", B("AB.........C")},
      {"--fill=2E /A2340 --offset=10000 in.hex out.bin", "12340", B(".....AB.........C")},
      {"--fill=2E /A2348 --offset=10000 in.hex out.bin", "12348", B("........C")},
      {"--fill=2E /A:FFF8 in.hex out.bin", "FFF8",
       B(std::string(0x12345 - 0xFFF8, '.') + "AB.........C")},
      {"img.s37 out.bin", "1FFF3", image_},
      {"--offset=20000 img.s37 out.bin", "20000", Part(0xD, 0x10000)},
      {"--fill=FF gaps.s37 out.bin", "1FFF3", Objcopy("gaps.s37").Data},
      {"--fill=FF same.s37 out.bin", "0100", Objcopy("same.s37").Data},
      {"--offset=4AFFE image.bin out.bin", "", Part(0x4AFFE, 2)},
      {"end.hex out.bin", "", {}},
      {"empty.bin out.hex", "", B(kIntelEnd)},
      {"empty.bin out.s19", "", B(kSHead + Line('S', 9, 0, {}))},
      {"--start-address=100 end.hex out.hex", "", B(Line(':', 5, 0, {0, 0, 1, 0}) + kIntelEnd)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.parameters);
    const std::string output = Words(c.parameters).back();
    Put(output, "an output that is there");
    EXPECT_EQ(Convert(c.parameters),
              c.start.empty() ? "0 " : "0 lbe: " + output + " starts at address " + c.start + "\n");
    EXPECT_TRUE(GetFile(output) == c.bytes) << GetFile(output).size();
  }
}

// Whole files across several 64 KiB windows, from records or from a raw file at --address, or the
// 64 KiB window the editor loads with --offset or --length: the same image as objcopy reads, each
// data record written again as it was, cut to --record-length, up to what a record holds.
TEST_F(ConvertWhole, RecordsHoldTheBytesObjcopyReads) {
  if (!haveObjcopy_) {
    GTEST_SKIP() << "no objcopy";
  }
  const Image whole = Objcopy("img.hex");  // from 1FFF3, which is also its start address
  const auto small = [&](std::uint64_t lowest) { return Image{lowest, 0, Part(0, 3000)}; };
  const struct {
    std::string parameters;
    Image image;
    std::size_t longest = 16;  // the longest data record
  } cases[] = {
      {"--address=1FFF3 --start-address=1FFF3 image.bin out.hex", whole},
      {"img.hex out.s37", whole},
      {"img.s37 out.hex", whole},
      {"gaps.s37 out.hex", Objcopy("gaps.s37")},
      {"--address=FFFFFFE0 x.bin out.hex", {0xFFFFFFE0, 0, Bytes(32, 7)}},
      {"--offset=10 --length=20 /A1234 image.bin out.hex", {0x1230, 0, Part(0x10, 0x20)}},
      {"--offset=10 /AFFF8 image.bin out.hex", {0xFFF8, 0, Part(0x10, 8)}, 8},
      {"--offset=10 image.bin out.s19", {0, 0, Part(0x10, 0x10000)}},
      {"--address=1235 --length=3 image.bin out.s19", {0x1235, 0, Part(0, 3)}, 3},
      {"--address=2FFF0 --offset=0 image.bin out.hex", {0x2FFF0, 0, Part(0, 16)}},
      {"--offset=20000 /A10 img.s37 out.s19", {0x20010, 0x1FFF3, Part(0x1D, 0x10000 - 0x10)}},
      {"--record-length=1 in.bin out.hex", small(0), 1},
      {"--record-length=255 --address=FFFFF000 in.bin out.hex", small(0xFFFFF000), 255},
      {"--record-length=252 in.bin out.s19", small(0), 252},
      {"--record-length=251 --address=FF000 in.bin out.s19", small(0xFF000), 251},
      {"--record-length=250 --address=FFFFF000 in.bin out.s19", small(0xFFFFF000), 250},
      {"in32.s37 out.hex", Objcopy("in32.s37"), 32},
      {"--record-length=20 in32.s37 out.s19", Objcopy("in32.s37"), 20},
      {"--record-length=64 in32.s37 out.hex", Objcopy("in32.s37"), 32},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.parameters);
    EXPECT_EQ(Convert(c.parameters), "0 ");
    EXPECT_EQ(Objcopy(Words(c.parameters).back()), c.image);
    std::istringstream lines(Text(Words(c.parameters).back()));
    std::size_t longest = 0;
    for (std::string line; std::getline(lines, line);) {
      const bool intel = line[0] == ':';
      if (intel ? line.substr(7, 2) == "00" : line[1] >= '1' && line[1] <= '3') {
        const std::size_t count = std::stoul(line.substr(intel ? 1 : 2, 2), nullptr, 16);
        longest = std::max(longest, intel ? count : count - (line[1] - '0') - 2);
      }
    }
    EXPECT_EQ(longest, c.longest);
  }
}

// The start address kept or set: CS:IP in a file of segment addresses, linear elsewhere.
TEST_F(ConvertWhole, StartAddressKeptOrSet) {
  if (!haveObjcopy_) {
    GTEST_SKIP() << "no objcopy";
  }
  Put("seg.hex", Line(':', 2, 0, {0x10, 0x00}) + Line(':', 0, 0, {0x41}) +
                     Line(':', 3, 0, {0x12, 0x34, 0x00, 0x10}) + kIntelEnd);
  Put("lin.hex", Line(':', 0, 0, {0x41}) + Line(':', 5, 0, {0x08, 0x00, 0x01, 0x23}) + kIntelEnd);
  Put("s.s19", kSHead + Line('S', 1, 0x10, {0x41}) + Line('S', 9, 0x100, {}));
  Put("none.s19", kSHead + Line('S', 1, 0x10, {0x41}) + Line('S', 9, 0, {}));
  const struct {
    std::string parameters;
    std::uint64_t start;
    std::string record;  // the start address record, or the last data record where none
  } cases[] = {
      {"seg.hex out.hex", 0x12350, Line(':', 3, 0, {0x12, 0x34, 0x00, 0x10})},
      {"seg.hex out.s19", 0x12350, Line('S', 8, 0x12350, {})},
      {"--start-address=12345 seg.hex out.hex", 0x12345, Line(':', 3, 0, {0x10, 0, 0x23, 0x45})},
      {"--start-address=FFFFFF seg.hex out.hex", 0xFFFFFF, Line(':', 5, 0, {0, 0xFF, 0xFF, 0xFF})},
      {"lin.hex out.s19", 0x08000123, Line('S', 7, 0x08000123, {})},
      {"--start-address=0 lin.hex out.hex", 0, Line(':', 5, 0, {0, 0, 0, 0})},
      {"s.s19 out.hex", 0x100, Line(':', 5, 0, {0, 0, 1, 0})},
      {"--start-address=8000 s.s19 out.s19", 0x8000, Line('S', 9, 0x8000, {})},
      {"none.s19 out.hex", 0, Line(':', 0, 0x10, {0x41})},
      {"--start-address=10000 x.bin out.s19", 0x10000, Line('S', 8, 0x10000, {})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.parameters);
    ASSERT_EQ(Convert(c.parameters), "0 ");
    EXPECT_EQ(Objcopy(Words(c.parameters).back()).Start, c.start);
    const std::string output = Words(c.parameters).back();
    EXPECT_TRUE(Text(output).ends_with(c.record + (output.ends_with(".hex") ? kIntelEnd : "")))
        << Text(output);
  }
}

// An output that is there keeps its inode, mode and other names, and nothing is left beside it.
TEST_F(ConvertWhole, AnOutputThatIsThereIsSavedInPlace) {
  Put("out.bin", "former bytes, longer than the new ones");
  fs::create_hard_link("out.bin", "other-name.bin");
  ::chmod("out.bin", 0640);
  struct stat before {};
  ASSERT_EQ(::stat("out.bin", &before), 0);
  auto files = Files();
  files["./out.bin"] = files["./other-name.bin"] = std::hash<std::string>()("A");
  EXPECT_EQ(Convert("x.hex out.bin"), "0 lbe: out.bin starts at address 0000\n");
  EXPECT_EQ(Files(), files);
  struct stat after {};
  ASSERT_EQ(::stat("out.bin", &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mode & 07777, 0640u);
}

// An input rewritten in place between the two readings of a conversion to raw, its length kept
// and its modification time put back (as cp -p or rsync --inplace leave it): only its change
// time shows it. The conversion stops with nothing written rather than put together an output
// that is neither the former input nor the new one.
TEST_F(ConvertWhole, AnInputRewrittenBetweenItsTwoReadingsStopsTheConversion) {
  const std::string low = Line(':', 0, 0x100, {1, 2});
  const std::string high = Line(':', 0, 0x200, {3, 4}) + kIntelEnd;
  const struct {
    std::string former, rewritten;
  } cases[] = {
      {low + high, low + Line(':', 0, 0x200, {5, 6}) + kIntelEnd},
      {low + high, low + Line(':', 0, 0x900, {3, 4}) + kIntelEnd},
      // The second reading puts a byte 512 KiB above the highest the first one found.
      {low + Line(':', 4, 0, {0, 0}) + high, low + Line(':', 4, 0, {0, 8}) + high},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rewritten);
    Put("in.hex", c.former);
    struct stat before {};
    ASSERT_EQ(::stat("in.hex", &before), 0);
    bool done = false;
    files::SetFileCallHook([&](int, std::string_view call) {
      if (!done && call == "ftruncate") {
        done = true;
        std::ofstream("in.hex", std::ios::binary | std::ios::in | std::ios::out) << c.rewritten;
        const struct timespec times[2] = {before.st_atim, before.st_mtim};
        EXPECT_EQ(::utimensat(AT_FDCWD, "in.hex", times, 0), 0);
      }
      return 0;
    });
    const std::string outcome = Convert("in.hex out.bin");
    files::SetFileCallHook(nullptr);
    EXPECT_TRUE(done) << "the input was not rewritten";
    EXPECT_EQ(outcome, "1 lbe: in.hex: the file changed while it was read; nothing was written\n");
    EXPECT_FALSE(fs::exists("out.bin")) << GetFile("out.bin").size() << " bytes written";
  }
}

// An output that is there, in a small tmpfs (/tmp, /dev/shm, /run/user often are one), and a raw
// output mostly gaps, longer than the tmpfs: saved whole, its gap a hole, neither refused nor
// killed by SIGBUS.
TEST_F(ConvertWhole, AGappyRawOutputOverAFileInASmallTmpfsIsSavedNotKilled) {
  fs::create_directory("small");
  if (::geteuid() != 0 || ::mount("tmpfs", "small", "tmpfs", 0, "size=1m") != 0) {
    GTEST_SKIP() << "mounting a tmpfs needs root";
  }
  struct Unmount {
    ~Unmount() { ::umount2("small", MNT_DETACH); }
  } unmount;
  // Bytes at 000000 and 200000: a raw output of 2 MiB and 2 bytes, 2 MiB of it a gap.
  Put("in.hex", Line(':', 0, 0, {0x11, 0x22}) + Line(':', 4, 0, {0x00, 0x20}) +
                    Line(':', 0, 0, {0x33, 0x44}) + kIntelEnd);
  Put("small/out.bin", "precious");
  const pid_t child = ::fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    ::_exit(Convert("in.hex small/out.bin") == "0 lbe: small/out.bin starts at address 0000\n" ? 0
                                                                                               : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_FALSE(WIFSIGNALED(status)) << "killed by signal " << WTERMSIG(status);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  Bytes expected((2 << 20) + 2);
  expected[0] = 0x11;
  expected[1] = 0x22;
  expected[2 << 20] = 0x33;
  expected[(2 << 20) + 1] = 0x44;
  EXPECT_TRUE(GetFile("small/out.bin") == expected);
}

// A .prg file: its load address, then `data`.
Bytes Program(std::uint16_t load, const Bytes& data) {
  Bytes bytes(2 + data.size());
  bytes[0] = static_cast<std::uint8_t>(load & 0xFF);
  bytes[1] = static_cast<std::uint8_t>(load >> 8);
  std::copy(data.begin(), data.end(), bytes.begin() + 2);
  return bytes;
}

// A .prg's bytes stand at its load address, and a .prg output's header is its lowest address:
// through records and back it is the same file, byte for byte.
TEST(ConvertProgram, BytesStandAtTheLoadAddressEachWay) {
  const lbe::testing::TemporaryWorkingFolder folder;
  Bytes data(300);
  std::iota(data.begin(), data.end(), std::uint8_t{7});
  lbe::testing::PutFile("p.prg", Program(0x0801, data));
  lbe::testing::PutFile("p.bin", data);
  Put("gap.hex", Line(':', 0, 0x1000, {1}) + Line(':', 0, 0x1003, {2}) + kIntelEnd);
  const struct {
    std::string parameters, err;
    Bytes written;
  } steps[] = {
      {"p.prg p.hex", "", {}},
      {"p.hex back.prg", "", Program(0x0801, data)},
      {"p.prg p.s19", "", {}},
      {"p.s19 --format=prg back.bin", "", Program(0x0801, data)},
      {"p.prg raw.bin", "lbe: raw.bin starts at address 0801\n", data},
      {"--address=C000 p.bin c000.prg", "", Program(0xC000, data)},
      {"p.bin zero.prg", "", Program(0x0000, data)},
      {"--fill=EA gap.hex gap.prg", "", Program(0x1000, {1, 0xEA, 0xEA, 2})},
      {"/A0FF8 gap.hex low.prg", "", Program(0x0FF8, {0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 2})},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.parameters);
    EXPECT_EQ(Convert(step.parameters), "0 " + step.err);
    if (!step.written.empty()) {
      EXPECT_EQ(GetFile(Words(step.parameters).back()), step.written);
    }
  }
}

TEST(ConvertProgram, WhatAProgramFileCannotHoldIsRefused) {
  const lbe::testing::TemporaryWorkingFolder folder;
  lbe::testing::PutFile("one.prg", {0x01});
  lbe::testing::PutFile("far.prg", Program(0xFFF0, Bytes(17)));
  lbe::testing::PutFile("p.prg", Program(0x0801, {1, 2, 3}));
  lbe::testing::PutFile("two.bin", {1, 2});
  Put("high.hex",
      Line(':', 0, 0xFFFF, {1}) + Line(':', 4, 0, {0, 1}) + Line(':', 0, 0, {2}) + kIntelEnd);
  const struct {
    std::string parameters, err;
  } cases[] = {
      {"one.prg out.hex",
       "1 lbe: one.prg: it holds 1 byte, and a .prg file starts with a 2-byte load address; "
       "nothing written to out.hex"},
      {"far.prg out.bin",
       "1 lbe: far.prg: its 17 bytes from load address FFF0 run to 10000, past FFFF; nothing "
       "written to out.bin"},
      {"--address=FFFF two.bin out.prg",
       "1 lbe: two.bin: its last byte would go to address 10000, past FFFF, which a .prg file "
       "cannot hold; nothing written to out.prg"},
      {"high.hex out.prg",
       "1 lbe: high.hex: its last byte would go to address 10000, past FFFF, which a .prg file "
       "cannot hold; nothing written to out.prg"},
      {"--address=10 p.prg out.hex",
       "2 lbe: --address goes with a raw input; p.prg gives its load address in its header"},
      {"/A100 p.prg out.hex",
       "2 lbe: /A goes with a raw input; p.prg gives its load address in its header"},
      {"--offset=2 p.prg out.bin",
       "2 lbe: --offset and --length go with a raw or record input; p.prg, a .prg file, is "
       "converted whole"},
      {"--record-length=8 two.bin out.prg",
       "2 lbe: --record-length goes with a record output; out.prg is a .prg file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.parameters);
    EXPECT_EQ(Convert(c.parameters), c.err + "\n");
    EXPECT_FALSE(fs::exists(Words(c.parameters).back()));
  }
}

// --check -o a .prg: the first line's address, then the bytes; none past FFFF.
TEST(ConvertProgram, CheckWritesTheFirstAddressAsTheHeader) {
  const lbe::testing::TemporaryWorkingFolder folder;
  const std::string zeros = " 0000000000000000:00\n";
  Put("end.txt", "FFF0" + zeros + "FFF8" + zeros);
  Put("past.txt", "FFF1" + zeros + "FFF9" + zeros);  // its last byte at 10000
  const struct {
    std::string listing, output;
    std::optional<records::FileFormat> format;
    int status;
    std::string err;
    Bytes written;
  } cases[] = {
      {"end.txt", "end.prg", {}, 0, "", Program(0xFFF0, Bytes(16))},
      {"end.txt", "end.bin", records::FileFormat::Prg, 0, "", Program(0xFFF0, Bytes(16))},
      {"past.txt",
       "past.prg",
       {},
       2,
       "lbe: the bytes run from FFF1 to 10000, past FFFF, where a .prg file ends; nothing "
       "written to past.prg\n",
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.output);
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* err = ::open_memstream(&text, &size);
    EXPECT_EQ(CheckMode(c.listing, c.output, err, c.format), c.status);
    std::fclose(err);
    EXPECT_EQ(std::string(text, size), c.err + "2 lines, 0 faults\n");
    std::free(text);
    EXPECT_EQ(GetFile(c.output), c.written);
  }
}

// --check -o into S-records takes the address width the highest address needs: S1 up to FFFF,
// S2 past it, as a record file of those bytes would be written.
TEST(CheckOutput, SRecordsTakeTheWidthOfTheHighestAddress) {
  const lbe::testing::TemporaryWorkingFolder folder;
  const std::string zeros = " 0000000000000000:00\n";
  Put("end.txt", "FFF0" + zeros + "FFF8" + zeros);
  Put("past.txt", "FFF8" + zeros + "10000" + zeros);
  const struct {
    std::string listing, output, dataRecord;
  } cases[] = {{"end.txt", "end.s19", "S1"}, {"past.txt", "past.s19", "S2"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.output);
    std::FILE* err = std::tmpfile();
    EXPECT_EQ(CheckMode(c.listing, c.output, err), 0);
    std::fclose(err);
    const Bytes written = GetFile(c.output);
    const std::string text(written.begin(), written.end());
    EXPECT_NE(text.find("\n" + c.dataRecord), std::string::npos) << text;
    EXPECT_EQ(text.find(c.dataRecord == "S1" ? "\nS2" : "\nS1"), std::string::npos) << text;
  }
}

// The bytes this process has handed to write calls so far; nullopt where the kernel keeps no
// such count.
std::optional<std::uint64_t> BytesWrittenByCalls() {
  std::ifstream io("/proc/self/io");
  std::string key;
  std::uint64_t value = 0;
  while (io >> key >> value) {
    if (key == "wchar:") {
      return value;
    }
  }
  return std::nullopt;
}

// --check -o into a new output writes each of its bytes once, straight into it, however many
// pieces the check hands on: no copy waits anywhere else first. The raw bytes are the listing's.
TEST(CheckOutput, ANewOutputsBytesAreWrittenOnce) {
  const lbe::testing::TemporaryWorkingFolder folder;
  if (!BytesWrittenByCalls()) {
    GTEST_SKIP() << "no /proc/self/io";
  }
  Bytes bytes;
  std::string listing;
  std::mt19937 random(5);
  for (std::uint64_t address = 0; address < 0x30028; address += 8) {
    std::uint8_t sum = 0;
    listing += HexDigits(address, 4) + " ";
    for (int i = 0; i < 8; ++i) {
      const auto byte = static_cast<std::uint8_t>(random());
      bytes.push_back(byte);
      sum = static_cast<std::uint8_t>(sum + byte);
      listing += HexDigits(byte, 2);
    }
    listing += ":" + HexDigits(sum, 2) + "\n";
  }
  Put("long.txt", listing);
  Put("short.txt", listing.substr(0, listing.find("0100 ")));
  const struct {
    std::string listing, output;
  } cases[] = {{"long.txt", "out.bin"}, {"long.txt", "out.hex"}, {"short.txt", "out.prg"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.output);
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* err = ::open_memstream(&text, &size);
    const std::uint64_t before = BytesWrittenByCalls().value_or(0);
    EXPECT_EQ(CheckMode(c.listing, c.output, err), 0);
    const std::uint64_t written = BytesWrittenByCalls().value_or(0) - before;
    std::fclose(err);
    std::free(text);
    EXPECT_EQ(written, fs::file_size(c.output));
  }
  EXPECT_TRUE(GetFile("out.bin") == bytes);
}

}  // namespace
}  // namespace lbe::listing
