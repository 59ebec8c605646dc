#include "files/file_layer.h"

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
#include "temp_folder.h"

namespace lbe::files {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// Each test runs in a fresh temporary folder that is also the current directory, so relative
// names behave as typed names do.
class FileLayer : public ::testing::Test {
 protected:
  std::string Full(const std::string& name) const { return folder_.Full(name); }
  static void Put(const std::string& name, const Bytes& bytes) {
    lbe::testing::PutFile(name, bytes);
  }

  lbe::testing::TemporaryWorkingFolder folder_;
};

using lbe::testing::FailureOf;
using Failure = lbe::testing::FileFailure;

TEST(FileErrorKinds, KeepTheirOwnNames) {
  const struct {
    FileErrorKind kind;
    std::string_view name;
  } cases[] = {
      {FileErrorKind::PathTooLong, "EPathTooLongException"},
      {FileErrorKind::NotSupported, "ENotSupportedException"},
      {FileErrorKind::BadArgument, "EInOutArgumentException"},
      {FileErrorKind::FolderNotFound, "EDirectoryNotFoundException"},
      {FileErrorKind::FileNotFound, "EFileNotFoundException"},
      {FileErrorKind::InOutError, "EInOutError"},
      {FileErrorKind::SystemError, "EOSError"},
      {FileErrorKind::ReadError, "EReadError"},
      {FileErrorKind::WriteError, "EWriteError"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(KindName(c.kind), c.name);
  }
}

TEST(FileErrorTexts, PathSuffixAndPlatformText) {
  EXPECT_EQ(PathSuffix("sub/x.bin"), "\r\n[sub/x.bin]");
  EXPECT_EQ(PathSuffix(""), "\r\n[]");
  // Control characters of a path never reach the terminal raw.
  EXPECT_EQ(PathSuffix("a\x1b[2Jb\x7f"), "\r\n[a?[2Jb?]");
  EXPECT_EQ(PathSuffix("a\xc2\x9b"
                       "b\xe2\x80\xae"
                       "c"),
            "\r\n[a?b?c]");
  EXPECT_EQ(PathSuffix("データ.bin"), "\r\n[データ.bin]");
  EXPECT_EQ(PlatformErrorText(ENOENT), "No such file or directory");
  EXPECT_EQ(PlatformErrorText(EISDIR), "Is a directory");
  EXPECT_EQ(PlatformErrorText(EFBIG), "File too large");
}

TEST_F(FileLayer, CheckPathRaisesTheFirstFailingStep) {
  Put("file.bin", {1});
  fs::create_directory("dir");
  const std::string tooLong(4096, 'a');
  const struct {
    std::string path;
    bool mustExist;
    FileErrorKind kind;
    std::string message;
  } cases[] = {
      {tooLong, false, FileErrorKind::PathTooLong,
       "指定されたパスが長すぎます\r\n[" + tooLong + "]"},
      {tooLong + ":?", false, FileErrorKind::PathTooLong,
       "指定されたパスが長すぎます\r\n[" + tooLong + ":?]"},
      {"ab:c", false, FileErrorKind::NotSupported, "パスの形式がサポートされていません"},
      {"C:x.bin", false, FileErrorKind::NotSupported, "パスの形式がサポートされていません"},
      {"a?:b", false, FileErrorKind::NotSupported, "パスの形式がサポートされていません"},
      {"", false, FileErrorKind::BadArgument, "パスが空です"},
      {" ", true, FileErrorKind::BadArgument, "パスが空です"},
      {" \t\r\n ", false, FileErrorKind::BadArgument, "パスが空です"},
      {"a?b", false, FileErrorKind::BadArgument, "パスに無効な文字が含まれています\r\n[a?b]"},
      {"a*b", false, FileErrorKind::BadArgument, "パスに無効な文字が含まれています\r\n[a*b]"},
      {"a<b>", false, FileErrorKind::BadArgument, "パスに無効な文字が含まれています\r\n[a<b>]"},
      {"a|b", false, FileErrorKind::BadArgument, "パスに無効な文字が含まれています\r\n[a|b]"},
      {"a\"b", false, FileErrorKind::BadArgument, "パスに無効な文字が含まれています\r\n[a\"b]"},
      {"a\tb", false, FileErrorKind::BadArgument, "パスに無効な文字が含まれています\r\n[a?b]"},
      {"missing/x?", false, FileErrorKind::BadArgument,
       "パスに無効な文字が含まれています\r\n[missing/x?]"},
      // Windows' extended-length prefix is no prefix here; its "?" is an invalid character.
      {"\\\\?\\x.bin", false, FileErrorKind::BadArgument,
       "パスに無効な文字が含まれています\r\n[\\\\?\\x.bin]"},
      {"sub/x.bin", false, FileErrorKind::FolderNotFound,
       "指定されたパスが見つかりません\r\n[sub/x.bin]"},
      {"file.bin/x.bin", false, FileErrorKind::FolderNotFound,
       "指定されたパスが見つかりません\r\n[file.bin/x.bin]"},
      {"missing/" + std::string(4087, 'a'), false, FileErrorKind::FolderNotFound,
       "指定されたパスが見つかりません\r\n[missing/" + std::string(4087, 'a') + "]"},
      {"missing.bin", true, FileErrorKind::FileNotFound,
       "指定されたファイルが見つかりません \r\n[missing.bin]"},
      {"dir", true, FileErrorKind::FileNotFound, "指定されたファイルが見つかりません \r\n[dir]"},
      {"dir/", true, FileErrorKind::FileNotFound, "指定されたファイルが見つかりません \r\n[dir/]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path.substr(0, 40));
    const Failure failure = FailureOf([&] { CheckPath(c.path, c.mustExist); });
    EXPECT_EQ(KindName(failure.Kind), KindName(c.kind));
    EXPECT_EQ(failure.Message, c.message);
  }
}

TEST_F(FileLayer, CheckPathPassesUsablePaths) {
  Put("file.bin", {1});
  fs::create_directories("dir/inner");
  fs::create_symlink("dir", "link");
  // Longer than Windows' 260 characters, through real folders.
  std::string deep;
  for (int i = 0; i < 30; ++i) {
    deep += std::string(10, static_cast<char>('a' + i % 26)) + "/";
  }
  fs::create_directories(deep);
  const std::string cases[] = {"file.bin",          " file.bin",     "dir/inner/new.bin",
                               "link/new.bin",      "\\back\\slash", Full("file.bin"),
                               "./dir/../file.bin", deep + "x.bin",  "dir/inner/"};
  for (const auto& path : cases) {
    SCOPED_TRACE(path);
    EXPECT_NO_THROW(CheckPath(path, false));
  }
  EXPECT_NO_THROW(CheckPath("file.bin", true));
  EXPECT_NO_THROW(CheckPath("./dir/../file.bin", true));
}

// A relative path under the length limit whose full form lies beyond it still names an existing
// folder, and the kernel takes it: the file is saved in place.
TEST(StopReport, NamesKindModuleOffsetAndMessage) {
  const struct {
    FileError error;
    std::string_view executable;
    std::string expected;  // "########" stands for the code offset
  } cases[] = {
      {FileError(FileErrorKind::InOutError, "指定されたファイルが長すぎます。\r\n[big.bin]"),
       "/usr/local/bin/lbe",
       "EInOutError がモジュール lbe の ######## で発生しました。\n"
       "指定されたファイルが長すぎます。\n[big.bin].\n\n"},
      {FileError(FileErrorKind::ReadError, "ストリームからの読み取りエラー"), "lbe",
       "EReadError がモジュール lbe の ######## で発生しました。\n"
       "ストリームからの読み取りエラー.\n\n"},
      {FileError(FileErrorKind::SystemError, "Ends with a stop."),
       "./bin/l\x1b"
       "be",
       "EOSError がモジュール l?be の ######## で発生しました。\nEnds with a stop.\n\n"},
      {FileError(FileErrorKind::InOutError, "指定されたファイルが長すぎます。"), "lbe",
       "EInOutError がモジュール lbe の ######## で発生しました。\n"
       "指定されたファイルが長すぎます。\n\n"},
  };
  for (const auto& c : cases) {
    std::string report = StopReport(c.error, c.executable);
    constexpr std::string_view kBefore = " の ";
    const auto at = report.find(kBefore) + kBefore.size();
    ASSERT_LT(at, report.size());
    const std::string offset = report.substr(at, 8);
    EXPECT_EQ(offset.find_first_not_of("0123456789ABCDEF"), std::string::npos) << offset;
    report.replace(at, 8, "########");
    EXPECT_EQ(report, c.expected);
  }
}

// The code offset points into this executable, not at some absolute address.
TEST_F(FileLayer, ErrorOffsetLiesInsideTheExecutable) {
  try {
    CheckPath("", false);
    ADD_FAILURE() << "no FileError was raised";
  } catch (const FileError& error) {
    EXPECT_GT(error.CodeOffset(), 0u);
    EXPECT_LT(error.CodeOffset(), fs::file_size("/proc/self/exe"));
  }
}

}  // namespace
}  // namespace lbe::files
