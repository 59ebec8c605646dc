#include "files/rescue_copy.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "files/edited_file.h"
#include "image/memory_image.h"
#include "screens/program.h"
#include "temp_folder.h"

namespace lbe::files {
using namespace image;  // the image the files are loaded into
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class RescueCopyTest : public ::testing::Test {
 protected:
  void SetUp() override { screens::ResetProgramState(); }
  lbe::testing::TemporaryWorkingFolder folder_;
};

TEST_F(RescueCopyTest, ChangesAreSeenInBytesAndInTheRange) {
  MarkImageSaved();
  EXPECT_FALSE(ImageChangedSinceSaved());
  Image[0xFFFF] = 1;
  EXPECT_TRUE(ImageChangedSinceSaved());
  MarkImageSaved();
  EXPECT_FALSE(ImageChangedSinceSaved());
  Range.EndLine = 5;  // T or a move down: Save would write more
  EXPECT_TRUE(ImageChangedSinceSaved());
  MarkImageSaved();
  // The top bit of two 8-byte words: changes that a word-wise multiply-and-xor would cancel.
  Image[0x0007] = 0x80;
  Image[0x000F] = 0x80;
  EXPECT_TRUE(ImageChangedSinceSaved());
}

TEST_F(RescueCopyTest, NamesNeverReuseAnExistingFile) {
  EXPECT_EQ(RescueFileName("rom.bin", 0), "rom.bin.lbe-rescue");
  EXPECT_EQ(RescueFileName("rom.bin", 2), "rom.bin.lbe-rescue.2");
  EXPECT_EQ(RescueFileName("", 0), "lbe-rescue.bin");

  CurrentFileName = "rom.bin";
  SetStartAddress(0x0100);
  Range.EndLine = 0x21;
  Image[0x0100] = 0xAA;
  Image[0x010F] = 0xBB;
  std::ofstream("rom.bin.lbe-rescue") << "older rescue";
  EXPECT_EQ(WriteRescueCopy(CurrentFileName, RangeBytes()), "rom.bin.lbe-rescue.1");
  EXPECT_EQ(ReadFile("rom.bin.lbe-rescue"), "older rescue");
  EXPECT_EQ(ReadFile("rom.bin.lbe-rescue.1"),
            std::string("\xAA\0\0\0\0\0\0\0\0\0\0\0\0\0\0\xBB", 16));
}

TEST_F(RescueCopyTest, WithoutANameItGoesToTheWorkingFolder) {
  EXPECT_EQ(WriteRescueCopy(CurrentFileName, RangeBytes()), "lbe-rescue.bin");
  EXPECT_EQ(ReadFile("lbe-rescue.bin"), std::string(8, '\0'));
}

TEST_F(RescueCopyTest, FolderThatTakesNoFileFallsBackToTheWorkingFolder) {
  CurrentFileName = "missing-folder/rom.bin";
  EXPECT_EQ(WriteRescueCopy(CurrentFileName, RangeBytes()), "lbe-rescue.bin");
  EXPECT_TRUE(fs::exists("lbe-rescue.bin"));
}

}  // namespace
}  // namespace lbe::files

namespace lbe::files {
namespace {

TEST_F(RescueCopyTest, LoadingCountsAsSaved) {
  std::ofstream("rom.bin", std::ios::binary) << "12345";
  CurrentFileName = "rom.bin";
  Image[0] = 0xEE;
  MarkImageSaved();
  Image[0] = 0x11;
  ASSERT_TRUE(ImageChangedSinceSaved());
  LoadFile();
  EXPECT_EQ(Image[0], '1');
  EXPECT_FALSE(ImageChangedSinceSaved());
}

}  // namespace
}  // namespace lbe::files
