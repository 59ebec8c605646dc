#pragma once
// A fresh temporary folder that is the current directory while it lives, so that relative names
// behave as typed names do, and whose "state" folder stands for the user's state folder
// (XDG_STATE_HOME), where saves keep their journals. HOME is a fresh folder of its own beside it,
// so that nothing reaches the real home. Both removed, with everything in them, at the end.

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace lbe::testing {

class TemporaryWorkingFolder {
 public:
  TemporaryWorkingFolder() {
    namespace fs = std::filesystem;
    std::string pattern = (fs::temp_directory_path() / "lbe-test-XXXXXX").native();
    if (::mkdtemp(pattern.data()) == nullptr) {
      ADD_FAILURE() << "no temporary folder";
      return;
    }
    folder_ = pattern;
    former_ = fs::current_path();
    fs::current_path(folder_);
    ::setenv("XDG_STATE_HOME", Full("state").c_str(), 1);
    std::string home = (fs::temp_directory_path() / "lbe-home-XXXXXX").native();
    if (::mkdtemp(home.data()) != nullptr) {
      home_ = home;
      const char* formerHome = std::getenv("HOME");
      formerHome_ = formerHome == nullptr ? "" : formerHome;
      ::setenv("HOME", home.c_str(), 1);
    }
  }
  ~TemporaryWorkingFolder() {
    if (folder_.empty()) {
      return;
    }
    ::unsetenv("XDG_STATE_HOME");
    std::error_code ignored;
    if (!home_.empty()) {
      ::setenv("HOME", formerHome_.c_str(), 1);
      std::filesystem::remove_all(home_, ignored);
    }
    std::filesystem::current_path(former_, ignored);
    std::filesystem::remove_all(folder_, ignored);
  }
  TemporaryWorkingFolder(const TemporaryWorkingFolder&) = delete;
  TemporaryWorkingFolder& operator=(const TemporaryWorkingFolder&) = delete;

  const std::filesystem::path& Path() const { return folder_; }
  // The absolute form of a name in the folder, as the open and create messages show it.
  std::string Full(const std::string& name) const { return folder_.native() + "/" + name; }

 private:
  std::filesystem::path folder_;
  std::filesystem::path former_;
  std::filesystem::path home_;
  std::string formerHome_;
};

// Writes `bytes` as the whole file `name`.
inline void PutFile(const std::string& name, const std::vector<std::uint8_t>& bytes) {
  std::ofstream(name, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

// The whole file `name`; empty when there is none.
inline std::vector<std::uint8_t> GetFile(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Runs `action` in a child process as user `uid` (group `gid`, also a member of `group`) when
// running as root, else as the current user; the child's message, "" when it succeeded.
template <typename Action>
std::string AsAnotherUser(uid_t uid, gid_t gid, gid_t group, Action&& action) {
  int channel[2];
  if (::pipe(channel) != 0) {
    return "no pipe";
  }
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(channel[0]);
    std::string text;
    if (::geteuid() == 0 &&
        (::setgroups(1, &group) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)) {
      text = "could not become the other user";
    } else {
      try {
        action();
      } catch (const std::exception& error) {
        text = error.what();
      }
    }
    (void)!::write(channel[1], text.data(), text.size());
    ::_exit(0);
  }
  ::close(channel[1]);
  std::string text;
  char buffer[512];
  for (ssize_t got; (got = ::read(channel[0], buffer, sizeof buffer)) > 0;) {
    text.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(channel[0]);
  ::waitpid(child, nullptr, 0);
  return text;
}

}  // namespace lbe::testing
