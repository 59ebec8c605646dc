// Intel HEX and S-record files loaded and saved by the editor: the range a load sets, the marked
// bytes a save writes, and GNU objcopy as the oracle of both directions.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <array>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "files/edited_file.h"
#include "files/file_layer.h"
#include "files/test_hooks.h"
#include "image/edit_history.h"
#include "image/memory_image.h"
#include "screens/program.h"
#include "temp_folder.h"

namespace lbe::files {
using namespace image;
namespace {

using lbe::testing::GetFile;
using lbe::testing::PutFile;

constexpr const char* kEnd = ":00000001FF\n";

void PutText(const std::string& name, const std::string& text) {
  PutFile(name, {text.begin(), text.end()});
}
std::string GetText(const std::string& name) {
  const std::vector<std::uint8_t> bytes = GetFile(name);
  return {bytes.begin(), bytes.end()};
}
int Shell(const std::string& command) {
  return std::system(command.c_str());
}

// A byte typed in the edit mode, as the edit mode notes it.
void Type(std::int32_t address, std::uint8_t value) {
  BeginChange({address / kLineBytes, 0});
  NoteByte(address);
  Image[address] = value;
  EndChange();
}

class RecordFiles : public ::testing::Test {
 protected:
  void SetUp() override { screens::ResetProgramState(); }
  static LoadOutcome Start(const std::string& name, std::optional<std::string> address = {},
                           std::uint64_t offset = 0) {
    Image.Bytes.fill(0xEE);  // what an earlier file left: a load clears it
    return LoadStartImage({address, name, offset, kAsMuchAsFits, {}, {}, false});
  }
  lbe::testing::TemporaryWorkingFolder folder_;
};

// A file without an end record loads with a note, and a save adds none; a run of Ctrl-Z glued
// to its last record stays at the end.
TEST_F(RecordFiles, AFileWithoutAnEndRecordLoadsWithANoteAndStaysWithout) {
  const struct {
    std::string name, text, saved;
  } cases[] = {
      {"fw.hex", ":0100100041AE\n", ":0100100041AE\n:0100110042AC\n"},
      {"fw.s19", "S104001041AA\x1a\x1a", "S104001041AA\nS104001142A8\x1a\x1a"},
  };
  for (const auto& c : cases) {
    PutText(c.name, c.text);
    EXPECT_EQ(Start(c.name).Notice, c.name + ": no end record: the file may have been cut short");
    Type(0x11, 0x42);
    ASSERT_TRUE(SaveRange());
    EXPECT_EQ(GetText(c.name), c.saved);
  }
}

// A record file changed between the save's two readings of it is not written over.
TEST_F(RecordFiles, AFileChangedWhileTheSaveReadsItIsLeftAlone) {
  PutText("fw.hex", ":0100100041AE\n:00000001FF\n");
  Start("fw.hex");
  Type(0x10, 0x42);
  const std::string theirs = ":0100100043AC\n:00000001FF\n";
  SetPauseHook([&](std::string_view where) {
    if (where == "records") {
      PutText("fw.hex", theirs);
    }
  });
  EXPECT_THROW(SaveRange(), FileError);
  SetPauseHook({});
  EXPECT_EQ(GetText("fw.hex"), theirs);
}

TEST_F(RecordFiles, LoadPlacesTheDataAndSetsTheRange) {
  const struct {
    std::string text;
    std::optional<std::string> address;
    std::uint64_t offset;
    std::int32_t start, endLine, held, at, value;
  } cases[] = {
      {":020123001122A7\n:0102000033CA\n", {}, 0, 0x120, 0x40, 3, 0x124, 0x22},
      {":020123001122A7\n:0102000033CA\n", "180", 0, 0x180, 0x40, 3, 0x123, 0x11},
      {":0102000033CA\n:020123001122A7\n", {}, 0, 0x120, 0x40, 3, 0x124, 0x22},  // lowest last
      {":020000040001F9\n:0100100044AB\n:020000040000FA\n:0200040055663F\n",
       {},
       0x10000,
       0x10,
       2,
       1,
       0x10,
       0x44},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    PutText("fw.hex", c.text + kEnd);
    Start("fw.hex", c.address, c.offset);
    EXPECT_EQ(Range.StartAddress, c.start);
    EXPECT_EQ(Range.EndLine, c.endLine);
    EXPECT_EQ(Image.Marks.count(), static_cast<std::size_t>(c.held));
    EXPECT_EQ(Image[c.at], c.value);
    EXPECT_EQ(Image[0x100], 0);
    EXPECT_FALSE(ImageChangedSinceSaved());
  }
}

TEST_F(RecordFiles, AFileThatDoesNotParseNamesTheLineAndLoadsNothing) {
  PutText("bad.hex", std::string(":020123001122A7\n:0102000033CB\n") + kEnd);
  EXPECT_THROW(Start("bad.hex"), FileError);
  PutText("fw.hex", std::string(":020123001122A7\n") + kEnd);
  Start("fw.hex");
  const MemoryImage before = Image;
  CurrentFileName = "bad.hex";
  try {
    LoadFile();
  } catch (const FileError& error) {
    EXPECT_TRUE(std::string(error.what()).starts_with("Line 2: ")) << error.what();
  }
  EXPECT_TRUE(Image == before);
}

// A byte typed over a gap is saved even with the value it had; the other gaps stay gaps, the
// other records keep their text, line ends and case; the length change asks nothing.
TEST_F(RecordFiles, SaveWritesTheHeldBytesAndKeepsTheRest) {
  const std::string header = ":020000040000fa\r\n:020123001122a7\r\n";
  PutText("fw.hex", header + ":0102000033ca\r\n:00000001ff\r\n");
  Start("fw.hex");
  Type(0x0150, 0x00);
  EXPECT_TRUE(ImageChangedSinceSaved());
  std::vector<SaveConcern::Kind> asked;
  bool answer = true;
  const auto ask = [&](const SaveConcern& concern) {
    asked.push_back(concern.What);
    return answer;
  };
  ASSERT_TRUE(SaveRange(ask));
  EXPECT_TRUE(asked.empty());
  const std::string saved = GetText("fw.hex");
  EXPECT_TRUE(saved.starts_with(header)) << saved;
  EXPECT_NE(saved.find(":01015000"), std::string::npos) << saved;
  EXPECT_TRUE(saved.ends_with(":0102000033ca\r\n:00000001ff\r\n")) << saved;
  const MemoryImage typed = Image;
  Start("fw.hex");
  EXPECT_TRUE(Image == typed);
  EXPECT_EQ(Image.Marks.count(), 4u);

  // Another program's change since the load is asked about, though it left the size and the
  // time as they were (a file system with coarse times); no leaves the file alone.
  struct stat loaded {};
  ASSERT_EQ(::stat("fw.hex", &loaded), 0);
  PutText("fw.hex", saved.substr(0, saved.size() - 4) + "FF\r\n");
  const struct timespec times[2] = {loaded.st_atim, loaded.st_mtim};
  ASSERT_EQ(::utimensat(AT_FDCWD, "fw.hex", times, 0), 0);
  Type(0x0124, 0x99);
  answer = false;
  EXPECT_FALSE(SaveRange(ask));
  EXPECT_EQ(asked, std::vector{SaveConcern::ChangedOnDisk});

  // A dropped terminal's rescue copy loads back as a record file of the same format.
  EXPECT_EQ(WriteRescueOfRange(), "fw.hex.lbe-rescue.hex");
  const MemoryImage unsaved = Image;
  Start("fw.hex.lbe-rescue.hex");
  EXPECT_TRUE(Image == unsaved);
}

// objcopy's records load to the bytes it was given, and what a save leaves converts back with
// objcopy to the image, gaps as 00: 64 KiB of a system binary, and random pieces of it at random
// addresses above a base, in both formats.
TEST_F(RecordFiles, RoundTripsWithObjcopy) {
  ASSERT_EQ(Shell("head -c 65536 \"$(command -v objcopy)\" >system.bin && "
                  "objcopy -I binary -O ihex system.bin system.hex"),
            0);
  const std::vector<std::uint8_t> system = GetFile("system.bin");
  std::vector<std::uint8_t> gaps(kImageSize);
  std::mt19937 random(5);
  std::string pieces;
  for (std::size_t at = random() % 512, end; at < 0xF000; at = end + random() % 900) {
    end = at + 1 + random() % 700;
    std::copy(system.begin() + at, system.begin() + end, gaps.begin() + at);
    PutFile("piece.bin", {system.begin() + at, system.begin() + end});
    const std::string address = std::to_string(0x20000 + at);
    ASSERT_EQ(
        Shell("objcopy -I binary -O ihex --change-addresses " + address + " piece.bin piece.hex"),
        0);
    std::string text = GetText("piece.hex");
    text = text.substr(0, text.find(":00000001FF"));
    // One start address a file: each piece's is left out.
    if (const std::size_t start = text.find(":0400000"); start != std::string::npos) {
      text.erase(start, text.find('\n', start) + 1 - start);
    }
    pieces += text;
  }
  PutText("gaps.hex", pieces + kEnd);
  ASSERT_EQ(Shell("objcopy -I ihex -O srec gaps.hex gaps.srec"), 0);
  for (const std::string name : {"system.hex", "gaps.hex", "gaps.srec"}) {
    SCOPED_TRACE(name);
    const bool whole = name == "system.hex";
    Start(name, {}, whole ? 0 : 0x20000);
    ASSERT_TRUE(
        std::equal(Image.Bytes.begin(), Image.Bytes.end(), (whole ? system : gaps).begin()));
    Type(Range.StartAddress + 3, 0x5A);
    Type(RangeEndAddress() - 9, 0xA5);
    ASSERT_TRUE(SaveRange());
    const char* format = name.ends_with("srec") ? "srec" : "ihex";
    ASSERT_EQ(Shell(std::string("objcopy -I ") + format + " -O binary " + name + " back.bin"), 0);
    const std::vector<std::uint8_t> back = GetFile("back.bin");
    auto lowest = static_cast<std::size_t>(Range.StartAddress);
    while (!Image.Marks[lowest]) {
      ++lowest;
    }
    ASSERT_FALSE(back.empty());
    EXPECT_TRUE(std::equal(back.begin(), back.end(), Image.Bytes.begin() + lowest));
    EXPECT_TRUE(Image.Marks[lowest + back.size() - 1]);
  }
}

}  // namespace
}  // namespace lbe::files
