#include "files/edited_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

#include "files/file_layer.h"
#include "files/rescue_copy.h"
#include "image/edit_history.h"
#include "image/memory_image.h"
#include "interrupted_save.h"
#include "screens/program.h"
#include "temp_folder.h"

namespace lbe::files {
using namespace image;  // the image the files are loaded into
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// Load and save without a screen, with real files in a fresh temporary folder that is also the
// current directory.
class EditedFile : public ::testing::Test {
 protected:
  void SetUp() override { screens::ResetProgramState(); }
  static void Put(const std::string& name, const Bytes& bytes) {
    lbe::testing::PutFile(name, bytes);
  }
  static Bytes Get(const std::string& name) { return lbe::testing::GetFile(name); }
  static Bytes ImageBytes(std::int32_t from, std::int32_t count) {
    return Bytes(Image.Bytes.begin() + from, Image.Bytes.begin() + from + count);
  }
  // The FileError that `action` throws; fails the test when it throws none.
  template <typename Action>
  static FileError FailureOf(Action&& action) {
    try {
      action();
    } catch (const FileError& error) {
      return error;
    }
    ADD_FAILURE() << "no FileError was raised";
    return FileError(FileErrorKind::InOutError, "");
  }
  // The names in the folder: what a save left beside the file.
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder_.Path())) {
      names.push_back(entry.path().filename());
    }
    std::sort(names.begin(), names.end());
    return names;
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
  Image[0] = 0x77;
  EXPECT_EQ(FailureOf([] { LoadFile(); }).Kind(), FileErrorKind::InOutError);
  EXPECT_EQ(Range.EndLine, 3);
  EXPECT_EQ(ImageBytes(0, 2), (Bytes{0x77, 0}));
}

// A raw file's bytes go to the start address, and nothing else of the image changes; the range
// ends on the line of its last byte. A save writes that range, whole lines, in place of all the
// loaded file held: into another file, then into the file itself.
TEST_F(EditedFile, ARawLoadCopiesTheFileAndASaveWritesWholeLines) {
  const struct {
    const char* label;
    std::optional<Bytes> file;  // none: there is no such file
    std::int32_t start;
    std::uint8_t before;  // every byte of the image before the load
    std::int32_t endLine;
    Bytes saved;
  } cases[] = {
      {"five bytes", Bytes{1, 2, 3, 4, 5}, 0x0100, 0, 32, {1, 2, 3, 4, 5, 0, 0, 0}},
      {"five bytes over AA",
       Bytes{1, 2, 3, 4, 5},
       0x0100,
       0xAA,
       32,
       {1, 2, 3, 4, 5, 0xAA, 0xAA, 0xAA}},
      {"empty, at 0100", Bytes{}, 0x0100, 0x41, 31, {}},
      {"empty, at 0000", Bytes{}, 0, 0x41, -1, {}},
      {"missing", std::nullopt, 0x0200, 0x41, 0x40, Bytes(8, 0x41)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    fs::remove("data.bin");
    if (c.file) {
      Put("data.bin", *c.file);
    }
    Put("other.bin", Bytes(12, 9));
    Image.Bytes.fill(c.before);
    SetStartAddress(c.start);
    CurrentFileName = "data.bin";
    LoadFile();
    EXPECT_EQ(Range.StartAddress, c.start);
    EXPECT_EQ(Range.EndLine, c.endLine);
    Bytes loaded(11, c.before);
    const Bytes file = c.file.value_or(Bytes{});
    std::copy(file.begin(), file.end(), loaded.begin());
    EXPECT_EQ(ImageBytes(c.start, 11), loaded);
    EXPECT_EQ(Image[(c.start + 0xFFFF) & 0xFFFF], c.before) << "the byte before the start";
    for (const char* name : {"other.bin", "data.bin"}) {
      CurrentFileName = name;
      EXPECT_TRUE(SaveRange());
      EXPECT_EQ(Get(name), c.saved) << name;
    }
  }
}

// A folder by the name: nothing to load, and a save cannot create the file.
TEST_F(EditedFile, AFolderLoadsNothingAndIsNoPlaceToSave) {
  fs::create_directory("dir");
  Image[0] = 0x77;
  CurrentFileName = "dir";
  LoadFile();
  EXPECT_EQ(Range.EndLine, 0);
  EXPECT_EQ(Image[0], 0x77);
  const FileError error = FailureOf([] { SaveRange(); });
  EXPECT_EQ(error.Kind(), FileErrorKind::InOutError);
  EXPECT_EQ(std::string(error.what()),
            "ファイル \"" + folder_.Full("dir") + "\" を作成できません。Is a directory\r\n[dir]");
  EXPECT_TRUE(fs::is_directory("dir"));
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

// A save puts the range in use in place of the bytes the load read: what lies beyond the space
// stays, whatever A, T or an edit did to the range; it asks first when that moves the rest, and a
// second save replaces what the first wrote.
TEST_F(EditedFile, ALongFileKeepsWhatWasNotLoaded) {
  const Bytes data = Counting(70000);
  // The file with `edited` at `at` from the start address: from..to of it, then what lies beyond
  // the 64 KiB space.
  const auto saved = [&data](std::size_t at, std::size_t from, std::size_t to) {
    Bytes edited = data;
    edited[at] = 0xEE;
    Bytes joined(edited.begin() + static_cast<std::ptrdiff_t>(from),
                 edited.begin() + static_cast<std::ptrdiff_t>(to));
    joined.insert(joined.end(), data.begin() + 65536, data.end());
    return joined;
  };
  Bytes hundred = Counting(100);
  hundred[7] = 0xEE;
  const struct {
    const char* label;
    std::size_t size;
    std::int32_t start;
    std::int32_t edit;                 // the address typed over with EE
    std::int32_t endLine;              // after the load; -2 keeps the loaded range
    std::int32_t newStart;             // A after the load; -1 for none
    std::vector<std::uint64_t> asked;  // RestBytes, NewFileSize of the move asked about
    Bytes expected;
  } cases[] = {
      {"whole space at 0000", 70000, 0, 0x10, -2, -1, {}, saved(0x10, 0, 65536)},
      {"at 0100", 70000, 0x0100, 0x0110, -2, -1, {}, saved(0x10, 0, 65536)},
      {"T cut the range to 10 lines", 70000, 0, 0x10, 9, -1, {4464, 4544}, saved(0x10, 0, 80)},
      {"A moved the start", 70000, 0, 0x10, -2, 0x0200, {4464, 4472}, saved(0x10, 0x200, 0x208)},
      {"a line at FFF8", 100, 0xFFF8, 0xFFFF, -2, -1, {}, hundred},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Put("long.bin", Counting(c.size));
    Image = {};
    SetStartAddress(c.start);
    CurrentFileName = "long.bin";
    LoadFile();
    EXPECT_EQ(Range.EndLine, 8191);
    EXPECT_EQ(ImageBytes(c.start, 4), (Bytes{1, 8, 15, 22}));
    Image[c.edit] = 0xEE;
    if (c.endLine != -2) {
      Range.EndLine = c.endLine;
    }
    if (c.newStart >= 0) {
      SetStartAddress(c.newStart);
    }
    std::vector<std::uint64_t> asked;
    const auto ask = [&asked](const SaveConcern& concern) {
      EXPECT_EQ(concern.What, SaveConcern::MovesRest);
      asked.insert(asked.end(), {concern.RestBytes, concern.NewFileSize});
      return true;
    };
    EXPECT_TRUE(SaveRange(ask));
    EXPECT_EQ(asked, c.asked);
    EXPECT_EQ(Get("long.bin"), c.expected);
    asked.clear();
    EXPECT_TRUE(SaveRange(ask));
    EXPECT_EQ(asked, std::vector<std::uint64_t>{});
    EXPECT_EQ(Get("long.bin"), c.expected);
  }
}

// A window from --offset: any byte of the file at the start address; at or beyond the end it
// loads nothing, and a save puts the range there with zeros before it.
TEST_F(EditedFile, OffsetLoadsAndSavesAWindow) {
  const Bytes data = Counting(0x100);
  const auto withLine = [](Bytes bytes, std::size_t at, std::uint8_t first) {
    bytes.resize(std::max(bytes.size(), at + 8));
    bytes[at] = first;
    return bytes;
  };
  Bytes fromThree = data;
  fromThree[3] = 0x77;
  fromThree.resize(0x103);  // whole lines: 253 bytes come back as 256
  const struct {
    std::uint64_t offset;
    bool exists;
    std::int32_t endLine;
    std::uint8_t firstLoaded;
    Bytes expected;  // after writing 77 at the start address, the range at least one line
  } cases[] = {
      {0, true, 31, 0x01, withLine(data, 0, 0x77)},
      {3, true, 31, data[3], fromThree},
      {0x100, true, -1, 0, withLine(data, 0x100, 0x77)},
      {0x200, true, -1, 0, withLine(withLine(data, 0x1F8, 0), 0x200, 0x77)},
      {0x10, false, 0, 0, withLine(Bytes(0x10), 0x10, 0x77)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.offset);
    fs::remove("window.bin");
    if (c.exists) {
      Put("window.bin", data);
    }
    Image = {};
    SetStartAddress(0);
    Placement.Offset = c.offset;
    CurrentFileName = "window.bin";
    LoadFile();
    EXPECT_EQ(Range.EndLine, c.endLine);
    EXPECT_EQ(Image[0], c.firstLoaded);
    Image[0] = 0x77;
    Range.EndLine = std::max(Range.EndLine, 0);
    EXPECT_TRUE(SaveRange());
    EXPECT_EQ(Get("window.bin"), c.expected);
  }
}

// Files of any size: a 64 KiB window of a sparse 1 GiB or 4 GiB file is loaded from an offset
// and saved in place; the bytes around it stay, and the save costs no copy of the file.
TEST_F(EditedFile, LargeSparseFilesArePatchedInPlace) {
  constexpr std::uint64_t kGiB = std::uint64_t{1} << 30;
  const struct {
    std::uint64_t size;
    std::uint64_t offset;
    std::int32_t endLine;
  } cases[] = {
      {kGiB, 0, 8191},
      {kGiB, 0x20000008, 8191},
      {kGiB, kGiB - 0x100, 31},
      {4 * kGiB, 0, 8191},
      {4 * kGiB, 0x80000000, 8191},
      {4 * kGiB, 0xFFFF0000, 8191},
      {4 * kGiB, 4 * kGiB - 0x8000, 4095},
      {4 * kGiB, 4 * kGiB, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << std::hex << c.size << " from " << c.offset);
    const int fd = ::open("big.bin", O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(c.size)), 0);
    // Marks at the file's ends and on both sides of the window.
    std::vector<std::uint64_t> marks{0, c.size - 8, c.offset + 0x10000};
    if (c.offset >= 8) {
      marks.push_back(c.offset - 8);
    }
    std::erase_if(marks, [&c](std::uint64_t at) { return at + 8 > c.size; });
    for (std::uint64_t at : marks) {
      const std::uint64_t mark = at ^ 0x5AA5F00F12345678u;
      ASSERT_EQ(::pwrite(fd, &mark, 8, static_cast<off_t>(at)), 8);
    }
    Image = {};
    SetStartAddress(0);
    Placement.Offset = c.offset;
    CurrentFileName = "big.bin";
    LoadFile();
    EXPECT_EQ(Range.EndLine, c.endLine);
    Range.EndLine = std::max(Range.EndLine, 2);
    Image[0x12] = 0x5A;
    EXPECT_TRUE(SaveRange());
    struct stat info {};
    ASSERT_EQ(::fstat(fd, &info), 0);
    EXPECT_EQ(static_cast<std::uint64_t>(info.st_size), std::max(c.size, c.offset + 24));
    EXPECT_LT(info.st_blocks * 512, 1 << 20);
    std::uint8_t patched = 0;
    ASSERT_EQ(::pread(fd, &patched, 1, static_cast<off_t>(c.offset + 0x12)), 1);
    EXPECT_EQ(patched, 0x5A);
    for (std::uint64_t at : marks) {
      std::uint64_t mark = 0;
      ASSERT_EQ(::pread(fd, &mark, 8, static_cast<off_t>(at)), 8);
      EXPECT_EQ(mark, at ^ 0x5AA5F00F12345678u) << "mark at " << at;
    }
    ::close(fd);
    EXPECT_EQ(Names(), (std::vector<std::string>{"big.bin", "state"}));
    EXPECT_TRUE(fs::is_empty("state/lbe"));
  }
}

// The size limit stops the save before the file is touched; no journal stays behind.
TEST_F(EditedFile, ASaveStoppedByTheSizeLimitKeepsTheFormerFile) {
  Put("keep.bin", {1, 2, 3});
  CurrentFileName = "keep.bin";
  Range.EndLine = 8191;
  rlimit former{};
  ::getrlimit(RLIMIT_FSIZE, &former);
  rlimit small = former;
  small.rlim_cur = 1024;
  const auto formerHandler = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const FileError error = FailureOf([] { SaveRange(); });
  ::setrlimit(RLIMIT_FSIZE, &former);
  std::signal(SIGXFSZ, formerHandler);
  EXPECT_EQ(std::string(error.what()), "システム エラー。コード: 27。\r\nFile too large");
  EXPECT_EQ(Get("keep.bin"), (Bytes{1, 2, 3}));
  EXPECT_EQ(Names(), (std::vector<std::string>{"keep.bin", "state"}));
  EXPECT_TRUE(fs::is_empty("state/lbe"));
  EXPECT_TRUE(ImageChangedSinceSaved());
}

// A save killed after it began to change the file leaves its journal: the next load puts the
// file back first, loads it and says so; a load without a journal has nothing to say.
TEST_F(EditedFile, AnInterruptedSaveIsPutBackOnTheNextLoad) {
  using lbe::testing::kFormer;
  Put("rom.bin", kFormer);
  lbe::testing::InterruptSave("rom.bin", lbe::testing::kAcross, lbe::testing::kNew,
                              lbe::testing::HalfSaved());
  ASSERT_NE(Get("rom.bin"), kFormer);
  CurrentFileName = "rom.bin";
  EXPECT_EQ(LoadFile().Notice,
            "The last save of rom.bin was interrupted.\n"
            "The file has been put back as it was before that save.");
  EXPECT_EQ(Get("rom.bin"), kFormer);
  EXPECT_EQ(ImageBytes(4092, 8), Bytes(8, 0x5A));
  EXPECT_EQ(Range.EndLine, 1023);
  EXPECT_TRUE(fs::is_empty("state/lbe"));
  EXPECT_EQ(LoadFile().Notice, "");
}

}  // namespace
}  // namespace lbe::files
