// A new output of WriteWholeFile is whole under its name or nowhere, with a created file's mode,
// and leaves nothing else behind: no journal, no state folder, no private name. (An output that
// is there is written in place: file_layer_test.cpp.)

#include "files/new_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "files/file_journal.h"
#include "files/file_layer.h"
#include "files/test_hooks.h"
#include "files/whole_file.h"
#include "temp_folder.h"

namespace lbe::files {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// Every name in the folder and its subfolders, the state folder included.
std::vector<std::string> AllNames() {
  std::vector<std::string> names;
  for (const auto& entry : fs::recursive_directory_iterator(".")) {
    names.push_back(entry.path().lexically_relative(".").native());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Fails the `nth` run of the call named `call` with `code`; with `hidden` the unnamed open fails
// first, as on a file system that has no unnamed files, so the dot-name is taken.
void FailCall(std::string_view call, int nth, int code, bool hidden) {
  auto runs = std::make_shared<std::map<std::string, int>>();
  SetFileCallHook([=](int, std::string_view name) {
    const int run = ++(*runs)[std::string(name)];
    if (hidden && name == "open" && run == 1) {
      return EOPNOTSUPP;
    }
    return name == call && run == nth ? code : 0;
  });
}

// The text of the FileError `action` raised; "" when it raised none.
template <typename Action>
std::string ErrorOf(Action&& action) {
  try {
    action();
  } catch (const FileError& error) {
    return error.what();
  }
  return "";
}

class NewFile : public ::testing::TestWithParam<bool> {
 protected:
  void TearDown() override { SetFileCallHook(nullptr); }
  std::string CreateText(const std::string& name, std::string_view cause) const {
    return "ファイル \"" + folder_.Full(name) + "\" を作成できません。" + std::string(cause) +
           "\r\n[" + name + "]";
  }

  lbe::testing::TemporaryWorkingFolder folder_;
};

TEST_P(NewFile, IsWrittenWithNothingBesideIt) {
  FailCall("", 0, 0, GetParam());
  fs::create_directory("sub");
  fs::create_symlink("sub/later.bin", "link.bin");
  const Bytes big(100000, 0x5A);
  WriteWholeFile("new.bin", Bytes{1, 2, 3});
  WriteWholeFile("sub/big.bin", big);
  WriteWholeFile("link.bin", Bytes{4});
  WriteWholeFile("empty.bin", Bytes{});
  EXPECT_EQ(lbe::testing::GetFile("new.bin"), (Bytes{1, 2, 3}));
  EXPECT_EQ(lbe::testing::GetFile("sub/big.bin"), big);
  EXPECT_EQ(lbe::testing::GetFile("sub/later.bin"), Bytes{4});
  EXPECT_TRUE(fs::is_symlink("link.bin"));
  EXPECT_TRUE(fs::exists("empty.bin"));
  EXPECT_EQ(AllNames(), (std::vector<std::string>{"empty.bin", "link.bin", "new.bin", "sub",
                                                  "sub/big.bin", "sub/later.bin"}));
}

TEST_P(NewFile, GetsTheModeOfACreatedFile) {
  const struct {
    mode_t umask;
    unsigned mode;
  } cases[] = {{022, 0644}, {077, 0600}, {002, 0664}, {0, 0666}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.umask);
    FailCall("", 0, 0, GetParam());
    fs::remove("out.bin");
    const mode_t former = ::umask(c.umask);
    WriteWholeFile("out.bin", Bytes{1});
    EXPECT_EQ(::umask(former), c.umask);  // the write left the umask as it was
    struct stat info {};
    ASSERT_EQ(::stat("out.bin", &info), 0);
    EXPECT_EQ(info.st_mode & 07777, c.mode);
  }
}

TEST_P(NewFile, FailingHalfWayLeavesNothing) {
  const std::string writeFailed = "ストリームへの書き込みエラー: ";
  const struct {
    std::string_view call;
    int nth;
    int code;
    std::string message;
  } cases[] = {
      {"mkostemp", 1, EACCES, CreateText("out.bin", "Permission denied")},
      {"fchmod", 1, EPERM, CreateText("out.bin", "Operation not permitted")},
      {"pwrite", 2, ENOSPC, writeFailed + "No space left on device"},
      {"pwrite", 2, EFBIG, "システム エラー。コード: 27。\r\nFile too large"},
      {"fdatasync", 1, EIO, writeFailed + "Input/output error"},
      {"linkat", 1, EACCES, CreateText("out.bin", "Permission denied")},
      {"fsync", 1, EIO, writeFailed + "Input/output error"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.call) + " " + std::to_string(c.nth));
    // The first two are the dot-name's own calls: a folder that takes no new file fails the
    // unnamed open too, and only a dot-name has its mode set after it was made.
    FailCall(c.call, c.nth, c.code, GetParam() || c.call == "mkostemp" || c.call == "fchmod");
    EXPECT_EQ(ErrorOf([] { WriteWholeFile("out.bin", Bytes(100000, 0x11)); }), c.message);
    EXPECT_EQ(AllNames(), std::vector<std::string>{});
  }
}

TEST_P(NewFile, AFileThatAppearsAtTheNameIsLeftAsItWas) {
  const bool hidden = GetParam();
  auto runs = std::make_shared<int>(0);
  SetFileCallHook([=](int, std::string_view call) {
    if (hidden && call == "open" && ++*runs == 1) {
      return EOPNOTSUPP;
    }
    if (call == "linkat") {
      lbe::testing::PutFile("out.bin", {7, 7});
    }
    return 0;
  });
  const auto write = [] { WriteWholeFile("out.bin", Bytes{1, 2, 3}); };
  EXPECT_EQ(ErrorOf(write), CreateText("out.bin", "File exists"));
  EXPECT_EQ(lbe::testing::GetFile("out.bin"), (Bytes{7, 7}));
  EXPECT_EQ(AllNames(), std::vector<std::string>{"out.bin"});
}

// Put together by a writer: bytes at any offset, read back with zeros past the end, cut. A new file
// or one that is there (which keeps its inode) is that, or when a write fails, as it was.
TEST_P(NewFile, IsWhatItsWriterPutsTogether) {
  const auto write = [] {
    WriteWholeFile("out.bin", [](const OutputFile& file) {
      file.WriteAt(100000, Bytes{9, 8});
      file.WriteAt(0, Bytes(70000, 0x33));
      Bytes back(6, 0xEE);
      file.ReadAt(99998, back);
      EXPECT_EQ(back, (Bytes{0, 0, 9, 8, 0, 0}));
      EXPECT_EQ(file.Length(), 100002u);
      file.SetLength(100001);
    });
  };
  Bytes expected(100001, 0);
  std::fill(expected.begin(), expected.begin() + 70000, 0x33);
  expected[100000] = 9;
  for (const bool there : {false, true}) {
    SCOPED_TRACE(there);
    if (there) {
      lbe::testing::PutFile("out.bin", Bytes(9000, 0x11));
    }
    FailCall("pwrite", 2, ENOSPC, GetParam());
    EXPECT_EQ(ErrorOf(write), "ストリームへの書き込みエラー: No space left on device");
    EXPECT_EQ(fs::exists("out.bin") && lbe::testing::GetFile("out.bin") == Bytes(9000, 0x11),
              there);
    struct stat before {};
    ::stat("out.bin", &before);
    FailCall("", 0, 0, GetParam());
    write();
    EXPECT_EQ(lbe::testing::GetFile("out.bin"), expected);
    struct stat after {};
    ::stat("out.bin", &after);
    EXPECT_EQ(after.st_ino == before.st_ino, there);
    EXPECT_EQ(AllNames(), (there ? std::vector<std::string>{"out.bin", "state", "state/lbe"}
                                 : std::vector<std::string>{"out.bin"}));
    fs::remove("out.bin");
  }
}

// A scratch file has no name anywhere: in the folder, or where that takes none (its first unnamed
// open fails), in TMPDIR, or where neither takes one (both fail), as a name taken away at once.
TEST_P(NewFile, AScratchFileHasNoName) {
  fs::create_directory("tmp");
  ::setenv("TMPDIR", folder_.Full("tmp").c_str(), 1);
  for (const int refused : {0, 1, 2}) {
    SCOPED_TRACE(refused);
    auto runs = std::make_shared<int>(0);
    SetFileCallHook([=](int, std::string_view call) {
      return call == "open" && ++*runs <= refused ? EOPNOTSUPP : 0;
    });
    const FileDescriptor scratch = OpenScratchFile("out.bin");
    ASSERT_TRUE(scratch.IsOpen());
    const OutputFile file(scratch.Get());
    file.WriteAt(3, Bytes{7});
    Bytes back(4);
    file.ReadAt(0, back);
    EXPECT_EQ(back, (Bytes{0, 0, 0, 7}));
    EXPECT_EQ(AllNames(), std::vector<std::string>{"tmp"});
  }
  ::unsetenv("TMPDIR");
}

INSTANTIATE_TEST_SUITE_P(UnnamedOrDotName, NewFile, ::testing::Bool());

// An output that is there, of some MiB, over which a writer puts bytes of which a block in 300 is
// as it was, so that the save's runs of changed blocks are longer than the pieces it reads: saved,
// it holds the new bytes; killed half-way through its writes into the file, it gets its former
// bytes back at the next look. Longer and shorter than it was.
TEST(WholeFileThere, IsTheNewBytesOrPutBackWhole) {
  const lbe::testing::TemporaryWorkingFolder folder;
  Bytes former((3 << 20) + 100);
  for (std::size_t i = 0; i < former.size(); ++i) {
    former[i] = static_cast<std::uint8_t>(i * 7 + i / 4093);
  }
  for (const std::size_t length : {(std::size_t{7} << 19) + 5, (std::size_t{5} << 19) + 3}) {
    SCOPED_TRACE(length);
    Bytes fresh(length);
    for (std::size_t i = 0; i < length; ++i) {
      fresh[i] =
          i < former.size() && i / 4096 % 300 == 7 ? former[i] : static_cast<std::uint8_t>(i % 251);
    }
    const auto write = [&] {
      WriteWholeFile("out.bin", [&](const OutputFile& file) { file.WriteAt(0, fresh); });
    };
    for (const bool killed : {true, false}) {
      SCOPED_TRACE(killed);
      lbe::testing::PutFile("out.bin", former);
      if (killed) {
        const pid_t child = ::fork();
        ASSERT_NE(child, -1);
        if (child == 0) {
          SetPauseHook([](std::string_view where) {
            if (where == "save") {
              ::_exit(0);
            }
          });
          write();
          ::_exit(1);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "not killed half-way";
        EXPECT_NE(lbe::testing::GetFile("out.bin"), former) << "nothing written before the kill";
        EXPECT_TRUE(SettleJournals("out.bin", false).RolledBack);
        EXPECT_TRUE(lbe::testing::GetFile("out.bin") == former);
      } else {
        write();
        EXPECT_TRUE(lbe::testing::GetFile("out.bin") == fresh);
      }
      EXPECT_TRUE(fs::is_empty("state/lbe"));
    }
  }
}

}  // namespace
}  // namespace lbe::files
