#pragma once
// A save cut short as a kill would cut it, for the tests of what its journal does afterwards, and
// a state folder of the test's own: HOME and the user database point into the temporary folder,
// so that the only state folder searched is its "state/lbe".

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "files/file_journal.h"
#include "files/test_hooks.h"
#include "temp_folder.h"

namespace lbe::testing {

// A file of two blocks, a save across their boundary, and the file as that save cut short after
// its first block leaves it.
inline const std::vector<std::uint8_t> kFormer(8192, 0x5A);
inline const files::FileStretch kAcross = {4094, 4, false};
inline const std::vector<std::uint8_t> kNew = {'w', 'x', 'y', 'z'};
inline std::vector<std::uint8_t> HalfSaved() {
  std::vector<std::uint8_t> half = kFormer;
  half[4094] = 'w';
  half[4095] = 'x';
  return half;
}

// The save of `bytes` over `stretch` of `name` killed just before it first writes into the file,
// which then gets `half` in place (what a half-done write would have left).
inline void InterruptSave(const std::string& name, files::FileStretch stretch,
                          const std::vector<std::uint8_t>& bytes,
                          const std::vector<std::uint8_t>& half) {
  const pid_t child = ::fork();
  if (child == 0) {
    bool journalled = false;
    files::SetFileCallHook([&](int, std::string_view call) {
      if (journalled && call == "pwrite") {
        ::_exit(0);
      }
      journalled = journalled || call == "linkat";
      return 0;
    });
    files::ReplaceStretch(name, stretch, bytes);
    ::_exit(1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the save was not cut short";
  std::ofstream(name, std::ios::binary | std::ios::in)
      .write(reinterpret_cast<const char*>(half.data()), static_cast<std::streamsize>(half.size()));
}

// The temporary folder as the user's home, in HOME and in the user database, for as long as it
// lives: the real home's state folder is never searched.
class OwnHomeInFolder {
 public:
  explicit OwnHomeInFolder(const TemporaryWorkingFolder& folder) {
    if (const char* home = std::getenv("HOME")) {
      formerHome_ = home;
    }
    ::setenv("HOME", folder.Path().c_str(), 1);
    const std::string database = folder.Full("passwd");
    std::ofstream(database) << "me:x:" << ::geteuid() << ":" << ::getegid()
                            << "::" << folder.Path().native() << ":/bin/sh\n";
    files::SetUserDatabase(database);
  }
  ~OwnHomeInFolder() {
    files::SetUserDatabase("");
    if (formerHome_) {
      ::setenv("HOME", formerHome_->c_str(), 1);
    } else {
      ::unsetenv("HOME");
    }
  }
  OwnHomeInFolder(const OwnHomeInFolder&) = delete;
  OwnHomeInFolder& operator=(const OwnHomeInFolder&) = delete;

 private:
  std::optional<std::string> formerHome_;
};

// The one journal in the state folder; empty when there is none.
inline std::string OnlyStateJournal() {
  std::string found;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("state/lbe", error)) {
    found = entry.path().filename().native();
  }
  return found;
}

}  // namespace lbe::testing
