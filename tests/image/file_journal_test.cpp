#include "image/file_journal.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "image/file_layer.h"
#include "image/test_hooks.h"
#include "temp_folder.h"

namespace lbe::image {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

Bytes Text(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

Bytes Counting(std::size_t count, std::uint8_t step) {
  Bytes bytes(count);
  for (std::size_t i = 0; i < count; ++i) {
    bytes[i] = static_cast<std::uint8_t>(i * step + i / 251);
  }
  return bytes;
}

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes joined;
  for (const Bytes& part : parts) {
    joined.insert(joined.end(), part.begin(), part.end());
  }
  return joined;
}

Bytes Slice(const Bytes& bytes, std::size_t from, std::size_t to) {
  return Bytes(bytes.begin() + from, bytes.begin() + to);
}

// One save: the file before it (none when `former` is empty), the stretch, the new bytes, and
// the file afterwards.
struct SaveCase {
  std::string label;
  std::optional<Bytes> former;
  FileStretch stretch;
  Bytes bytes;
  Bytes expected;
};

const Bytes kTen = Text("ABCDEFGHIJ");
// Longer than two of the chunks the tail moves in, so that chunks overlap their own destination
// and their order counts.
const Bytes kLong = Counting((std::size_t{5} << 19) + 5, 7);

std::vector<SaveCase> SaveCases() {
  return {
      {"same length inside", kTen, {2, 3, false}, Text("xyz"), Text("ABxyzFGHIJ")},
      {"longer: the tail moves up", kTen, {2, 3, false}, Text("wxyz12"), Text("ABwxyz12FGHIJ")},
      {"shorter: the tail moves down", kTen, {2, 3, false}, Text("q"), Text("ABqFGHIJ")},
      {"nothing in place of the stretch", kTen, {2, 3, false}, {}, Text("ABFGHIJ")},
      {"to the end, shorter", kTen, {2, 0, true}, Text("xy"), Text("ABxy")},
      {"to the end, longer", kTen, {2, 0, true}, Text("0123456789ab"), Text("AB0123456789ab")},
      {"whole file", kTen, {0, 0, true}, Text("new"), Text("new")},
      {"beyond the end: zeros before",
       kTen,
       {12, 0, true},
       Text("z"),
       Text(std::string_view("ABCDEFGHIJ\0\0z", 13))},
      {"a stretch the file no longer has", kTen, {8, 5, false}, Text("xy"), Text("ABCDEFGHxy")},
      {"a new file", std::nullopt, {0, 0, true}, Text("abc"), Text("abc")},
      {"a new file at an offset",
       std::nullopt,
       {4, 0, true},
       Text("abc"),
       Text(std::string_view("\0\0\0\0abc", 7))},
      {"empty over empty", Bytes{}, {0, 0, true}, {}, {}},
      {"a long tail moves up",
       kLong,
       {100, 8, false},
       Text("0123456789"),
       Join({Slice(kLong, 0, 100), Text("0123456789"), Slice(kLong, 108, kLong.size())})},
      {"a long tail moves down",
       kLong,
       {100, 8, false},
       Text("012"),
       Join({Slice(kLong, 0, 100), Text("012"), Slice(kLong, 108, kLong.size())})},
  };
}

class FileJournal : public ::testing::Test {
 protected:
  void TearDown() override { SetFileCallHook(nullptr); }
  static void Prepare(const SaveCase& c) {
    fs::remove("file.bin");
    if (c.former) {
      lbe::testing::PutFile("file.bin", *c.former);
    }
  }
  static std::optional<Bytes> File() {
    if (!fs::exists("file.bin")) {
      return std::nullopt;
    }
    return lbe::testing::GetFile("file.bin");
  }
  // Names in a folder (the working folder without the state folder): a journal left behind
  // shows here.
  static std::vector<std::string> Names(const std::string& folder = ".") {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(folder, ignored)) {
      if (entry.path().filename() != "state") {
        names.push_back(entry.path().filename().native());
      }
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  static std::vector<std::string> Journals() { return Names("state/lbe"); }
  // The number of file-system calls a save of `c` makes.
  static int CallsOf(const SaveCase& c) {
    Prepare(c);
    int calls = 0;
    SetFileCallHook([&calls](int number, std::string_view) {
      calls = number;
      return 0;
    });
    ReplaceStretch("file.bin", c.stretch, c.bytes);
    SetFileCallHook(nullptr);
    return calls;
  }

  lbe::testing::TemporaryWorkingFolder folder_;
};

TEST_F(FileJournal, TheBytesReplaceExactlyTheStretch) {
  for (const SaveCase& c : SaveCases()) {
    SCOPED_TRACE(c.label);
    Prepare(c);
    const FileStretch written = ReplaceStretch("file.bin", c.stretch, c.bytes);
    EXPECT_EQ(File(), c.expected);
    EXPECT_EQ(written.Offset, c.stretch.Offset);
    EXPECT_EQ(written.Length, c.bytes.size());
    EXPECT_EQ(written.ToEnd, c.stretch.ToEnd);
    EXPECT_EQ(Names(), std::vector<std::string>{"file.bin"});
  }
}

// A failure at any one call of a save: the save reports it and the file is as it was, with no
// journal left. A failure of every call from there on (a disk gone): the journal stays, and the
// next load puts the file back.
TEST_F(FileJournal, AFailureAtAnyCallLeavesTheFormerFile) {
  for (const SaveCase& c : SaveCases()) {
    const int calls = CallsOf(c);
    ASSERT_GE(calls, 3) << c.label;
    for (const bool lasting : {false, true}) {
      for (int failing = 1; failing <= calls; ++failing) {
        SCOPED_TRACE(::testing::Message() << c.label << ", call " << failing << " of " << calls
                                          << (lasting ? " and all after it" : ""));
        Prepare(c);
        SetFileCallHook([failing, lasting](int number, std::string_view) {
          return number == failing || (lasting && number > failing) ? EIO : 0;
        });
        bool failed = false;
        try {
          ReplaceStretch("file.bin", c.stretch, c.bytes);
        } catch (const FileError& error) {
          failed = true;
          EXPECT_NE(std::string(error.what()), "");
        }
        SetFileCallHook(nullptr);
        if (lasting && failed) {
          // The load after it: puts the former bytes back, or keeps the new ones when the save
          // had written them all and failed only at the journal's removal.
          SettleJournals("file.bin", false);
          EXPECT_TRUE(File() == c.former || File() == c.expected);
        } else {
          EXPECT_EQ(File(), failed ? c.former : c.expected);
        }
        EXPECT_EQ(Names(),
                  File() ? std::vector<std::string>{"file.bin"} : std::vector<std::string>{});
        EXPECT_EQ(Journals(), std::vector<std::string>{});
      }
    }
  }
}

// A save killed at any call (SIGKILL, a power cut): the file holds the former bytes or the new
// ones, or its journal is there and the next load puts the former bytes back. A new file may
// be left empty when the kill came before its journal was written.
TEST_F(FileJournal, AKillAtAnyCallIsUndoneOnTheNextLoad) {
  int rolledBackSaves = 0;
  int finishedSaves = 0;
  for (const SaveCase& c : SaveCases()) {
    const int calls = CallsOf(c);
    for (int killed = 1; killed <= calls; ++killed) {
      SCOPED_TRACE(::testing::Message() << c.label << ", killed at call " << killed);
      Prepare(c);
      const pid_t child = ::fork();
      if (child == 0) {
        SetFileCallHook([killed](int number, std::string_view) {
          if (number == killed) {
            ::_exit(0);
          }
          return 0;
        });
        ReplaceStretch("file.bin", c.stretch, c.bytes);
        ::_exit(1);
      }
      int status = 0;
      ASSERT_EQ(::waitpid(child, &status, 0), child);
      ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the kill never came";
      const bool journalLeft = !Journals().empty();
      const std::optional<Bytes> before = File();
      const bool rolledBack = SettleJournals("file.bin", false).RolledBack;
      EXPECT_EQ(Journals(), std::vector<std::string>{});
      if (!journalLeft) {
        EXPECT_FALSE(rolledBack);
        EXPECT_TRUE(before == c.former || before == c.expected || (!c.former && before == Bytes{}));
      } else if (rolledBack) {
        ++rolledBackSaves;
        EXPECT_TRUE(File() == c.former || (!c.former && File() == Bytes{}));
      } else {
        // A save complete but for the journal's removal, which the load finishes.
        finishedSaves += File() == c.expected && c.former != c.expected ? 1 : 0;
        EXPECT_TRUE(File() == c.former || File() == c.expected || (!c.former && File() == Bytes{}));
      }
    }
  }
  EXPECT_GT(rolledBackSaves, 50);  // most kills come between the journal and its removal
  EXPECT_GT(finishedSaves, 5);
}

// A write that stops part-way: the file size limit lets the kernel write the first part of the
// new bytes, then fails the rest. The former file must come back at once (putting back writes
// only what the save changed, so the same limit does not stop it) and no journal stay behind.
TEST_F(FileJournal, AWriteThatStopsPartWayIsUndone) {
  const Bytes former = Counting(16384, 3);
  lbe::testing::PutFile("keep.bin", former);
  rlimit formerLimit{};
  ::getrlimit(RLIMIT_FSIZE, &formerLimit);
  rlimit limit = formerLimit;
  limit.rlim_cur = 14000;  // the journal (its header, old and new bytes) fits, the window not
  const auto formerHandler = std::signal(SIGXFSZ, SIG_DFL);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
  std::string message;
  try {
    ReplaceStretch("keep.bin", FileStretch{12288, 4096, false}, Bytes(4096, 0x55));
  } catch (const FileError& error) {
    message = error.what();
  }
  ::setrlimit(RLIMIT_FSIZE, &formerLimit);
  std::signal(SIGXFSZ, formerHandler);
  EXPECT_EQ(message, "ストリームへの書き込みエラー: File too large");
  EXPECT_EQ(lbe::testing::GetFile("keep.bin"), former);
  EXPECT_EQ(Names(), std::vector<std::string>{"keep.bin"});
}

// Puts `text` under the extended attribute user.lbe-test; false where the file system has none.
bool SetTestAttribute(const char* name, std::string_view text) {
  return ::setxattr(name, "user.lbe-test", text.data(), text.size(), 0) == 0;
}

std::string TestAttribute(const char* name) {
  char value[64] = {};
  const ssize_t size = ::getxattr(name, "user.lbe-test", value, sizeof value);
  return size < 0 ? "" : std::string(value, static_cast<std::size_t>(size));
}

// The output of a shell command, "" when it failed.
std::string Output(const std::string& command) {
  std::string text;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[256];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
      text.append(buffer, got);
    }
    if (::pclose(pipe) != 0) {
      text.clear();
    }
  }
  return text;
}

TEST_F(FileJournal, TheFileKeepsItsIdentity) {
  lbe::testing::PutFile("data.bin", Text("0123456789"));
  ASSERT_EQ(::chmod("data.bin", 0640), 0);
  fs::create_hard_link("data.bin", "hard.bin");
  fs::create_symlink("data.bin", "soft.bin");
  const bool attributes = SetTestAttribute("data.bin", "kept");
  const bool acl = std::system("setfacl -m u:65534:rw data.bin 2>/dev/null") == 0;
  const std::string aclBefore = Output("getfacl -cpn data.bin 2>/dev/null");
  struct stat before {};
  ASSERT_EQ(::stat("data.bin", &before), 0);

  ReplaceStretch("soft.bin", FileStretch{}, Text("new"));

  struct stat after {};
  ASSERT_EQ(::stat("data.bin", &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mode, before.st_mode);
  EXPECT_EQ(after.st_uid, before.st_uid);
  EXPECT_EQ(after.st_gid, before.st_gid);
  EXPECT_EQ(after.st_nlink, 2u);
  EXPECT_EQ(lbe::testing::GetFile("hard.bin"), Text("new"));
  EXPECT_TRUE(fs::is_symlink("soft.bin"));
  if (attributes) {
    EXPECT_EQ(TestAttribute("data.bin"), "kept");
  } else {
    std::printf("[   NOTE   ] no user extended attributes on this file system\n");
  }
  if (acl) {
    EXPECT_NE(aclBefore.find("user:65534:rw-"), std::string::npos) << aclBefore;
    EXPECT_EQ(Output("getfacl -cpn data.bin 2>/dev/null"), aclBefore);
  } else {
    std::printf(
        "[   NOTE   ] no setfacl here (Debian package acl), or no ACLs on this file system\n");
  }
}

// An ordinary user saves a group-writable file of another user, in a folder that user may not
// write: the journal goes to the user's state folder, and owner, group and mode stay.
TEST_F(FileJournal, AnotherUsersFileInAReadOnlyFolder) {
  constexpr uid_t kOwner = 4301;
  constexpr uid_t kSaver = 4302;
  constexpr gid_t kGroup = 4303;
  const bool root = ::geteuid() == 0;
  fs::create_directories("ro/state");
  lbe::testing::PutFile("ro/rom.bin", Text("ABCDEFGHIJ"));
  ASSERT_EQ(::chmod("ro/rom.bin", 0664), 0);
  if (root) {
    ASSERT_EQ(::chown("ro/rom.bin", kOwner, kGroup), 0);
    ASSERT_EQ(::chown("ro/state", kSaver, kSaver), 0);
    ASSERT_EQ(::chmod(folder_.Path().c_str(), 0755), 0);
  }
  ASSERT_EQ(::chmod("ro", 0555), 0);
  ::setenv("XDG_STATE_HOME", folder_.Full("ro/state").c_str(), 1);
  const std::string failure = testing::AsAnotherUser(kSaver, kSaver, kGroup, [] {
    ReplaceStretch("ro/rom.bin", FileStretch{2, 3, false}, Text("xyz"));
  });
  ::chmod("ro", 0755);
  EXPECT_EQ(failure, "");
  EXPECT_EQ(lbe::testing::GetFile("ro/rom.bin"), Text("ABxyzFGHIJ"));
  struct stat info {};
  ASSERT_EQ(::stat("ro/rom.bin", &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0664u);
  if (root) {
    EXPECT_EQ(info.st_uid, kOwner);
    EXPECT_EQ(info.st_gid, kGroup);
  } else {
    std::printf("[   NOTE   ] not root: saved as the file's own user, owner change not tried\n");
  }
  EXPECT_TRUE(fs::is_empty("ro/state/lbe"));  // the journal was made there, and removed
}

}  // namespace
}  // namespace lbe::image
