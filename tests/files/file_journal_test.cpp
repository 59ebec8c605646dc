#include "files/file_journal.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "files/file_layer.h"
#include "files/journal_store.h"
#include "files/test_hooks.h"
#include "files/whole_file.h"
#include "interrupted_save.h"
#include "temp_folder.h"

namespace lbe::files {
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
  const std::string home = folder_.Full("ro/state");
  const std::string failure = testing::AsAnotherUser(kSaver, kSaver, kGroup, [&home] {
    ::setenv("HOME", home.c_str(), 1);  // the saver's own: XDG_STATE_HOME is the saver's too
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
}  // namespace lbe::files

namespace lbe::files {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// Two blocks, and saves across their boundary: a save cut short can leave one block written and
// the other not, as a kill or a power failure can.
const Bytes kFormer = Counting(8192, 1);
const FileStretch kAcross = {4094, 4, false};
const Bytes kNew = Text("wxyz");
const Bytes kHalfSaved = Join({Slice(kFormer, 0, 4094), Text("wx"), Slice(kFormer, 4096, 8192)});
// A longer save moves the bytes after the stretch first: cut short before its new bytes.
const Bytes kLonger = Text("wxyz12");
const Bytes kHalfMoved = Join({Slice(kFormer, 0, 4100), Slice(kFormer, 4098, 8192)});

// Saves and journals in a fresh folder; `Interrupt` leaves a save of "file.bin" cut short with
// its journal in the state folder, as a kill would.
class SafetyNet : public ::testing::Test {
 protected:
  void TearDown() override { SetFileCallHook(nullptr); }

  // The save of `bytes` over `stretch` killed just before it first writes into the file, which
  // then gets `half` (what a half-done write would have left).
  static void Interrupt(const std::string& name, FileStretch stretch, const Bytes& bytes,
                        const Bytes& half) {
    lbe::testing::InterruptSave(name, stretch, bytes, half);
  }
  static std::string StateJournal() {
    for (const auto& entry : fs::directory_iterator("state/lbe")) {
      return entry.path().native();
    }
    return "";
  }
  static std::string AllLines(const JournalReport& report) {
    std::string text;
    for (const std::string& line : report.Lines) {
      text += line + "\n";
    }
    return text;
  }

  lbe::testing::TemporaryWorkingFolder folder_;
};

// A journal is applied only when lbe certainly made it for this file, and anything else at a
// journal's name is left as it is, and said so.
TEST_F(SafetyNet, OnlyATrustedJournalIsApplied) {
  const bool root = ::geteuid() == 0;
  const struct {
    std::string label;
    bool needsRoot;
    std::function<void(const std::string& journal)> spoil;
    std::string said;  // a piece of the report; empty: the journal is applied
  } cases[] = {
      {"as lbe left it", false, [](const std::string&) {}, ""},
      {"owned by another user", true,
       [](const std::string& j) { ASSERT_EQ(::chown(j.c_str(), 4302, 4302), 0); },
       "it belongs to another user"},
      {"writable by its group", false,
       [](const std::string& j) { ASSERT_EQ(::chmod(j.c_str(), 0620), 0); }, "others may write it"},
      {"a symbolic link", false,
       [](const std::string& j) {
         fs::rename(j, "elsewhere");
         fs::create_symlink(fs::absolute("elsewhere"), j);
       },
       "it is a symbolic link"},
      {"a hard link", false, [](const std::string& j) { fs::create_hard_link(j, "second"); },
       "it has other links"},
      {"a FIFO", false,
       [](const std::string& j) {
         fs::remove(j);
         ASSERT_EQ(::mkfifo(j.c_str(), 0600), 0);
       },
       "it is not a regular file"},
      {"a bad checksum", false,
       [](const std::string& j) {
         Bytes bytes = lbe::testing::GetFile(j);
         bytes.back() ^= 1;
         lbe::testing::PutFile(j, bytes);
       },
       "its checksum does not match"},
      {"beside, for a copy that replaced the file at its path", false,
       [](const std::string& j) {
         fs::rename(j, "file.bin.lbe-journal");
         fs::copy_file("file.bin", "copy.bin");
         fs::rename("copy.bin", "file.bin");
       },
       "Left alone file.bin.lbe-journal: it was made for another file"},
      {"beside, made for another file", false,
       [](const std::string& j) {
         fs::remove(j);
         lbe::testing::PutFile("other.bin", kFormer);
         Interrupt("other.bin", kAcross, kNew, kHalfSaved);
         fs::rename(StateJournal(), "file.bin.lbe-journal");
       },
       "Left alone file.bin.lbe-journal: it was made for another file"},
      {"a state folder of another user's", true,
       [](const std::string&) { ASSERT_EQ(::chown("state/lbe", 4302, 4302), 0); },
       "/state/lbe: it belongs to another user"},
      {"a state folder reached through a link of the user's", false,
       [](const std::string&) {
         fs::rename("state/lbe", "state/real");
         fs::create_directory_symlink("real", "state/lbe");
       },
       ""},
      {"a state folder reached through another user's link", true,
       [](const std::string&) {
         fs::rename("state/lbe", "state/real");
         fs::create_directory_symlink("real", "state/lbe");
         ASSERT_EQ(::lchown("state/lbe", 4302, 4302), 0);
       },
       "cannot be trusted (it is reached through the symbolic link"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    if (c.needsRoot && !root) {
      std::printf("[   NOTE   ] not root: \"%s\" not tried\n", c.label.c_str());
      continue;
    }
    fs::remove_all("state");
    fs::remove_all("file.bin.lbe-journal");
    fs::remove_all("other.bin");
    lbe::testing::PutFile("file.bin", kFormer);
    Interrupt("file.bin", kAcross, kNew, kHalfSaved);
    const std::string journal = StateJournal();
    c.spoil(journal);
    const JournalReport report = SettleJournals("file.bin", false);
    EXPECT_EQ(lbe::testing::GetFile("file.bin"), c.said.empty() ? kFormer : kHalfSaved);
    EXPECT_EQ(report.RolledBack, c.said.empty());
    EXPECT_NE(AllLines(report).find(c.said), std::string::npos) << AllLines(report);
    if (!c.said.empty()) {
      EXPECT_TRUE(fs::exists(fs::symlink_status(journal)) || fs::exists("file.bin.lbe-journal"));
    }
  }
}

// A load through another link of the file finds the journal of its interrupted save and puts it
// back, so a later save through that link is never undone by a load through the first name.
TEST_F(SafetyNet, AStaleJournalNeverUndoesLaterChanges) {
  lbe::testing::PutFile("g1.bin", kFormer);
  fs::create_hard_link("g1.bin", "g1-link.bin");
  Interrupt("g1.bin", kAcross, kLonger, kHalfMoved);
  EXPECT_TRUE(SettleJournals("g1-link.bin", false).RolledBack);
  EXPECT_EQ(lbe::testing::GetFile("g1.bin"), kFormer);
  ReplaceStretch("g1-link.bin", {0, 10, true}, Bytes{'n', 'e', 'w'});
  EXPECT_FALSE(SettleJournals("g1.bin", false).RolledBack);
  EXPECT_EQ(lbe::testing::GetFile("g1.bin"), (Bytes{'n', 'e', 'w'}));
}

// The file changed where the cut-short save wrote (another user saved it since, say): nothing
// is put back, and the journal is set aside.
TEST_F(SafetyNet, AJournalThatNoLongerFitsIsSetAside) {
  lbe::testing::PutFile("file.bin", kFormer);
  Bytes changed = kHalfSaved;
  changed[4094] = 'Q';
  Interrupt("file.bin", kAcross, kNew, changed);
  const std::string journal = StateJournal();
  const JournalReport read = SettleJournals("file.bin", true);
  EXPECT_TRUE(fs::exists(journal)) << "a read-only load moved the journal";
  const JournalReport report = SettleJournals("file.bin", false);
  EXPECT_FALSE(report.RolledBack);
  EXPECT_EQ(lbe::testing::GetFile("file.bin")[4094], 'Q');
  EXPECT_FALSE(fs::exists(journal));
  EXPECT_TRUE(fs::exists(journal + ".set-aside"));
  EXPECT_NE(AllLines(report).find(".lbe-journal.set-aside."), std::string::npos)
      << AllLines(report);
  EXPECT_NE(AllLines(read).find("no longer fits"), std::string::npos) << AllLines(read);
}

// While another save holds the file's lock its journal is in use: the load fails and touches
// neither. A read-only load facing an interrupted save writes nothing and says so.
TEST_F(SafetyNet, AJournalInUseOrSeenReadOnlyIsLeftAlone) {
  lbe::testing::PutFile("file.bin", kFormer);
  Interrupt("file.bin", kAcross, kNew, kHalfSaved);
  const std::string journal = StateJournal();
  {
    FileDescriptor held(::open("file.bin", O_RDONLY));
    ASSERT_EQ(::flock(held.Get(), LOCK_EX), 0);
    EXPECT_THROW(SettleJournals("file.bin", false), FileError);
  }
  const JournalReport report = SettleJournals("file.bin", true);
  EXPECT_TRUE(report.Interrupted);
  EXPECT_FALSE(report.RolledBack);
  EXPECT_EQ(lbe::testing::GetFile("file.bin"), kHalfSaved);
  EXPECT_TRUE(fs::exists(journal));
}

// No to a save's question changes nothing: a pending journal stays as it is, the half-saved
// file too, and no state folder is made.
TEST_F(SafetyNet, NoToASaveQuestionChangesNothing) {
  lbe::testing::PutFile("file.bin", kFormer);
  Interrupt("file.bin", kAcross, kLonger, kHalfMoved);
  const std::string journal = StateJournal();
  const Bytes journalBytes = lbe::testing::GetFile(journal);
  SaveRequest request;
  request.Stretch = {0, 2, false};
  const Bytes bytes = Text("a");  // one byte for two: the rest would move
  request.Bytes = bytes;
  request.Ask = [](const SaveConcern&) { return false; };
  EXPECT_FALSE(ReplaceStretch("file.bin", request).Saved);
  EXPECT_EQ(lbe::testing::GetFile("file.bin"), kHalfMoved);
  EXPECT_EQ(lbe::testing::GetFile(journal), journalBytes);
  ::setenv("XDG_STATE_HOME", folder_.Full("fresh").c_str(), 1);
  EXPECT_FALSE(ReplaceStretch("file.bin", request).Saved);
  EXPECT_FALSE(fs::exists("fresh"));
  ::setenv("XDG_STATE_HOME", folder_.Full("state").c_str(), 1);
}

// A save of a file whose last save was cut short puts the former bytes back first, and saves
// over them: a half-moved tail never stays.
TEST_F(SafetyNet, ASaveRollsBackAnInterruptedSaveFirst) {
  lbe::testing::PutFile("file.bin", kFormer);
  Interrupt("file.bin", kAcross, kLonger, kHalfMoved);
  SaveRequest request;
  request.Stretch = {0, 2, false};
  const Bytes bytes = {'a', 'b'};
  request.Bytes = bytes;
  const SaveResult result = ReplaceStretch("file.bin", request);
  EXPECT_EQ(lbe::testing::GetFile("file.bin"), Join({Text("ab"), Slice(kFormer, 2, 8192)}));
  ASSERT_EQ(result.Notes.size(), 1u);
  EXPECT_EQ(
      result.Notes[0],
      "The last save of file.bin was interrupted; the file was put back as it was before it.");
  EXPECT_TRUE(fs::is_empty("state/lbe"));
}

// The order that makes a save safe: the journal whole and named on the disk before the file's
// first byte changes, the file on the disk before the journal goes.
TEST_F(SafetyNet, TheJournalReachesTheDiskBeforeTheFileChanges) {
  lbe::testing::PutFile("file.bin", kFormer);
  std::vector<std::string> calls;
  SetFileCallHook([&calls](int, std::string_view call) {
    calls.emplace_back(call);
    return 0;
  });
  ReplaceStretch("file.bin", {2, 3, false}, Bytes{'x', 'y', 'z'});
  EXPECT_EQ(calls, (std::vector<std::string>{
                       "open", "flock", "fstat",                       // the file, locked
                       "open",                                         // no journal beside it
                       "pread",                                        // which blocks change
                       "open", "pwrite", "pread", "pwrite", "pwrite",  // the unnamed journal
                       "ftruncate", "pwrite", "fdatasync", "linkat", "fsync",  // named, on disk
                       "pwrite", "fdatasync",  // the file's one block
                       "unlinkat"}));
}

// A save asks before it writes over what changed on disk since the load or the last save; no
// writes nothing, yes saves. Its own save updates what it knows, so the next asks nothing.
TEST_F(SafetyNet, ASaveAsksWhenTheFileChangedOnDisk) {
  const struct {
    std::string label;
    std::function<void()> change;
    SaveConcern::Kind asked;
  } cases[] = {
      {"written", [] { std::ofstream("f.bin", std::ios::binary | std::ios::in).write("Q", 1); },
       SaveConcern::ChangedOnDisk},
      {"appended", [] { std::ofstream("f.bin", std::ios::binary | std::ios::app).write("Q", 1); },
       SaveConcern::ChangedOnDisk},
      {"truncated", [] { fs::resize_file("f.bin", 4); }, SaveConcern::ChangedOnDisk},
      {"touched to another time, its bytes as they were",
       [] {
         const timespec times[2] = {{1, 0}, {1, 0}};
         ASSERT_EQ(::utimensat(AT_FDCWD, "f.bin", times, 0), 0);
       },
       SaveConcern::ChangedOnDisk},
      {"replaced by mv",
       [] {
         lbe::testing::PutFile("g.bin", kFormer);
         fs::rename("g.bin", "f.bin");
       },
       SaveConcern::OtherFile},
      {"saved by another lbe",
       [] {
         ReplaceStretch("f.bin", {0, 10, true}, Bytes(10, 'Z'));
       },
       SaveConcern::ChangedOnDisk},
  };
  for (const auto& c : cases) {
    for (const bool yes : {false, true}) {
      SCOPED_TRACE(c.label + (yes ? ", yes" : ", no"));
      lbe::testing::PutFile("f.bin", kFormer);
      const FilePiece loaded = ReadFilePiece("f.bin", 0, 65536);
      c.change();
      const Bytes changed = lbe::testing::GetFile("f.bin");
      std::vector<SaveConcern::Kind> asked;
      const Bytes ours(10, 'o');
      SaveRequest request{{0, kFormer.size(), true},
                          ours,
                          loaded.State,
                          [&](const SaveConcern& concern) {
                            asked.push_back(concern.What);
                            return yes;
                          },
                          {}};
      const SaveResult result = ReplaceStretch("f.bin", request);
      EXPECT_EQ(asked, std::vector<SaveConcern::Kind>{c.asked});
      EXPECT_EQ(result.Saved, yes);
      EXPECT_EQ(lbe::testing::GetFile("f.bin"), yes ? ours : changed);
      if (yes) {
        request.Expected = result.Now;
        asked.clear();
        EXPECT_TRUE(ReplaceStretch("f.bin", request).Saved);
        EXPECT_TRUE(asked.empty());
      }
    }
  }
}

}  // namespace
}  // namespace lbe::files

namespace lbe::files {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// Journals whose file cannot be reached wait for it: no load of another file touches them, and
// the file, when it is loaded again however it is named, is put back.
class JournalLookup : public SafetyNet {
 protected:
  static std::size_t JournalCount() {
    std::size_t count = 0;
    for (const auto& entry : fs::directory_iterator("state/lbe")) {
      count += entry.path().native().ends_with(".lbe-journal") ? 1 : 0;
    }
    return count;
  }
  // A header field of the journal at `path`, rewritten and sealed again.
  static void Rewrite(const std::string& path, std::size_t at, std::uint64_t value) {
    Bytes bytes = lbe::testing::GetFile(path);
    std::memcpy(bytes.data() + at, &value, sizeof value);
    ASSERT_TRUE(SealJournalBytes(bytes));
    lbe::testing::PutFile(path, bytes);
  }
};

TEST_F(JournalLookup, AJournalWaitsForItsFileWhereverItWent) {
  const struct {
    std::string label;
    std::string saved;                  // the name the interrupted save used
    std::function<std::string()> move;  // what happens to the file; the name to load by
  } cases[] = {
      {"renamed", "file.bin",
       [] {
         fs::rename("file.bin", "moved.bin");
         return std::string("moved.bin");
       }},
      {"saved through a link and ..", "lnk/../file.bin",
       [] { return std::string("sub/file.bin"); }},
      {"its file system back under another device number", "file.bin",
       [] {
         Rewrite(StateJournal(), 8, 4242);  // the header's device; the name holds none
         return std::string("file.bin");
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    fs::remove_all("state");
    fs::remove_all("sub");
    fs::remove_all("lnk");
    fs::create_directories("sub/inner");
    fs::create_directory_symlink("sub/inner", "lnk");
    const std::string real = c.saved.starts_with("lnk") ? "sub/file.bin" : "file.bin";
    lbe::testing::PutFile(real, kFormer);
    lbe::testing::PutFile("other.bin", kFormer);
    Interrupt(c.saved, kAcross, kNew, kHalfSaved);
    const std::string loadBy = c.move();
    EXPECT_FALSE(SettleJournals("other.bin", false).RolledBack);
    EXPECT_EQ(JournalCount(), 1u) << "a load of another file touched the journal";
    EXPECT_TRUE(SettleJournals(loadBy, false).RolledBack);
    EXPECT_EQ(lbe::testing::GetFile(loadBy), kFormer);
    EXPECT_EQ(JournalCount(), 0u);
  }
}

// A state folder is made only inside folders of the user's own: never in a shared one (here
// root's, sticky and open to all), where the save journals beside the file instead.
TEST_F(JournalLookup, FoldersAreMadeOnlyInsideTheUsersOwn) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "not root: no other user to save as";
  }
  fs::create_directories("shared");
  fs::create_directories("mine");
  ASSERT_EQ(::chmod("shared", 01777), 0);
  ASSERT_EQ(::chown("mine", 65534, 65534), 0);
  ASSERT_EQ(::chmod(folder_.Path().c_str(), 0755), 0);
  lbe::testing::PutFile("mine/file.bin", kFormer);
  ASSERT_EQ(::chown("mine/file.bin", 65534, 65534), 0);
  const std::string home = folder_.Full("mine");
  const std::string state = folder_.Full("shared/state");
  std::vector<std::string> calls;
  const std::string failure = testing::AsAnotherUser(65534, 65534, 65534, [&] {
    ::setenv("HOME", home.c_str(), 1);
    ::setenv("XDG_STATE_HOME", state.c_str(), 1);
    ReplaceStretch(home + "/file.bin", kAcross, kNew);
  });
  EXPECT_EQ(failure, "");
  EXPECT_TRUE(fs::is_empty("shared"));
  EXPECT_EQ(lbe::testing::GetFile("mine/file.bin"),
            Join({Slice(kFormer, 0, 4094), kNew, Slice(kFormer, 4098, 8192)}));
}

// A journal the version before wrote, under its former name and header, is still applied.
TEST_F(JournalLookup, AJournalOfTheVersionBeforeIsApplied) {
  lbe::testing::PutFile("file.bin", kFormer);
  Interrupt("file.bin", kAcross, kNew, kHalfSaved);
  const std::string journal = StateJournal();
  Bytes bytes = lbe::testing::GetFile(journal);
  std::memcpy(bytes.data(), "LBEJRNL2", 8);
  bytes.erase(bytes.begin() + 104, bytes.begin() + 112);  // no file system id
  bytes.insert(bytes.begin() + 4088, 8, 0);               // the bytes still from 4096 on
  ASSERT_TRUE(SealJournalBytes(bytes));
  fs::remove(journal);
  struct stat info {};
  ASSERT_EQ(::stat("file.bin", &info), 0);
  lbe::testing::PutFile("state/lbe/" + std::to_string(info.st_dev) + "-" +
                            std::to_string(info.st_ino) + ".lbe-journal",
                        bytes);
  EXPECT_TRUE(SettleJournals("file.bin", false).RolledBack);
  EXPECT_EQ(lbe::testing::GetFile("file.bin"), kFormer);
  EXPECT_TRUE(fs::is_empty("state/lbe"));
}

// A journal of the version before this one, the same header sealed with FNV-1a over 8-byte words,
// is still applied; this version's header with that seal is refused, the file left as it is.
TEST_F(JournalLookup, AJournalSealedAsTheVersionBeforeIsAppliedUnderItsOwnVersionOnly) {
  const struct {
    const char* version;
    bool rolledBack;
  } cases[] = {{"LBEJRNL3", true}, {"LBEJRNL4", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.version);
    lbe::testing::PutFile("file.bin", kFormer);
    Interrupt("file.bin", kAcross, kNew, kHalfSaved);
    const std::string journal = StateJournal();
    Bytes bytes = lbe::testing::GetFile(journal);
    std::memcpy(bytes.data(), c.version, 8);
    std::memset(bytes.data() + 96, 0, 8);  // the checksum's own field
    std::uint64_t sum = 0xcbf29ce484222325u;
    std::size_t at = 0;
    for (; at + 8 <= bytes.size(); at += 8) {
      std::uint64_t word = 0;
      std::memcpy(&word, bytes.data() + at, 8);
      sum = (sum ^ word) * 0x100000001b3u;
    }
    for (; at < bytes.size(); ++at) {
      sum = (sum ^ bytes[at]) * 0x100000001b3u;
    }
    std::memcpy(bytes.data() + 96, &sum, 8);
    lbe::testing::PutFile(journal, bytes);
    EXPECT_EQ(SettleJournals("file.bin", false).RolledBack, c.rolledBack);
    EXPECT_EQ(lbe::testing::GetFile("file.bin") == kFormer, c.rolledBack);
    fs::remove_all("state/lbe");
    fs::create_directories("state/lbe");
    fs::permissions("state/lbe", fs::perms::owner_all);
  }
}

// A save that means to create a file (--check -o, --convert, S of a name that named nothing)
// never opens what another user put at that name in a shared sticky folder; the file the user
// loaded there is saved as ever.
TEST_F(JournalLookup, AFileMeantToBeNewIsNotAnotherUsersInASharedFolder) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "not root: no other user to plant a file";
  }
  fs::create_directories("shared");
  ASSERT_EQ(::chmod("shared", 01777), 0);
  lbe::testing::PutFile("shared/planted.bin", Text("theirs"));
  ASSERT_EQ(::chown("shared/planted.bin", 65534, 65534), 0);
  try {
    WriteWholeFile("shared/planted.bin", Text("ours"));
    ADD_FAILURE() << "another user's file was written";
  } catch (const FileError& error) {
    EXPECT_NE(std::string(error.what()).find("Permission denied"), std::string::npos)
        << error.what();
  }
  EXPECT_EQ(lbe::testing::GetFile("shared/planted.bin"), Text("theirs"));
  SaveRequest loaded;
  loaded.Stretch = {0, 6, true};
  const Bytes ours = Text("ours");
  loaded.Bytes = ours;
  loaded.Expected = ReadFilePiece("shared/planted.bin", 0, 65536).State;
  EXPECT_TRUE(ReplaceStretch("shared/planted.bin", loaded).Saved);
  EXPECT_EQ(lbe::testing::GetFile("shared/planted.bin"), ours);
  // Nor does a new output follow another user's link there to a place of the user's own.
  fs::create_directories("mine");
  fs::create_symlink("../mine/made.bin", "shared/link.bin");
  ASSERT_EQ(::lchown("shared/link.bin", 65534, 65534), 0);
  EXPECT_THROW(WriteWholeFile("shared/link.bin", ours), FileError);
  EXPECT_TRUE(fs::is_empty("mine"));
}

// A save with no XDG_STATE_HOME journals in the home's own state folder and leaves nothing
// there; a file that appears at a new name between the look and the create is never written.
TEST_F(JournalLookup, ASaveLeavesNothingBehindAndTakesNothingUnasked) {
  ::unsetenv("XDG_STATE_HOME");
  const std::string state = std::string(std::getenv("HOME")) + "/.local/state/lbe";
  ReplaceStretch("new.bin", {0, 0, true}, kNew);
  EXPECT_TRUE(fs::is_directory(state));
  EXPECT_TRUE(fs::is_empty(state));
  int opens = 0;
  SetFileCallHook([&opens](int, std::string_view call) {
    if (call == "open" && ++opens == 2) {
      lbe::testing::PutFile("late.bin", Text("theirs"));  // between the look and the create
    }
    return 0;
  });
  EXPECT_THROW(ReplaceStretch("late.bin", {0, 0, true}, kNew), FileError);
  SetFileCallHook(nullptr);
  EXPECT_EQ(lbe::testing::GetFile("late.bin"), Text("theirs"));
  ::setenv("XDG_STATE_HOME", folder_.Full("state").c_str(), 1);
}

// A journal written under one environment is found under another: without XDG_STATE_HOME (as
// cron runs), under another XDG_STATE_HOME, and under another HOME of the user's.
TEST_F(JournalLookup, AnotherEnvironmentFindsTheJournal) {
  const struct {
    std::string label;
    std::function<void()> change;
  } cases[] = {
      {"no XDG_STATE_HOME", [] { ::unsetenv("XDG_STATE_HOME"); }},
      {"another XDG_STATE_HOME",
       [this] { ::setenv("XDG_STATE_HOME", folder_.Full("other").c_str(), 1); }},
  };
  const std::string home = std::getenv("HOME");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    ::setenv("XDG_STATE_HOME", folder_.Full("state").c_str(), 1);
    fs::remove_all("state");
    lbe::testing::PutFile("file.bin", kFormer);
    Interrupt("file.bin", kAcross, kNew, kHalfSaved);
    c.change();
    EXPECT_TRUE(SettleJournals("file.bin", false).RolledBack);
    EXPECT_EQ(lbe::testing::GetFile("file.bin"), kFormer);
  }
  // A list of state folders that others may write names none.
  ::setenv("XDG_STATE_HOME", folder_.Full("state").c_str(), 1);
  Interrupt("file.bin", kAcross, kNew, kHalfSaved);
  ASSERT_EQ(::chmod((home + "/.local/state/lbe/state-folders").c_str(), 0666), 0);
  ::setenv("XDG_STATE_HOME", folder_.Full("other").c_str(), 1);
  EXPECT_FALSE(SettleJournals("file.bin", false).RolledBack);
  ::setenv("XDG_STATE_HOME", folder_.Full("state").c_str(), 1);
}

// One number alone never makes a journal another file's: a disk that takes the same device
// number with another file system, or a clone of the disk mounted elsewhere, leaves it alone,
// waiting for its own file.
TEST_F(JournalLookup, OneNumberAloneIsNoWitness) {
  const struct {
    std::string label;
    std::size_t at;  // the header field rewritten: the device, or the file system id
    bool otherPath;
  } cases[] = {
      {"another file system under the same device number", 104, false},
      {"a clone of the disk at another path", 8, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    fs::remove_all("state");
    lbe::testing::PutFile("file.bin", kFormer);
    Interrupt("file.bin", kAcross, kNew, kHalfSaved);
    const std::string journal = StateJournal();
    Rewrite(journal, c.at, 4242);
    if (c.otherPath) {
      Bytes bytes = lbe::testing::GetFile(journal);
      bytes[112] = 'X';  // the path's first byte: "X..." is no path this file has
      ASSERT_TRUE(SealJournalBytes(bytes));
      lbe::testing::PutFile(journal, bytes);
    }
    const JournalReport report = SettleJournals("file.bin", false);
    EXPECT_FALSE(report.RolledBack);
    EXPECT_EQ(lbe::testing::GetFile("file.bin"), kHalfSaved);
    EXPECT_TRUE(fs::exists(journal)) << "the journal of another file was moved or removed";
  }
}

// A folder deeper than the system can name in one path: the save journals and its roll-back
// needs no path.
TEST_F(JournalLookup, APathLongerThanTheSystemNamesIsRolledBack) {
  const std::string level(250, 'd');
  const fs::path top = fs::current_path();
  int depth = 0;
  for (; depth < 18; ++depth) {
    ASSERT_EQ(::mkdir(level.c_str(), 0700), 0);
    ASSERT_EQ(::chdir(level.c_str()), 0);
  }
  lbe::testing::PutFile("file.bin", kFormer);
  Interrupt("file.bin", kAcross, kNew, kHalfSaved);
  const JournalReport read = SettleJournals("file.bin", true);
  const bool rolledBack = SettleJournals("file.bin", false).RolledBack;
  const Bytes after = lbe::testing::GetFile("file.bin");
  // Without a path to tell by, a copy that replaced the file is another file: its journal,
  // beside it since the state folder is refused, is left alone.
  ASSERT_EQ(::chmod(folder_.Full("state/lbe").c_str(), 0777), 0);
  lbe::testing::PutFile("second.bin", kFormer);
  Interrupt("second.bin", kAcross, kNew, kHalfSaved);
  fs::copy_file("second.bin", "copy.bin");
  fs::rename("copy.bin", "second.bin");
  const JournalReport replaced = SettleJournals("second.bin", false);
  const Bytes second = lbe::testing::GetFile("second.bin");
  ::unlink("second.bin.lbe-journal");
  ::unlink("second.bin");
  ::unlink("file.bin");
  for (; depth > 0; --depth) {
    ASSERT_EQ(::chdir(".."), 0);
    ASSERT_EQ(::rmdir(level.c_str()), 0);
  }
  fs::current_path(top);
  EXPECT_TRUE(read.Interrupted);
  EXPECT_TRUE(rolledBack);
  EXPECT_EQ(after, kFormer);
  EXPECT_FALSE(replaced.RolledBack);
  EXPECT_NE(AllLines(replaced).find("it was made for another file"), std::string::npos)
      << AllLines(replaced);
  EXPECT_EQ(second, kHalfSaved);
}

// Under another user's HOME (sudo -E) nothing is made in that home: the state folder is the
// effective user's own, from the user database, and a load under the user's own HOME finds a
// journal written there.
TEST_F(JournalLookup, AnotherUsersHomeIsLeftAlone) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "not root: no other user's home to try";
  }
  fs::create_directories("alice");
  fs::create_directories("own");
  ASSERT_EQ(::chown("alice", 4302, 4302), 0);
  lbe::testing::PutFile("passwd",
                        Text("alice:x:4302:4302::" + folder_.Full("alice") +
                             ":/bin/sh\nroot:x:0:0:root:" + folder_.Full("own") + ":/bin/sh\n"));
  SetUserDatabase(folder_.Full("passwd"));
  ::setenv("HOME", folder_.Full("alice").c_str(), 1);
  ::setenv("XDG_STATE_HOME", folder_.Full("alice/.xdg").c_str(), 1);
  lbe::testing::PutFile("file.bin", kFormer);
  Interrupt("file.bin", kAcross, kNew, kHalfSaved);
  EXPECT_TRUE(fs::is_empty("alice"));
  EXPECT_FALSE(fs::is_empty("own/.local/state/lbe"));
  ::setenv("HOME", folder_.Full("own").c_str(), 1);
  ::unsetenv("XDG_STATE_HOME");
  EXPECT_TRUE(SettleJournals("file.bin", false).RolledBack);
  EXPECT_EQ(lbe::testing::GetFile("file.bin"), kFormer);
  SetUserDatabase("");
}

// What the file holds where the save wrote decides: blocks the save could have left (all former,
// all new, or new sectors at one end of a torn block, in any order of blocks) are put back; a
// mix that no write of the save leaves is another writer's, and the journal is set aside.
TEST_F(JournalLookup, OnlyWhatTheSavesOwnWritesLeaveIsRolledBack) {
  const Bytes former = Counting(3 * 4096, 1);
  const Bytes saved(3 * 4096, 0);  // the save zeroes all three blocks
  const auto with = [&](std::initializer_list<std::pair<std::size_t, std::size_t>> zeroed) {
    Bytes bytes = former;
    for (const auto& [from, to] : zeroed) {
      std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                bytes.begin() + static_cast<std::ptrdiff_t>(to), 0);
    }
    return bytes;
  };
  const struct {
    std::string label;
    Bytes now;
    bool rolledBack;
  } cases[] = {
      {"nothing written", former, true},
      {"the last block only", with({{8192, 12288}}), true},
      {"the first and last blocks", with({{0, 4096}, {8192, 12288}}), true},
      {"a block torn after three sectors", with({{4096, 4096 + 1536}}), true},
      {"a block torn before its last sector", with({{8192 - 512, 8192}}), true},
      {"another writer's zeros inside a sector", with({{256, 260}}), false},
      {"new sectors in the middle of a block", with({{4096 + 1024, 4096 + 2048}}), false},
      {"new sectors in the middle of the last block", with({{8192 + 1024, 8192 + 2048}}), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    fs::remove_all("state");
    lbe::testing::PutFile("file.bin", former);
    Interrupt("file.bin", {0, former.size(), false}, saved, c.now);
    const JournalReport report = SettleJournals("file.bin", false);
    EXPECT_EQ(report.RolledBack, c.rolledBack);
    EXPECT_EQ(lbe::testing::GetFile("file.bin"), c.rolledBack ? former : c.now);
    EXPECT_EQ(AllLines(report).find("set aside") != std::string::npos, !c.rolledBack)
        << AllLines(report);
  }
}

}  // namespace
}  // namespace lbe::files
