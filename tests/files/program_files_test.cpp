// .prg files loaded and saved by the editor: the load address in their header places the bytes,
// a save writes it back with the bytes from there on, and what cannot be loaded is refused.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "files/edited_file.h"
#include "files/file_layer.h"
#include "files/rescue_copy.h"
#include "image/edit_history.h"
#include "image/memory_image.h"
#include "launch_settings.h"
#include "screens/program.h"
#include "temp_folder.h"

namespace lbe::files {
using namespace image;
namespace {

using Bytes = std::vector<std::uint8_t>;
using lbe::testing::GetFile;
using lbe::testing::PutFile;

// A .prg of `count` bytes 11, 12, ... at `load`.
Bytes Program(std::uint16_t load, std::size_t count) {
  Bytes bytes = {static_cast<std::uint8_t>(load & 0xFF), static_cast<std::uint8_t>(load >> 8)};
  for (std::size_t i = 0; i < count; ++i) {
    bytes.push_back(static_cast<std::uint8_t>(0x11 + i));
  }
  return bytes;
}

// A byte typed in the edit mode, as the edit mode notes it.
void Type(std::int32_t address, std::uint8_t value) {
  BeginChange({address / kLineBytes, 0});
  NoteByte(address);
  Image[address] = value;
  EndChange();
}

class ProgramFiles : public ::testing::Test {
 protected:
  void SetUp() override { screens::ResetProgramState(); }
  static LoadOutcome Start(const std::string& name, std::optional<std::string> address = {},
                           bool lines = false, std::optional<std::uint32_t> load = {}) {
    return LoadStartImage({address, name, 0, kAsMuchAsFits, {}, load, lines});
  }
  lbe::testing::TemporaryWorkingFolder folder_;
};

TEST_F(ProgramFiles, LoadPlacesTheBytesAtTheLoadAddress) {
  const struct {
    std::uint16_t load;
    std::size_t count;
    std::optional<std::string> address;
    bool lines;  // the New MLX type-in mode: held shifted down to the line grid
    std::int32_t start, endLine, firstAt, shift;
  } cases[] = {
      {0x0801, 3, {}, false, 0x0800, 0x100, 0x0801, 0},
      {0x0801, 7, {}, false, 0x0800, 0x100, 0x0801, 0},
      {0x0801, 8, {}, false, 0x0800, 0x101, 0x0801, 0},
      {0x0801, 8, {}, true, 0x0800, 0x100, 0x0800, 1},
      {0x0807, 2, {}, true, 0x0800, 0x100, 0x0800, 7},
      {0xC000, 1, {}, true, 0xC000, 0x1800, 0xC000, 0},
      {0x0801, 3, "0700", false, 0x0700, 0x100, 0x0801, 0},
      {0x0801, 0, {}, false, 0x0800, 0xFF, 0x0801, 0},
      {0xFFF0, 16, {}, false, 0xFFF0, 8191, 0xFFF0, 0},
      {0x0000, 0x10000, {}, false, 0, 8191, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << std::hex << c.count << " bytes at " << c.load);
    PutFile("p.prg", Program(c.load, c.count));
    Start("p.prg", c.address, c.lines);
    EXPECT_EQ(Range.StartAddress, c.start);
    EXPECT_EQ(Range.EndLine, c.endLine);
    EXPECT_EQ(Placement.LoadAddress, c.load);
    EXPECT_EQ(Placement.AddressShift, c.shift);
    EXPECT_EQ(Image.Marks.count(), c.count);
    if (c.count > 0) {
      EXPECT_TRUE(Image.Marks[static_cast<std::size_t>(c.firstAt)]);
      EXPECT_EQ(Image[c.firstAt], 0x11);
    }
    if (c.firstAt + c.count < 0x10000) {
      EXPECT_FALSE(Image.Marks[static_cast<std::size_t>(c.firstAt) + c.count]);
    }
    EXPECT_FALSE(ImageChangedSinceSaved());
  }
}

// Every refusal names the file or the option and what is wrong, and leaves the image, the range,
// the placement and the file as they were.
TEST_F(ProgramFiles, WhatCannotBeLoadedIsRefusedAndChangesNothing) {
  const struct {
    Bytes file;
    std::uint64_t offset;
    std::string message;
  } cases[] = {
      {{0x01},
       0,
       "The file holds 1 byte: a .prg file starts with a 2-byte load address.\r\n[p.prg]"},
      {Program(0xFFF0, 17), 0,
       "Its 17 bytes from load address FFF0 run to 10000, past FFFF.\r\n[p.prg]"},
      {Program(0x0002, 0xFFFF), 0,
       "Its 65535 bytes from load address 0002 run to 10000, past FFFF.\r\n[p.prg]"},
      {Program(0x0801, 3), 1,
       "--offset and --length are not for a .prg file: it is loaded whole, at the load address "
       "in its header.\r\n[p.prg]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    PutFile("other.prg", Program(0x1000, 9));
    Start("other.prg");
    Type(0x1002, 0x99);
    const MemoryImage image = Image;
    const AddressRange range = Range;
    const FilePlacement placement = Placement;
    PutFile("p.prg", c.file);
    Placement.Offset = c.offset;
    CurrentFileName = "p.prg";
    try {
      LoadFile();
      ADD_FAILURE() << "loaded";
    } catch (const FileError& error) {
      EXPECT_EQ(error.what(), c.message);
    }
    Placement.Offset = placement.Offset;
    EXPECT_TRUE(Image == image);
    EXPECT_EQ(Range, range);
    EXPECT_EQ(Placement, placement);
    EXPECT_EQ(GetFile("p.prg"), c.file);
  }
}

// --address from the command line, as start-up takes it: a new .prg's load address, up to FFFF.
TEST_F(ProgramFiles, AddressIsForANewFileUpToFFFF) {
  const struct {
    std::vector<std::string> words;
    std::string message;  // empty: loads
  } cases[] = {
      {{"--address=0801", "new.prg"}, ""},
      {{"--address=0801", "old.prg"},
       "--address is for a new .prg file: old.prg has its load address, C000, in its header."},
      {{"--address=10000", "new.prg"},
       "--address=10000 is past FFFF, the last address a .prg file can load at."},
  };
  PutFile("old.prg", Program(0xC000, 4));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.words[0] + " " + c.words[1]);
    const cli::CommandLineOptions options = cli::ParseCommandLine(c.words);
    ASSERT_EQ(options.WrongUse, "");
    try {
      LoadStartImage(StartFileOf(options));
      EXPECT_EQ(c.message, "");
      EXPECT_EQ(Placement.LoadAddress, 0x0801);
      EXPECT_EQ(Range.StartAddress, 0x0800);
    } catch (const FileError& error) {
      EXPECT_EQ(error.what(), c.message);
    }
  }
  EXPECT_EQ(GetFile("old.prg"), Program(0xC000, 4));
  EXPECT_FALSE(std::filesystem::exists("new.prg"));
}

// What S writes, byte for byte: the header, then the bytes from the load address to the last
// held byte; what it cannot hold (below the load address, past FFFF) is refused, nothing
// written. A file no one changed is saved without a question.
TEST_F(ProgramFiles, SaveWritesTheHeaderAndTheBytesFromTheLoadAddress) {
  const std::string below =
      "Not saved: 1 byte from 0800 lies below the load address 0801, where a .prg holds none. "
      "Undo it (U), or delete it.";
  const struct {
    const char* what;
    std::uint16_t load;
    bool lines;
    std::vector<std::pair<std::int32_t, std::uint8_t>> typed;
    std::int32_t moreLines;
    Bytes saved;  // empty: refused with `refused`
    std::string refused;
  } cases[] = {
      {"nothing changed", 0x0801, false, {}, 0, Program(0x0801, 5), ""},
      {"a byte changed",
       0x0801,
       false,
       {{0x0803, 0xEE}},
       0,
       {0x01, 0x08, 0x11, 0x12, 0xEE, 0x14, 0x15},
       ""},
      {"a 00 typed past the end",
       0x0801,
       false,
       {{0x0806, 0x00}},
       0,
       {0x01, 0x08, 0x11, 0x12, 0x13, 0x14, 0x15, 0x00},
       ""},
      {"the range cut short", 0x0801, false, {}, -1, Program(0x0801, 5), ""},
      {"the range grown: no zeros added", 0x0801, false, {}, 2, Program(0x0801, 5), ""},
      {"a byte below the load address", 0x0801, false, {{0x0800, 0xEE}}, 0, {}, below},
      {"shifted, a byte changed",
       0x0801,
       true,
       {{0x0800, 0xEE}},
       0,
       {0x01, 0x08, 0xEE, 0x12, 0x13, 0x14, 0x15},
       ""},
      {"shifted, a byte past the end",
       0x0801,
       true,
       {{0x0805, 0xEE}},
       0,
       {0x01, 0x08, 0x11, 0x12, 0x13, 0x14, 0x15, 0xEE},
       ""},
      {"shifted, the last byte before 10000",
       0xFFF9,
       true,
       {{0xFFFE, 0xEE}},
       0,
       {0xF9, 0xFF, 0x11, 0x12, 0x13, 0x14, 0x15, 0x00, 0xEE},
       ""},
      {"shifted, a byte at 10000",
       0xFFF9,
       true,
       {{0xFFFF, 0xEE}},
       0,
       {},
       "Not saved: 1 byte from 10000 lies past FFFF, where a .prg holds none. Undo it (U), or "
       "delete it."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    PutFile("p.prg", Program(c.load, 5));
    Start("p.prg", {}, c.lines);
    for (const auto& [at, value] : c.typed) {
      Type(at, value);
    }
    Range.EndLine += c.moreLines;
    std::vector<SaveConcern::Kind> asked;
    const auto ask = [&asked](const SaveConcern& concern) {
      asked.push_back(concern.What);
      return true;
    };
    try {
      ASSERT_TRUE(SaveRange(ask));
      EXPECT_EQ(GetFile("p.prg"), c.saved);
      EXPECT_FALSE(ImageChangedSinceSaved());
    } catch (const FileError& error) {
      EXPECT_EQ(error.what(), c.refused);
      EXPECT_EQ(GetFile("p.prg"), Program(c.load, 5));
    }
    EXPECT_EQ(asked, std::vector<SaveConcern::Kind>{});
  }
}

// A new .prg takes its load address from --address (held shifted in the type-in mode), else from
// the start address; a .prg of 0 bytes is new too.
TEST_F(ProgramFiles, ANewFileTakesItsLoadAddressFromAddressOrTheStart) {
  const struct {
    std::string name;
    std::optional<std::string> address;
    std::optional<std::uint32_t> load;
    bool lines;
    std::int32_t typedAt, start;
    Bytes saved;
  } cases[] = {
      {"new.prg", {}, 0x0801, false, 0x0801, 0x0800, {0x01, 0x08, 0xA9}},
      {"new.prg", {}, 0x0801, true, 0x0800, 0x0800, {0x01, 0x08, 0xA9}},
      {"new.prg", {}, 0x0803, false, 0x0804, 0x0800, {0x03, 0x08, 0, 0xA9}},
      {"new.prg", "C000", {}, false, 0xC001, 0xC000, {0x00, 0xC0, 0, 0xA9}},
      {"empty.prg", {}, 0x0801, false, 0x0801, 0x0800, {0x01, 0x08, 0xA9}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name + (c.lines ? " shifted" : ""));
    std::remove("new.prg");
    PutFile("empty.prg", {});
    Start(c.name, c.address, c.lines, c.load);
    EXPECT_EQ(Range.StartAddress, c.start);
    Type(c.typedAt, 0xA9);
    ASSERT_TRUE(SaveRange());
    EXPECT_EQ(GetFile(c.name), c.saved);
  }
}

// F keeps the type-in mode's shift for the next .prg, and a new name keeps the last load address.
TEST_F(ProgramFiles, TheFCommandsLoadsKeepTheShiftAndTheLoadAddress) {
  PutFile("a.prg", Program(0x0803, 2));
  PutFile("b.bin", Bytes(3, 0x42));
  Start("b.bin", {}, true);
  const struct {
    std::string name;
    std::optional<std::uint16_t> load;
    std::int32_t shift;
  } steps[] = {{"a.prg", 0x0803, 3}, {"copy.prg", 0x0803, 3}, {"b.bin", {}, 0}};
  for (const auto& step : steps) {
    CurrentFileName = step.name;
    LoadFile();
    EXPECT_EQ(Placement.LoadAddress, step.load) << step.name;
    EXPECT_EQ(Placement.AddressShift, step.shift) << step.name;
    if (step.name == "a.prg") {
      EXPECT_EQ(Image.Marks.count(), 2u);  // b.bin's bytes are gone with the load
    }
    if (step.name == "copy.prg") {
      ASSERT_TRUE(SaveRange());
      EXPECT_EQ(GetFile("copy.prg"), GetFile("a.prg"));
    }
  }
}

// A file changed on disk since the load is asked about; no: the file stays as the other left it.
TEST_F(ProgramFiles, ASaveAsksWhenTheFileChangedOnDisk) {
  PutFile("p.prg", Program(0x0801, 5));
  Start("p.prg");
  Type(0x0801, 0xEE);
  PutFile("p.prg", Program(0x0801, 6));
  std::vector<SaveConcern::Kind> asked;
  EXPECT_FALSE(SaveRange([&asked](const SaveConcern& concern) {
    asked.push_back(concern.What);
    return false;
  }));
  EXPECT_EQ(asked, std::vector{SaveConcern::ChangedOnDisk});
  EXPECT_EQ(GetFile("p.prg"), Program(0x0801, 6));
}

// The rescue copy holds every byte typed, one below the load address too, which a save refuses.
TEST_F(ProgramFiles, TheRescueCopyIsAProgramFileWithItsHeader) {
  const struct {
    bool lines;
    std::int32_t typedAt;
    Bytes rescued;
  } cases[] = {
      {true, 0x0805, {0x01, 0x08, 0x11, 0x12, 0x13, 0x14, 0x15, 0xEE}},
      {false, 0x0800, {0x00, 0x08, 0xEE, 0x11, 0x12, 0x13, 0x14, 0x15}},
  };
  for (const auto& c : cases) {
    PutFile("p.prg", Program(0x0801, 5));
    Start("p.prg", {}, c.lines);
    Type(c.typedAt, 0xEE);
    EXPECT_EQ(WriteRescueOfRange(), "p.prg.lbe-rescue.prg");
    EXPECT_EQ(GetFile("p.prg.lbe-rescue.prg"), c.rescued) << std::hex << c.typedAt;
    std::remove("p.prg.lbe-rescue.prg");  // a rescue copy never writes over another
  }
}

}  // namespace
}  // namespace lbe::files
