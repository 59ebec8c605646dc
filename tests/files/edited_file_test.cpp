#include "files/edited_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <vector>

#include "files/file_layer.h"
#include "files/rescue_copy.h"
#include "image/edit_history.h"
#include "image/memory_image.h"
#include "screens/program.h"
#include "temp_folder.h"

namespace lbe::files {
using namespace image;  // the image the files are loaded into
namespace {

using Bytes = std::vector<std::uint8_t>;

// Load and save without a screen, with real files in a fresh temporary folder that is also the
// current directory.
class EditedFile : public ::testing::Test {
 protected:
  void SetUp() override { screens::ResetProgramState(); }
  static void Put(const std::string& name, const Bytes& bytes) {
    lbe::testing::PutFile(name, bytes);
  }
  static Bytes Counting(std::size_t count) {
    Bytes bytes(count);
    for (std::size_t i = 0; i < count; ++i) {
      bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
    }
    return bytes;
  }

  lbe::testing::TemporaryWorkingFolder folder_;
};

TEST_F(EditedFile, LoadRoundsToWholeLines) {
  const struct {
    std::size_t size;
    std::int32_t start;
    std::int32_t endLine;
  } cases[] = {{1, 0, 0},        {8, 0, 0},          {9, 0, 1},        {16, 0x10, 3},
               {17, 0x10, 4},    {65535, 0, 8191},   {65528, 8, 8191}, {8, 0xFFF8, 8191},
               {70000, 0, 8191}, {100, 0xFFF8, 8191}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.size << " bytes at " << c.start);
    Put("data.bin", Counting(c.size));
    SetStartAddress(c.start);
    CurrentFileName = "data.bin";
    LoadFile();
    EXPECT_EQ(Range.EndLine, c.endLine);
  }
}

// A load (start-up's, or F's of another file) replaces what the changes were made to: an undo
// after it would write the former file's byte into the new one.
TEST_F(EditedFile, EveryLoadForgetsTheChangesMadeBefore) {
  Put("raw.bin", Counting(16));
  Put("raw2.bin", Counting(8));
  Put("empty.prg", {});
  Put("p.prg", {0x00, 0x00, 1, 2, 3});
  Put("p2.prg", {0x00, 0x00, 4, 5, 6});
  for (const char* name : {"r.hex", "r2.hex"}) {
    std::FILE* hex = std::fopen(name, "w");
    std::fputs(":03000000010203F7\n:00000001FF\n", hex);
    std::fclose(hex);
  }
  const std::pair<std::string, std::string> loads[] = {
      {"raw.bin", "raw2.bin"}, {"r.hex", "r2.hex"}, {"p.prg", "p2.prg"}, {"p.prg", "empty.prg"}};
  for (const auto& [first, then] : loads) {
    SCOPED_TRACE(then);
    // With /A: a load that moves the start address forgets the changes for that reason too.
    LoadStartImage({"0000", first, 0, kAsMuchAsFits, {}, {}, false});
    BeginChange({0, 0});
    NoteByte(1);
    Image[1] = 0xEE;
    EndChange();
    CurrentFileName = then;
    LoadFile();
    const std::uint8_t loaded = Image[1];
    EXPECT_FALSE(Undo().has_value());
    EXPECT_EQ(Image[1], loaded);
  }
}

TEST_F(EditedFile, LoadErrorReachesTheCaller) {
  ASSERT_EQ(::mkfifo("pipe", 0644), 0);
  CurrentFileName = "pipe";
  Range.EndLine = 3;
  try {
    LoadFile();
    ADD_FAILURE() << "no FileError was raised";
  } catch (const FileError& error) {
    EXPECT_EQ(error.Kind(), FileErrorKind::InOutError);
  }
  EXPECT_EQ(Range.EndLine, 3);
}

// The range in use goes to the file, and only a save that wrote it counts as saved.
TEST_F(EditedFile, SaveRangeWritesTheRangeOrChangesNothing) {
  SetStartAddress(0x0100);
  Range.EndLine = 0x21;
  Image[0x0100] = 0xAA;
  Image[0x010F] = 0xBB;
  CurrentFileName = "rom.bin";
  EXPECT_TRUE(SaveRange());
  EXPECT_EQ(Placement.Stretch, (FileStretch{0, 16, true}));
  EXPECT_EQ(lbe::testing::GetFile("rom.bin"),
            (Bytes{0xAA, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xBB}));
  EXPECT_FALSE(ImageChangedSinceSaved());

  Image[0x0100] = 0x11;
  CurrentFileName = "sub/rom.bin";
  try {
    SaveRange();
    ADD_FAILURE() << "no FileError was raised";
  } catch (const FileError& error) {
    EXPECT_EQ(error.Kind(), FileErrorKind::FolderNotFound);
  }
  EXPECT_EQ(Placement.Stretch, (FileStretch{0, 16, true}));
  EXPECT_TRUE(ImageChangedSinceSaved());
  EXPECT_FALSE(std::filesystem::exists("sub"));
}

// --length that ends inside a line: S writes back what was loaded, unless a byte was typed past
// it or the range grew past its line; a file that ends there still gets the whole line.
TEST_F(EditedFile, ALengthThatCutsALineIsSavedAsLoaded) {
  const Bytes file = Counting(32);
  const auto with = [&file](std::size_t from, Bytes middle, std::size_t rest) {
    Bytes bytes(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(from));
    bytes.insert(bytes.end(), middle.begin(), middle.end());
    bytes.insert(bytes.end(), file.end() - static_cast<std::ptrdiff_t>(rest), file.end());
    return bytes;
  };
  const auto join = [](Bytes first, const Bytes& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
  };
  const Bytes typedOn = {0xEE, 85, 92, 99, 106, 113, 120, 127};           // 8003 to 800A, as saved
  const Bytes typedToLineEnd = join(typedOn, {134, 141, 148, 155, 162});  // 8003 to 800F
  const struct {
    std::size_t fileSize;
    std::uint64_t offset;
    std::uint64_t length;
    std::int32_t typedAt;  // 0x8003 (a loaded byte) or past the loaded end
    std::int32_t moreLines;
    std::vector<std::uint64_t> asked;  // RestBytes, NewFileSize of the move asked about
    Bytes saved;                       // the whole file afterwards
  } cases[] = {
      // file bytes 8 to 18 loaded at 8000 to 800A, one changed: 32 bytes stay 32
      {32, 8, 0x0B, 0x8003, 0, {}, with(11, {0xEE}, 20)},
      {32, 8, 0x10, 0x8003, 0, {}, with(11, {0xEE}, 20)},
      {32, 0, 0x0D, 0x8003, 0, {}, with(3, {0xEE}, 28)},
      // typed into the cut line: the whole line goes in, the 13 bytes after it move up 5
      {32, 8, 0x0B, 0x800B, 0, {13, 37}, with(19, {0xEE, 0, 0, 0, 0}, 13)},
      {32, 8, 0x0B, 0x800F, 0, {13, 37}, with(19, {0, 0, 0, 0, 0xEE}, 13)},
      // the range grown by a line: that line goes in too
      {32, 8, 0x0B, 0x8003, 1, {13, 45}, with(11, join(typedOn, Bytes(13)), 13)},
      {32, 8, 0x10, 0x8003, 1, {8, 40}, with(11, join(typedToLineEnd, Bytes(8)), 8)},
      // a file that ends with the loaded bytes, or a short file loaded whole: whole lines
      {19, 8, 0x0B, 0x8003, 0, {}, with(11, join(typedOn, Bytes(5)), 0)},
      {5, 0, 0x3FFF, 0x8003, 0, {}, {1, 8, 15, 0xEE, 29, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.fileSize << " bytes, " << c.length << " from "
                                      << c.offset << ", typed at " << std::hex << c.typedAt);
    Put("f.bin", Bytes(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(c.fileSize)));
    LoadStartImage({"8000", "f.bin", c.offset, c.length, std::nullopt, std::nullopt, false});
    Range.EndLine += c.moreLines;
    BeginChange({c.typedAt / kLineBytes, 0});
    NoteByte(c.typedAt);
    Image[c.typedAt] = 0xEE;
    EndChange();
    std::vector<std::uint64_t> asked;
    const auto ask = [&asked](const SaveConcern& concern) {
      asked.insert(asked.end(), {concern.RestBytes, concern.NewFileSize});
      return true;
    };
    EXPECT_TRUE(SaveRange(ask));
    EXPECT_EQ(asked, c.asked);
    EXPECT_EQ(lbe::testing::GetFile("f.bin"), c.saved);
    // The next save replaces what this one wrote: nothing moves, nothing is asked.
    asked.clear();
    Image[0x8000] = 0x77;
    EXPECT_TRUE(SaveRange(ask));
    EXPECT_EQ(asked, std::vector<std::uint64_t>{});
    Bytes again = c.saved;
    again[c.offset] = 0x77;
    EXPECT_EQ(lbe::testing::GetFile("f.bin"), again);
  }
}

}  // namespace
}  // namespace lbe::files
