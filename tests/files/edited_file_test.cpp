#include "files/edited_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <vector>

#include "files/file_layer.h"
#include "files/rescue_copy.h"
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

TEST_F(EditedFile, LoadErrorReachesTheCaller) {
  ASSERT_EQ(::mkfifo("pipe", 0644), 0);
  CurrentFileName = "pipe";
  Range.EndLine = 3;
  try {
    LoadFile();
    ADD_FAILURE() << "no FileError was raised";
  } catch (const FileError& error) {
    EXPECT_EQ(error.Kind(), FileErrorKind::EInOutError);
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
    EXPECT_EQ(error.Kind(), FileErrorKind::EDirectoryNotFoundException);
  }
  EXPECT_EQ(Placement.Stretch, (FileStretch{0, 16, true}));
  EXPECT_TRUE(ImageChangedSinceSaved());
  EXPECT_FALSE(std::filesystem::exists("sub"));
}

}  // namespace
}  // namespace lbe::files
