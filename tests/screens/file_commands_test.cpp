#include "screens/file_commands.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "files/edited_file.h"
#include "files/file_layer.h"
#include "files/test_hooks.h"
#include "image/memory_image.h"
#include "scenario.h"
#include "temp_folder.h"

namespace lbe::screens {
namespace {

using namespace image;
using namespace files;
namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// The F and S screens on the emulated console, with real files in a fresh temporary folder
// that is also the current directory.
class FileCommands : public lbe::testing::ScenarioTest {
 protected:
  std::string Full(const std::string& name) const { return folder_.Full(name); }

  // The first row at or below `from` that reads `text`, 0 when none does.
  int RowReading(int from, std::string_view text) const {
    for (int row = from; row <= screen.Height(); ++row) {
      if (Row(row) == text) {
        return row;
      }
    }
    return 0;
  }
  // The rows from `first` down to "Press any key..." joined, blanks left out: where a full path
  // wraps, and so where its path line is cut at the window's edge, depends on where the
  // temporary folder lies. Empty when no "Press any key..." follows.
  std::string MessageAbovePressAnyKey(int first) const {
    const int press = RowReading(first, "Press any key...");
    std::string text;
    for (int row = first; row > 0 && row < press; ++row) {
      text += screen.RowText(row - 1);
    }
    std::erase(text, ' ');
    return text;
  }
  static std::string WithoutBlanks(std::string text) {
    std::erase(text, ' ');
    return text;
  }
  static void Put(const std::string& name, const Bytes& bytes) {
    lbe::testing::PutFile(name, bytes);
  }
  static Bytes Get(const std::string& name) { return lbe::testing::GetFile(name); }
  static Bytes Counting(std::size_t count) {
    Bytes bytes(count);
    for (std::size_t i = 0; i < count; ++i) {
      bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
    }
    return bytes;
  }
  static Bytes ImageBytes(std::int32_t from, std::int32_t count) {
    return Bytes(Image.Bytes.begin() + from, Image.Bytes.begin() + from + count);
  }
  // Saves with a name already set, answers its questions with `answers`, and "Press any key...".
  bool Save(std::string_view answers = "") {
    for (const char answer : answers) {
      screen.PressKey(static_cast<console::KeyCode>(answer));
    }
    screen.PressKey('X');
    return Run(SaveCommand);
  }

  lbe::testing::TemporaryWorkingFolder folder_;
};

TEST_F(FileCommands, FiveBytesLoadAsOneLineAndSaveAsEight) {
  Put("five.bin", {1, 2, 3, 4, 5});
  SetStartAddress(0x0100);
  CurrentFileName = "five.bin";
  LoadFile();
  EXPECT_EQ(Range.StartAddress, 0x0100);
  EXPECT_EQ(Range.EndLine, 32);
  EXPECT_EQ(ImageBytes(0x00FF, 10), (Bytes{0, 1, 2, 3, 4, 5, 0, 0, 0, 0}));
  EXPECT_TRUE(Save());
  EXPECT_EQ(Get("five.bin"), (Bytes{1, 2, 3, 4, 5, 0, 0, 0}));
  EXPECT_EQ(Row(1), "File five.bin has been saved.");
  EXPECT_EQ(Row(2), "Press any key...");
  EXPECT_EQ(Row(3), "");
}

// Loading copies only the file's bytes: what the image had behind them is saved with them.
TEST_F(FileCommands, LoadLeavesTheRestOfTheImageAlone) {
  Image.Bytes.fill(0xAA);
  Put("five.bin", {1, 2, 3, 4, 5});
  SetStartAddress(0x0100);
  CurrentFileName = "five.bin";
  LoadFile();
  EXPECT_EQ(ImageBytes(0x00FE, 12),
            (Bytes{0xAA, 0xAA, 1, 2, 3, 4, 5, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}));
  EXPECT_TRUE(Save());
  EXPECT_EQ(Get("five.bin"), (Bytes{1, 2, 3, 4, 5, 0xAA, 0xAA, 0xAA}));
}

TEST_F(FileCommands, AnEmptyFileEndsTheRangeBeforeItsStart) {
  Put("empty.bin", {});
  SetStartAddress(0x0100);
  CurrentFileName = "empty.bin";
  LoadFile();
  EXPECT_EQ(Range.EndLine, 31);
  Put("other.bin", {9, 9});
  CurrentFileName = "other.bin";
  EXPECT_TRUE(Save());  // writes the empty range over the two bytes
  EXPECT_EQ(Get("other.bin"), Bytes{});
  EXPECT_EQ(Row(1), "File other.bin has been saved.");

  SetStartAddress(0);
  CurrentFileName = "empty.bin";
  LoadFile();
  EXPECT_EQ(Range.EndLine, -1);
  EXPECT_TRUE(Save());
  EXPECT_EQ(Get("empty.bin"), Bytes{});
}

// A save puts the range in use in place of the bytes the load read: what lies beyond the
// space stays, whatever A, T or an edit did to the range, and a second save changes nothing.
TEST_F(FileCommands, ALongFileKeepsWhatWasNotLoaded) {
  const Bytes data = Counting(70000);
  Bytes edited = data;
  edited[0x10] = 0xEE;
  // The range's bytes from `a`, then what lies beyond the 64 KiB space in `b`.
  const auto join = [](const Bytes& a, std::size_t from, std::size_t to, const Bytes& b) {
    Bytes joined(to - from + (b.size() - 65536));
    std::copy(a.begin() + from, a.begin() + to, joined.begin());
    std::copy(b.begin() + 65536, b.end(), joined.begin() + (to - from));
    return joined;
  };
  const struct {
    std::string label;
    std::int32_t start;
    std::int32_t endLine;   // after the load and edit; -2 keeps the loaded range
    std::int32_t newStart;  // the A command after the load; -1 for none
    Bytes expected;
    std::string question;  // second row of the question about moving the rest, answered Y
  } cases[] = {
      {"whole space at 0000", 0, -2, -1, edited, ""},
      {"at 0100", 0x0100, -2, -1, edited, ""},
      {"T cut the range to 10 lines", 0, 9, -1, join(edited, 0, 80, data),
       "the file becomes 4544 bytes. Save anyway? (Y/N)"},
      {"A moved the start", 0, -2, 0x0200, join(edited, 0x200, 0x208, data),
       "the file becomes 4472 bytes. Save anyway? (Y/N)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Put("long.bin", data);
    Image = {};
    SetStartAddress(c.start);
    CurrentFileName = "long.bin";
    LoadFile();
    EXPECT_EQ(Range.EndLine, 8191);
    EXPECT_EQ(ImageBytes(c.start, 4), (Bytes{1, 8, 15, 22}));
    Image[0x0010 + c.start] = 0xEE;
    if (c.endLine != -2) {
      Range.EndLine = c.endLine;
    }
    if (c.newStart >= 0) {
      SetStartAddress(c.newStart);
    }
    EXPECT_TRUE(Save(c.question.empty() ? "" : "Y"));
    if (c.question.empty()) {
      EXPECT_EQ(Row(1), "File long.bin has been saved.");
    } else {
      EXPECT_EQ(Row(1), "This save moves the 4464 bytes after the range;");
      EXPECT_EQ(Row(2), c.question);
      EXPECT_EQ(Row(3), "File long.bin has been saved.");
    }
    EXPECT_EQ(Get("long.bin"), c.expected);
    EXPECT_TRUE(Save());  // the stretch is now the one just written
    EXPECT_EQ(Get("long.bin"), c.expected);
  }

  Put("hundred.bin", Counting(100));
  SetStartAddress(0xFFF8);
  CurrentFileName = "hundred.bin";
  LoadFile();
  EXPECT_EQ(Range.EndLine, 8191);
  EXPECT_EQ(ImageBytes(0xFFF8, 8), (Bytes{1, 8, 15, 22, 29, 36, 43, 50}));
  Image[0xFFFF] = 0;
  EXPECT_TRUE(Save());
  Bytes hundred = Counting(100);
  hundred[7] = 0;
  EXPECT_EQ(Get("hundred.bin"), hundred);
}

// A window from --offset: any byte of the file at the start address; at or beyond the end it
// loads nothing, and a save puts the range there with zeros before it.
TEST_F(FileCommands, OffsetLoadsAndSavesAWindow) {
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
    std::filesystem::remove("window.bin");
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
    EXPECT_TRUE(Save());
    EXPECT_EQ(Get("window.bin"), c.expected);
  }
}

TEST_F(FileCommands, AMissingFileIsCreatedBySave) {
  SetStartAddress(0x0200);
  Image[0x0200] = 0x41;
  CurrentFileName = "new.bin";
  LoadFile();
  EXPECT_EQ(Range.EndLine, 0x40);
  EXPECT_TRUE(Save());
  EXPECT_EQ(Get("new.bin"), (Bytes{0x41, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Row(1), "File new.bin has been saved.");
}

TEST_F(FileCommands, SaveShowsTheWholeNameAsStored) {
  fs::create_directory("data");
  CurrentFileName = "data/rom.bin";
  EXPECT_TRUE(Save());
  EXPECT_EQ(Row(1), "File data/rom.bin has been saved.");
  CurrentFileName = "del\x7f.bin";
  EXPECT_TRUE(Save());
  EXPECT_EQ(Row(1), "File del?.bin has been saved.");
  EXPECT_TRUE(fs::exists("del\x7f.bin"));
}

TEST_F(FileCommands, FileNameIsTrimmedAndLoaded) {
  Put("data.bin", {0x11, 0x22});
  screen.TypeLine("   data.bin  ");
  EXPECT_TRUE(Run(FileNameCommand));
  EXPECT_EQ(CurrentFileName, "data.bin");
  EXPECT_EQ(ImageBytes(0, 3), (Bytes{0x11, 0x22, 0}));
  EXPECT_EQ(Range.EndLine, 0);
  EXPECT_EQ(Row(1), "FileName:   data.bin");
  EXPECT_EQ(Row(2), "");
}

TEST_F(FileCommands, FileNameWithAnEmptyLineChangesNothing) {
  Put("data.bin", {0x11});
  CurrentFileName = "keep.bin";
  Range.EndLine = 5;
  screen.TypeLine("");
  EXPECT_TRUE(Run(FileNameCommand));
  EXPECT_EQ(CurrentFileName, "keep.bin");
  EXPECT_EQ(Range.EndLine, 5);

  // A line of blanks leaves no name at all; the next S asks for one.
  screen.TypeLine("    ");
  EXPECT_TRUE(Run(FileNameCommand));
  EXPECT_EQ(CurrentFileName, "");
  EXPECT_EQ(Range.EndLine, 5);
  screen.TypeLine("");
  EXPECT_TRUE(Run(SaveCommand));
  EXPECT_EQ(Row(1), "FileName:");
}

TEST_F(FileCommands, FileNameOfAMissingFileOrADirectoryLoadsNothing) {
  fs::create_directory("dir");
  Image[0] = 0x77;
  screen.TypeLine("dir");
  EXPECT_TRUE(Run(FileNameCommand));
  EXPECT_EQ(CurrentFileName, "dir");
  EXPECT_EQ(Range.EndLine, 0);
  EXPECT_EQ(Image[0], 0x77);
  EXPECT_TRUE(Save());
  EXPECT_EQ(MessageAbovePressAnyKey(1), WithoutBlanks("ファイル \"" + Full("dir") +
                                                      "\" を作成できません。Is a directory[dir]"));

  screen.TypeLine("later.bin");
  EXPECT_TRUE(Run(FileNameCommand));
  EXPECT_EQ(CurrentFileName, "later.bin");
  EXPECT_TRUE(Save());
  EXPECT_EQ(Get("later.bin"), (Bytes{0x77, 0, 0, 0, 0, 0, 0, 0}));
}

// A file that cannot be read must not stop the program after F, and must not become the name
// that the next S overwrites.
TEST_F(FileCommands, FileNameThatCannotBeLoadedKeepsEverything) {
  Put("good.bin", {1, 2, 3});
  CurrentFileName = "good.bin";
  LoadFile();
  ASSERT_EQ(::mkfifo("pipe", 0644), 0);
  screen.TypeLine("pipe");
  screen.PressKey('X');
  EXPECT_TRUE(Run(FileNameCommand));
  EXPECT_EQ(Row(1), "FileName:pipe");
  EXPECT_EQ(
      MessageAbovePressAnyKey(2),
      WithoutBlanks("ファイル " + Full("pipe") + " は開けません。 Operation not supported [pipe]"));
  EXPECT_EQ(CurrentFileName, "good.bin");
  EXPECT_EQ(Range.EndLine, 0);
  EXPECT_EQ(ImageBytes(0, 4), (Bytes{1, 2, 3, 0}));
  EXPECT_TRUE(fs::is_fifo("pipe"));
}

TEST_F(FileCommands, SaveWithoutANameAsksForOne) {
  Image[0] = 0x5A;
  screen.TypeLine("asked.bin");
  screen.PressKey('X');
  EXPECT_TRUE(Run(SaveCommand));
  EXPECT_EQ(Row(1), "FileName:asked.bin");
  EXPECT_EQ(Row(2), "File asked.bin has been saved.");
  EXPECT_EQ(Row(3), "Press any key...");
  EXPECT_EQ(CurrentFileName, "asked.bin");
  EXPECT_EQ(Get("asked.bin"), (Bytes{0x5A, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(FileCommands, SaveAnsweredWithAnEmptyLineReturnsAtOnce) {
  screen.TypeLine("");
  EXPECT_TRUE(Run(SaveCommand));  // no key was queued, so it waited for none
  EXPECT_EQ(Row(1), "FileName:");
  EXPECT_EQ(Row(2), "");
  EXPECT_EQ(CurrentFileName, "");
}

TEST_F(FileCommands, SaveAnsweredWithABlankFailsAgainWithoutAsking) {
  screen.TypeLine(" ");
  screen.PressKey('X');
  EXPECT_TRUE(Run(SaveCommand));
  EXPECT_EQ(Row(1), "FileName:");
  EXPECT_EQ(Row(2), "パスが空です");
  EXPECT_EQ(Row(3), "Press any key...");
  EXPECT_EQ(CurrentFileName, " ");
  EXPECT_TRUE(Save());
  EXPECT_EQ(Row(1), "パスが空です");
  EXPECT_EQ(Row(2), "Press any key...");
}

TEST_F(FileCommands, SaveShowsPathErrorsAboveTheWait) {
  const struct {
    std::string name;
    std::vector<std::string> rows;
  } cases[] = {
      {"sub/x.bin", {"指定されたパスが見つかりません", "[sub/x.bin]", "Press any key..."}},
      {"ab:c", {"パスの形式がサポートされていません", "Press any key...", ""}},
      {"a?b", {"パスに無効な文字が含まれています", "[a?b]", "Press any key..."}},
      {"a*b", {"パスに無効な文字が含まれています", "[a*b]", "Press any key..."}},
      {"su\x7f"
       "b/x",
       {"指定されたパスが見つかりません", "[su?b/x]", "Press any key..."}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CurrentFileName = c.name;
    EXPECT_TRUE(Save());
    EXPECT_EQ(Row(1), c.rows[0]);
    EXPECT_EQ(Row(2), c.rows[1]);
    EXPECT_EQ(Row(3), c.rows[2]);
    EXPECT_EQ(CurrentFileName, c.name);
  }
  EXPECT_TRUE(fs::is_empty(folder_.Path()));
}

TEST_F(FileCommands, SaveWaitsForAKeyAfterItsResult) {
  CurrentFileName = "x.bin";
  EXPECT_FALSE(Run(SaveCommand));
  EXPECT_EQ(Row(2), "Press any key...");
  EXPECT_EQ(CursorRow(), 3);
  EXPECT_EQ(CursorColumn(), 1);
}

// A name longer than the window wraps the success line; the wait stands below it.
TEST_F(FileCommands, ALongNameWrapsTheResultLine) {
  const std::string name(90, 'n');
  CurrentFileName = name;
  EXPECT_TRUE(Save());
  EXPECT_EQ(Row(1), "File " + std::string(75, 'n'));
  EXPECT_EQ(Row(2), std::string(15, 'n') + " has been saved.");
  EXPECT_EQ(Row(3), "Press any key...");
}

// The size limit stops the save before the file is touched; the system error's line end puts
// its text on a row of its own.
TEST_F(FileCommands, SaveThatFailsKeepsTheFormerFile) {
  Put("keep.bin", {1, 2, 3});
  CurrentFileName = "keep.bin";
  Range.EndLine = 8191;
  rlimit former{};
  ::getrlimit(RLIMIT_FSIZE, &former);
  rlimit small = former;
  small.rlim_cur = 1024;
  const auto formerHandler = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool returned = Save();
  ::setrlimit(RLIMIT_FSIZE, &former);
  std::signal(SIGXFSZ, formerHandler);
  EXPECT_TRUE(returned);
  EXPECT_EQ(Row(1), "システム エラー。コード: 27。");
  EXPECT_EQ(Row(2), "File too large");
  EXPECT_EQ(Row(3), "Press any key...");
  EXPECT_EQ(Get("keep.bin"), (Bytes{1, 2, 3}));
  EXPECT_EQ(std::distance(fs::directory_iterator(folder_.Path()), fs::directory_iterator()), 2)
      << "keep.bin and the state folder";
  EXPECT_TRUE(fs::is_empty("state/lbe"));
}

// Files of any size: a 64 KiB window of a sparse 1 GiB or 4 GiB file is loaded from an offset
// and saved in place; the bytes around it stay, and the save costs no copy of the file.
TEST_F(FileCommands, LargeSparseFilesArePatchedInPlace) {
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
    EXPECT_TRUE(Save());
    EXPECT_EQ(Row(1), "File big.bin has been saved.");
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
    EXPECT_EQ(std::distance(fs::directory_iterator(folder_.Path()), fs::directory_iterator()), 2)
        << "big.bin and the state folder";
    EXPECT_TRUE(fs::is_empty("state/lbe"));
  }
}

// A save killed after it began to change the file leaves its journal: the next load puts the
// file back first, and says so on a screen of its own until a key is pressed.
TEST_F(FileCommands, AnInterruptedSaveIsPutBackOnTheNextLoad) {
  const Bytes former = Counting(16);
  Put("rom.bin", former);
  CurrentFileName = "rom.bin";
  LoadFile();
  Range.EndLine = 3;  // 32 bytes: the save lengthens the file first
  Image[0] = 0xFF;
  const pid_t child = ::fork();
  if (child == 0) {
    SetFileCallHook([&former](int, std::string_view) {
      if (Get("rom.bin") != former) {
        ::_exit(0);  // killed with the file half-written
      }
      return 0;
    });
    Placement.Stretch = ReplaceStretch("rom.bin", Placement.Stretch, ImageBytes(0, 32));
    ::_exit(1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the save was not cut short";
  ASSERT_EQ(Get("rom.bin").size(), 32u);

  Image = {};
  Range.EndLine = 0;
  const std::string notice = LoadFile().Notice;
  EXPECT_EQ(Get("rom.bin"), former);
  EXPECT_EQ(ImageBytes(0, 16), former);
  EXPECT_EQ(Range.EndLine, 1);
  EXPECT_TRUE(fs::is_empty("state/lbe"));
  screen.PressKey('X');
  EXPECT_TRUE(Run([&] { ShowLoadNotice(notice); }));
  EXPECT_EQ(Row(1), "The last save of rom.bin was interrupted.");
  EXPECT_EQ(Row(2), "The file has been put back as it was before that save.");
  EXPECT_EQ(Row(3), "Press any key...");
  // A load without a journal has nothing to say.
  EXPECT_EQ(LoadFile().Notice, "");
}

}  // namespace
}  // namespace lbe::screens
