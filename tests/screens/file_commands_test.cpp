#include "screens/file_commands.h"

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "console/key_codes.h"
#include "files/edited_file.h"
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
  static Bytes ImageBytes(std::int32_t from, std::int32_t count) {
    return Bytes(Image.Bytes.begin() + from, Image.Bytes.begin() + from + count);
  }
  // Saves with a name already set, and presses a key for "Press any key...".
  bool Save() {
    screen.PressKey('X');
    return Run(SaveCommand);
  }

  lbe::testing::TemporaryWorkingFolder folder_;
};

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

// F takes the name of a folder, which loads nothing; S then says why it cannot write there.
TEST_F(FileCommands, FileNameOfAFolderIsTakenAndSaveSaysWhyItFails) {
  fs::create_directory("dir");
  screen.TypeLine("dir");
  EXPECT_TRUE(Run(FileNameCommand));
  EXPECT_EQ(CurrentFileName, "dir");
  EXPECT_EQ(Row(2), "");
  EXPECT_TRUE(Save());
  EXPECT_EQ(MessageAbovePressAnyKey(1), WithoutBlanks("ファイル \"" + Full("dir") +
                                                      "\" を作成できません。Is a directory[dir]"));
}

// A file that cannot be read must not stop the program after F, and must not become the name
// that the next S overwrites.
TEST_F(FileCommands, FileNameThatCannotBeLoadedKeepsEverything) {
  CurrentFileName = "good.bin";
  ASSERT_EQ(::mkfifo("pipe", 0644), 0);
  screen.TypeLine("pipe");
  screen.PressKey('X');
  EXPECT_TRUE(Run(FileNameCommand));
  EXPECT_EQ(Row(1), "FileName:pipe");
  EXPECT_EQ(
      MessageAbovePressAnyKey(2),
      WithoutBlanks("ファイル " + Full("pipe") + " は開けません。 Operation not supported [pipe]"));
  EXPECT_EQ(CurrentFileName, "good.bin");
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

// A save that would move the bytes after the range asks first, on two rows: Y saves, N or Esc
// leaves the file as it was and returns at once; other keys are not an answer.
TEST_F(FileCommands, ASaveThatMovesTheRestAsksFirst) {
  const struct {
    std::string_view answers;
    std::string row3;
    Bytes saved;
  } cases[] = {
      {"QY", "File rest.bin has been saved.", {0xEE, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9}},
      {"QN", "", Bytes(20, 9)},
      {"\x1b", "", Bytes(20, 9)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answers);
    Put("rest.bin", Bytes(20, 9));
    CurrentFileName = "rest.bin";
    Placement.Length = 16;  // 4 bytes after what is loaded
    LoadFile();
    Range.EndLine = 0;
    Image[0] = 0xEE;
    for (const char answer : c.answers) {
      screen.PressKey(answer == '\x1b' ? console::Vk::Escape
                                       : static_cast<console::KeyCode>(answer));
    }
    if (!c.row3.empty()) {
      screen.PressKey('X');  // for "Press any key..."
    }
    EXPECT_TRUE(Run(SaveCommand));
    EXPECT_EQ(Row(1), "This save moves the 4 bytes after the range;");
    EXPECT_EQ(Row(2), "the file becomes 12 bytes. Save anyway? (Y/N)");
    EXPECT_EQ(Row(3), c.row3);
    EXPECT_EQ(Get("rest.bin"), c.saved);
  }
}

// A load's notice stands on a screen of its own, a row a line, until a key is pressed; no
// notice, no screen.
TEST_F(FileCommands, ALoadNoticeWaitsForAKey) {
  EXPECT_TRUE(Run([] { ShowLoadNotice(""); }));
  EXPECT_EQ(Row(1), "");
  screen.PressKey('X');
  EXPECT_TRUE(Run([] {
    ShowLoadNotice("The last save of rom.bin was interrupted.\nThe file has been put back.");
  }));
  EXPECT_EQ(Row(1), "The last save of rom.bin was interrupted.");
  EXPECT_EQ(Row(2), "The file has been put back.");
  EXPECT_EQ(Row(3), "Press any key...");
}

}  // namespace
}  // namespace lbe::screens
