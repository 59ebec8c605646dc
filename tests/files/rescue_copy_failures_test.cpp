// A rescue copy whose file-system calls fail shows under its name whole or not at all, and leaves
// nothing else behind.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "files/file_layer.h"
#include "files/rescue_copy.h"
#include "files/test_hooks.h"
#include "temp_folder.h"

namespace lbe::files {
namespace {

// Each call named fails from its `From`th run on.
struct Failure {
  std::string_view Call;
  int From;
  int Error;
};

TEST(RescueCopyFailuresTest, CopyIsWholeUnderItsNameOrNowhere) {
  const Failure noUnnamedFiles{"open", 1, EOPNOTSUPP};
  const std::vector<std::pair<std::vector<Failure>, std::string>> cases = {
      {{}, "sub/a.lbe-rescue.1"},
      {{noUnnamedFiles}, "sub/a.lbe-rescue.1"},         // through a hidden name
      {{{"linkat", 1, ENOENT}}, "sub/a.lbe-rescue.1"},  // no /proc: through a hidden name
      {{{"write", 2, ENOSPC}}, ""},                     // half written
      {{{"fsync", 1, EIO}}, ""},
      {{noUnnamedFiles, {"link", 1, EIO}}, ""},
  };
  const std::vector<std::uint8_t> bytes = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  const std::string home = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "";
  int row = 0;
  for (const auto& c : cases) {
    // Named, not bound: a lambda below takes them, which clang 14 refuses for bindings.
    const std::vector<Failure>& failures = c.first;
    const std::string& written = c.second;
    SCOPED_TRACE("row " + std::to_string(++row));
    lbe::testing::TemporaryWorkingFolder folder;
    std::filesystem::create_directory("sub");
    lbe::testing::PutFile("sub/a.lbe-rescue", {0});
    ::setenv("HOME", folder.Path().c_str(), 1);  // the last place the copy may go
    std::map<std::string_view, int> runs;
    SetFileCallHook([&](int, std::string_view call) {
      ++runs[call];
      for (const Failure& failure : failures) {
        if (failure.Call == call && runs[call] >= failure.From) {
          return failure.Error;
        }
      }
      return 0;
    });
    std::string error;
    std::string name;
    try {
      name = WriteRescueCopy("sub/a", bytes);
    } catch (const FileError& failure) {
      error = failure.what();
    }
    EXPECT_EQ(name, written);
    SetFileCallHook(nullptr);
    ::setenv("HOME", home.c_str(), 1);

    std::set<std::string> expected = {"sub", "sub/a.lbe-rescue", written};
    if (written.empty()) {
      const std::string cause = PlatformErrorText(failures.back().Error);
      EXPECT_EQ(error, "sub/a.lbe-rescue: " + cause + "; lbe-rescue.bin: " + cause + "; " +
                           folder.Full("lbe-rescue.bin") + ": " + cause);
      expected.erase("");
    } else {
      EXPECT_EQ(lbe::testing::GetFile(written), bytes);
    }
    std::set<std::string> left;  // hidden names and half copies included
    for (const auto& entry : std::filesystem::recursive_directory_iterator(".")) {
      left.insert(entry.path().lexically_relative(".").native());
    }
    EXPECT_EQ(left, expected);
  }
}

}  // namespace
}  // namespace lbe::files
