#include "files/whole_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "file_failure.h"
#include "files/file_layer.h"
#include "temp_folder.h"

namespace lbe::files {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// The whole file, or its first `maxBytes` bytes: a read from offset 0.
Bytes ReadWholeFile(std::string_view path, std::size_t maxBytes = SIZE_MAX) {
  return ReadFilePiece(path, 0, maxBytes).Bytes;
}

// Each test runs in a fresh temporary folder that is also the current directory, so relative
// names behave as typed names do.
class WholeFile : public ::testing::Test {
 protected:
  std::string Full(const std::string& name) const { return folder_.Full(name); }

  static void Put(const std::string& name, const Bytes& bytes) {
    lbe::testing::PutFile(name, bytes);
  }
  static Bytes Get(const std::string& name) { return lbe::testing::GetFile(name); }
  static void Sparse(const std::string& name, off_t size) {
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, size), 0);
    ::close(fd);
  }
  // Names in the folder, so a test can see that nothing (a journal, say) was left behind; the
  // state folder counts only when a journal stays in it.
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder_.Path())) {
      if (entry.path().filename() != "state" || !fs::is_empty("state/lbe")) {
        names.push_back(entry.path().filename().native());
      }
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  lbe::testing::TemporaryWorkingFolder folder_;
};

using lbe::testing::FailureOf;
using Failure = lbe::testing::FileFailure;

TEST_F(WholeFile, PathWhoseFullFormIsTooLongIsStillSaved) {
  fs::create_directory("dir");
  const std::string path = "dir" + std::string(PATH_MAX - 16, '/') + "x.bin";
  ASSERT_LT(path.size(), static_cast<std::size_t>(PATH_MAX));
  ASSERT_GE(Full(path).size(), static_cast<std::size_t>(PATH_MAX));
  EXPECT_NO_THROW(CheckPath(path, false));
  EXPECT_NO_THROW(WriteWholeFile(path, Bytes{7, 8}));
  EXPECT_EQ(Get("dir/x.bin"), (Bytes{7, 8}));
  EXPECT_EQ(Names(), (std::vector<std::string>{"dir"}));
}

TEST_F(WholeFile, ReadGivesTheWholeFileOrItsFirstBytes) {
  Put("five.bin", {1, 2, 3, 4, 5});
  Put("empty.bin", {});
  EXPECT_EQ(ReadWholeFile("five.bin"), (Bytes{1, 2, 3, 4, 5}));
  EXPECT_EQ(ReadWholeFile("five.bin", 3), (Bytes{1, 2, 3}));
  EXPECT_EQ(ReadWholeFile("five.bin", 0), Bytes{});
  EXPECT_EQ(ReadWholeFile(Full("five.bin"), 99), (Bytes{1, 2, 3, 4, 5}));
  EXPECT_EQ(ReadWholeFile("empty.bin"), Bytes{});
  const Failure missing = FailureOf([] { ReadWholeFile("gone.bin"); });
  EXPECT_EQ(missing.Kind, FileErrorKind::FileNotFound);
  EXPECT_EQ(missing.Message, "指定されたファイルが見つかりません \r\n[gone.bin]");
}

// Only the bytes asked for are read, so a file of any length loads; a window from an offset
// gives the bytes from there, none at or beyond the end, and the file's whole length.
TEST_F(WholeFile, ReadTakesAWindowOfAFileOfAnySize) {
  Sparse("just-below.bin", 0x7FFFFFFF);
  EXPECT_EQ(ReadWholeFile("just-below.bin", 4), (Bytes{0, 0, 0, 0}));
  Sparse("big.bin", 0x100000000);
  const int fd = ::open("big.bin", O_WRONLY);
  ASSERT_EQ(::pwrite(fd, "\x11\x22", 2, 0xFFFFFFFE), 2);
  ASSERT_EQ(::pwrite(fd, "\x44", 1, 0x80000000), 1);
  ::close(fd);
  Put("five.bin", {1, 2, 3, 4, 5});
  const struct {
    std::string name;
    std::uint64_t offset;
    std::size_t most;
    Bytes bytes;
    std::uint64_t size;
  } cases[] = {
      {"big.bin", 0, 4, {0, 0, 0, 0}, 0x100000000},
      {"big.bin", 0x7FFFFFFF, 3, {0, 0x44, 0}, 0x100000000},
      {"big.bin", 0xFFFFFFFD, 8, {0, 0x11, 0x22}, 0x100000000},
      {"big.bin", 0x100000000, 8, {}, 0x100000000},
      {"big.bin", 0x7FFFFFFFFFFEFFFF, 8, {}, 0x100000000},
      {"five.bin", 0, 99, {1, 2, 3, 4, 5}, 5},
      {"five.bin", 3, 99, {4, 5}, 5},
      {"five.bin", 1, 2, {2, 3}, 5},
      {"five.bin", 5, 99, {}, 5},
      {"five.bin", 6, 99, {}, 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.name << " from " << c.offset);
    const FilePiece window = ReadFilePiece(c.name, c.offset, c.most);
    EXPECT_EQ(window.Bytes, c.bytes);
    EXPECT_EQ(window.FileSize, c.size);
  }
}

TEST_F(WholeFile, ReadRefusesFifosAndDevicesAtOnce) {
  ASSERT_EQ(::mkfifo("pipe", 0644), 0);
  const Failure fifo = FailureOf([] { ReadWholeFile("pipe"); });
  EXPECT_EQ(fifo.Kind, FileErrorKind::InOutError);
  EXPECT_EQ(fifo.Message,
            "ファイル " + Full("pipe") + " は開けません。 Operation not supported \r\n[pipe]");
  const Failure device = FailureOf([] { ReadWholeFile("/dev/null"); });
  EXPECT_EQ(device.Message,
            "ファイル /dev/null は開けません。 Operation not supported \r\n[/dev/null]");
}

// A kernel attribute file claims a page of length but ends after a few bytes: the read ends
// before the length, with no error code of its own.
TEST_F(WholeFile, ReadThatEndsEarlyIsAReadError) {
  const std::string attribute = "/sys/devices/system/cpu/online";
  struct stat info {};
  if (::stat(attribute.c_str(), &info) != 0 || info.st_size != 4096) {
    GTEST_SKIP() << "no sysfs attribute file here";
  }
  const Failure failure = FailureOf([&] { ReadWholeFile(attribute); });
  EXPECT_EQ(failure.Kind, FileErrorKind::ReadError);
  EXPECT_EQ(failure.Message, "ストリームからの読み取りエラー");
}

TEST_F(WholeFile, ReadFailsWhileAnotherSaveHoldsTheFile) {
  Put("held.bin", {7});
  const int other = ::open("held.bin", O_RDONLY);
  ASSERT_EQ(::flock(other, LOCK_EX), 0);
  const Failure failure = FailureOf([] { ReadWholeFile("held.bin"); });
  EXPECT_EQ(failure.Kind, FileErrorKind::InOutError);
  EXPECT_EQ(failure.Message, "ファイル " + Full("held.bin") +
                                 " は開けません。 Resource temporarily unavailable \r\n[held.bin]");
  // Readers share the file.
  ASSERT_EQ(::flock(other, LOCK_SH), 0);
  EXPECT_EQ(ReadWholeFile("held.bin"), Bytes{7});
  ::close(other);
}

TEST_F(WholeFile, ReadReportsAFileItMayNotOpen) {
  Put("secret.bin", {1});
  fs::permissions("secret.bin", fs::perms::none);
  std::string message;
  if (::geteuid() == 0) {
    fs::permissions(folder_.Path(), fs::perms::owner_all | fs::perms::group_read |
                                        fs::perms::group_exec | fs::perms::others_read |
                                        fs::perms::others_exec);
    // Root may open any file: the read is made by a child that has given root up.
    message = testing::AsAnotherUser(65534, 65534, 65534, [] { ReadWholeFile("secret.bin"); });
  } else {
    message = FailureOf([] { ReadWholeFile("secret.bin"); }).Message;
  }
  EXPECT_EQ(message, "ファイル " + Full("secret.bin") +
                         " は開けません。 Permission denied \r\n[secret.bin]");
}

TEST_F(WholeFile, WriteCreatesAndReplacesFiles) {
  WriteWholeFile("new.bin", Bytes{1, 2, 3});
  EXPECT_EQ(Get("new.bin"), (Bytes{1, 2, 3}));
  Put("old.bin", Bytes(1000, 0xAA));
  WriteWholeFile("old.bin", Bytes{9});
  EXPECT_EQ(Get("old.bin"), Bytes{9});
  WriteWholeFile("old.bin", Bytes{});
  EXPECT_EQ(Get("old.bin"), Bytes{});
  EXPECT_TRUE(fs::exists("old.bin"));
  EXPECT_EQ(Names(), (std::vector<std::string>{"new.bin", "old.bin"}));
}

TEST_F(WholeFile, WriteKeepsPermissionsAndOwner) {
  const mode_t formerMask = ::umask(022);
  WriteWholeFile("fresh.bin", Bytes{1});
  ::umask(formerMask);
  struct stat info {};
  ASSERT_EQ(::stat("fresh.bin", &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0644u);

  Put("script.sh", {1});
  ASSERT_EQ(::chmod("script.sh", 0750), 0);
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown("script.sh", 1234, 5678), 0);
  }
  WriteWholeFile("script.sh", Bytes{2});
  ASSERT_EQ(::stat("script.sh", &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0750u);
  if (::geteuid() == 0) {
    EXPECT_EQ(info.st_uid, 1234u);
    EXPECT_EQ(info.st_gid, 5678u);
  }
  EXPECT_EQ(Get("script.sh"), Bytes{2});
}

TEST_F(WholeFile, WriteThroughALinkReplacesWhatItPointsTo) {
  fs::create_directory("real");
  Put("real/data.bin", {1, 1});
  fs::create_symlink("real/data.bin", "link.bin");
  fs::create_symlink("link.bin", "link2.bin");
  WriteWholeFile("link2.bin", Bytes{5, 6, 7});
  EXPECT_TRUE(fs::is_symlink("link.bin"));
  EXPECT_TRUE(fs::is_symlink("link2.bin"));
  EXPECT_EQ(Get("real/data.bin"), (Bytes{5, 6, 7}));
  EXPECT_EQ(Names(), (std::vector<std::string>{"link.bin", "link2.bin", "real"}));

  // A link to a file not yet there creates that file.
  fs::create_symlink("real/later.bin", "dangling.bin");
  WriteWholeFile("dangling.bin", Bytes{8});
  EXPECT_TRUE(fs::is_symlink("dangling.bin"));
  EXPECT_EQ(Get("real/later.bin"), Bytes{8});

  fs::create_symlink("nowhere/x.bin", "broken.bin");
  const Failure broken = FailureOf([] { WriteWholeFile("broken.bin", Bytes{1}); });
  EXPECT_EQ(broken.Message, "ファイル \"" + Full("broken.bin") +
                                "\" を作成できません。No such file or directory\r\n[broken.bin]");
  fs::create_symlink("loop.bin", "loop.bin");
  const Failure loop = FailureOf([] { WriteWholeFile("loop.bin", Bytes{1}); });
  EXPECT_EQ(loop.Message,
            "ファイル \"" + Full("loop.bin") +
                "\" を作成できません。Too many levels of symbolic links\r\n[loop.bin]");
}

TEST_F(WholeFile, WriteRefusesDirectoriesFifosAndHeldFiles) {
  fs::create_directory("dir");
  const Failure directory = FailureOf([] { WriteWholeFile("dir", Bytes{1}); });
  EXPECT_EQ(directory.Kind, FileErrorKind::InOutError);
  EXPECT_EQ(directory.Message,
            "ファイル \"" + Full("dir") + "\" を作成できません。Is a directory\r\n[dir]");

  ASSERT_EQ(::mkfifo("pipe", 0644), 0);
  const Failure fifo = FailureOf([] { WriteWholeFile("pipe", Bytes{1}); });
  EXPECT_EQ(fifo.Message, "ファイル \"" + Full("pipe") +
                              "\" を作成できません。Operation not supported\r\n[pipe]");
  EXPECT_TRUE(fs::is_fifo("pipe"));

  Put("held.bin", {3});
  const int other = ::open("held.bin", O_RDONLY);
  ASSERT_EQ(::flock(other, LOCK_SH), 0);
  const Failure held = FailureOf([] { WriteWholeFile("held.bin", Bytes{4}); });
  EXPECT_EQ(held.Message,
            "ファイル \"" + Full("held.bin") +
                "\" を作成できません。Resource temporarily unavailable\r\n[held.bin]");
  ::close(other);
  EXPECT_EQ(Get("held.bin"), Bytes{3});
  EXPECT_EQ(Names(), (std::vector<std::string>{"dir", "held.bin", "pipe"}));
}

TEST_F(WholeFile, WriteWithNoDescriptorLeftReportsTheCreateMessage) {
#if defined(__SANITIZE_ADDRESS__)
  // The sanitizers' runtime probes memory through a pipe: with no descriptor left it takes the
  // exception object for a bad one.
  GTEST_SKIP() << "needs a descriptor-free process, which the sanitizer runtime is not";
#endif
  // With no descriptor left, the file itself is the first thing that cannot be opened.
  const int lowestFree = ::dup(0);
  ::close(lowestFree);
  rlimit former{};
  ::getrlimit(RLIMIT_NOFILE, &former);
  rlimit none = former;
  none.rlim_cur = static_cast<rlim_t>(lowestFree);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &none), 0);
  const Failure failure = FailureOf([] { WriteWholeFile("new.bin", Bytes{1}); });
  ::setrlimit(RLIMIT_NOFILE, &former);
  EXPECT_EQ(failure.Kind, FileErrorKind::InOutError);
  EXPECT_EQ(failure.Message, "ファイル \"" + Full("new.bin") +
                                 "\" を作成できません。Too many open files\r\n[new.bin]");
  EXPECT_EQ(Names(), std::vector<std::string>{});
}

// The file size limit stops the save at its length step; the former file must survive and the
// program go on.
TEST_F(WholeFile, WriteThatCannotSetTheLengthKeepsTheFormerFile) {
  Put("keep.bin", {1, 2, 3, 4});
  rlimit former{};
  ::getrlimit(RLIMIT_FSIZE, &former);
  rlimit small = former;
  small.rlim_cur = 16384;  // the journal fits, the file's new length does not
  // With the signal's default action the save itself must keep the program alive.
  const auto formerHandler = std::signal(SIGXFSZ, SIG_DFL);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const Failure failure = FailureOf([] {
    ReplaceStretch("keep.bin", FileStretch{20000, 0, true}, Bytes(8, 0x55));
  });
  ::setrlimit(RLIMIT_FSIZE, &former);
  EXPECT_EQ(std::signal(SIGXFSZ, formerHandler), SIG_DFL);
  EXPECT_EQ(failure.Kind, FileErrorKind::SystemError);
  EXPECT_EQ(failure.Message, "システム エラー。コード: 27。\r\nFile too large");
  EXPECT_EQ(Get("keep.bin"), (Bytes{1, 2, 3, 4}));
  EXPECT_EQ(Names(), std::vector<std::string>{"keep.bin"});
}

TEST_F(WholeFile, WriteRunsThePathChecksFirst) {
  const Failure folder = FailureOf([] { WriteWholeFile("sub/x.bin", Bytes{1}); });
  EXPECT_EQ(folder.Kind, FileErrorKind::FolderNotFound);
  EXPECT_EQ(folder.Message, "指定されたパスが見つかりません\r\n[sub/x.bin]");
  const Failure blank = FailureOf([] { WriteWholeFile(" ", Bytes{1}); });
  EXPECT_EQ(blank.Message, "パスが空です");
  EXPECT_EQ(Names(), std::vector<std::string>{});
}

// When the current directory is gone, its not-found error is no format error: the name is
// used as passed and the create step reports the failure.
TEST_F(WholeFile, WriteInARemovedCurrentDirectory) {
  fs::create_directory("gone");
  fs::current_path("gone");
  fs::remove(folder_.Path() / "gone");
  const Failure failure = FailureOf([] { WriteWholeFile("x.bin", Bytes{1}); });
  fs::current_path(folder_.Path());
  EXPECT_EQ(failure.Kind, FileErrorKind::InOutError);
  EXPECT_EQ(failure.Message,
            "ファイル \"x.bin\" を作成できません。No such file or directory\r\n[x.bin]");
}

}  // namespace
}  // namespace lbe::files
