#include "files/journal_list.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "files/test_hooks.h"
#include "interrupted_save.h"
#include "temp_folder.h"

namespace lbe::files {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

TEST(JournalList, TheMountThatHoldsAPath) {
  const std::string table =
      "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
      "40 22 0:44 / /mnt/nas rw,relatime shared:20 master:3 - nfs4 srv:/export rw\n"
      "41 22 0:45 / /mnt/my\\040disk rw - cifs //srv/share rw\n"
      "42 22 0:46 / /data rw - ext4 /dev/sdb1 rw\n"
      "43 42 0:47 / /data rw - fuse.sshfs me@srv: rw\n"
      "44 22 0:48 / /media/usb rw - vfat /dev/sdc1 rw\n"
      "broken line without its separator\n";
  const struct {
    std::string path;
    std::string type;
  } cases[] = {
      {"/mnt/nas/rom.bin", "nfs4"},
      {"/mnt/nas", "nfs4"},
      {"/mnt/nasty/rom.bin", "ext4"},
      {"/mnt/my disk/rom.bin", "cifs"},
      {"/data/x/rom.bin", "fuse.sshfs"},  // the last one mounted there is on top
      {"/media/usb2/a", "ext4"},
      {"/home/me/rom.bin", "ext4"},
      {"rom.bin", ""},  // no mount holds a relative path
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(MountTypeOf(table, c.path), c.type);
  }
  EXPECT_EQ(MountTypeOf("", "/home/me/rom.bin"), "");
}

TEST(JournalList, FileSystemsThatMayKeepALookWaiting) {
  const struct {
    const char* type;
    bool mayWait;
  } cases[] = {
      {"nfs", true},    {"nfs4", true},     {"cifs", true},       {"smb3", true},
      {"smbfs", true},  {"9p", true},       {"ceph", true},       {"afs", true},
      {"sshfs", true},  {"fuse", true},     {"fuse.sshfs", true}, {"fuseblk", true},
      {"autofs", true}, {"ext4", false},    {"xfs", false},       {"btrfs", false},
      {"tmpfs", false}, {"overlay", false}, {"fusectl", false},   {"", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.type);
    EXPECT_EQ(MayWaitOnOthers(c.type), c.mayWait);
  }
}

TEST(JournalList, NamesOfJournals) {
  const struct {
    const char* name;
    bool journal;
    bool setAside;
  } cases[] = {
      {"2049-131-00ab-99ff.lbe-journal", true, false},
      {"2049-131.lbe-journal", true, false},
      {"2049-131.lbe-journal.set-aside", true, true},
      {"2049-131.lbe-journal.set-aside.12", true, true},
      {"2049-131.lbe-journal.set-aside.", false, false},
      {"2049-131.lbe-journal.set-aside.x", false, false},
      {".lbe-journal", false, false},
      {".lbe-journal.set-aside", false, false},
      {"typed-0123.lbe-sums", false, false},
      {"2049-131.lbe-journal.new-77", false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(IsJournalName(c.name), c.journal);
    EXPECT_EQ(IsSetAsideName(c.name), c.setAside);
  }
}

using lbe::testing::HalfSaved;
using lbe::testing::kAcross;
using lbe::testing::kFormer;
using lbe::testing::kNew;

constexpr std::int64_t kDay = 24 * 60 * 60;

class WaitingJournals : public ::testing::Test {
 protected:
  void TearDown() override { SetFileCallHook(nullptr); }

  // An interrupted save of "file.bin", its journal last changed at `modified`: its name.
  std::string Journal(std::int64_t modified) {
    lbe::testing::PutFile("file.bin", kFormer);
    lbe::testing::InterruptSave("file.bin", kAcross, kNew, HalfSaved());
    const std::string name = lbe::testing::OnlyStateJournal();
    const timespec times[2] = {{modified, 0}, {modified, 0}};
    EXPECT_EQ(::utimensat(AT_FDCWD, ("state/lbe/" + name).c_str(), times, 0), 0);
    return name;
  }
  // A mount table with the temporary folder mounted as `type`.
  std::string MountedAs(const std::string& type) const {
    return "22 1 8:1 / / rw - ext4 /dev/sda1 rw\n30 22 0:50 / " + folder_.Path().native() +
           " rw - " + type + " srv:/x rw\n";
  }

  lbe::testing::TemporaryWorkingFolder folder_;
  lbe::testing::OwnHomeInFolder home_{folder_};
};

// Why each journal waits, as far as its header and a look at its path tell, the look only where
// it cannot wait on a server.
TEST_F(WaitingJournals, EachSaysWhyItWaits) {
  const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
  const struct {
    const char* label;
    std::function<void(const std::string& journal)> change;
    std::optional<std::string> mountType;  // none: the mount table cannot be read
    JournalStanding standing;
    std::string detail;
  } cases[] = {
      {"its file as the save left it", [](const std::string&) {}, "ext4",
       JournalStanding::FileThere, ""},
      {"its file removed", [](const std::string&) { fs::remove("file.bin"); }, "ext4",
       JournalStanding::FileMissing, ""},
      {"a folder in its file's place",
       [](const std::string&) {
         fs::remove("file.bin");
         fs::create_directory("file.bin");
       },
       "ext4", JournalStanding::OtherFile, ""},
      {"its file removed, on tmpfs", [](const std::string&) { fs::remove("file.bin"); }, "tmpfs",
       JournalStanding::FileMissing, ""},
      {"set aside",
       [](const std::string& j) { fs::rename("state/lbe/" + j, "state/lbe/" + j + ".set-aside"); },
       "ext4", JournalStanding::SetAside, ""},
      {"writable by its group",
       [](const std::string& j) {
         fs::permissions("state/lbe/" + j, fs::perms::group_write, fs::perm_options::add);
       },
       "ext4", JournalStanding::Untrusted, "others may write it"},
      {"on NFS", [](const std::string&) { fs::remove("file.bin"); }, "nfs4",
       JournalStanding::NotLookedAt, "on a network file system"},
      {"on sshfs", [](const std::string&) {}, "fuse.sshfs", JournalStanding::NotLookedAt,
       "on a network file system"},
      {"no mount table", [](const std::string&) {}, std::nullopt, JournalStanding::NotLookedAt,
       "the mount table cannot be read"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    fs::remove_all("state");
    fs::remove_all("file.bin");
    const std::string journal = Journal(now - 3 * kDay);
    c.change(journal);
    const auto table = c.mountType ? std::optional(MountedAs(*c.mountType)) : std::nullopt;
    const std::vector<ListedJournal> listed = ListJournals(now, table);
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].Standing, c.standing);
    EXPECT_EQ(listed[0].Detail, c.detail);
    EXPECT_EQ(listed[0].AgeSeconds, 3 * kDay);
    EXPECT_EQ(listed[0].FilePath,
              c.standing == JournalStanding::Untrusted ? "" : folder_.Full("file.bin"));
    EXPECT_EQ(listed[0].Size, 4104u);  // a header block, then four former bytes and four new
  }
}

// Over 30 days old, and its file checked and not at its path: set aside as unclaimed, never
// removed, and still put back when its file comes back. Neither a younger one, nor one whose
// path was not looked at, nor one whose file is there.
TEST_F(WaitingJournals, OldJournalsOfMissingFilesAreSetAside) {
  const std::int64_t made = 1'700'000'000;
  const struct {
    const char* label;
    std::int64_t age;
    bool fileThere;
    std::string mountType;
    bool setAside;
  } cases[] = {
      {"30 days and a minute, file gone", 30 * kDay + 60, false, "ext4", true},
      {"30 days to the second, file gone", 30 * kDay, false, "ext4", false},
      {"a minute short of 30 days, file gone", 30 * kDay - 60, false, "ext4", false},
      {"a year, file there", 365 * kDay, true, "ext4", false},
      {"a year, on NFS", 365 * kDay, false, "nfs", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    fs::remove_all("state");
    fs::remove_all("file.bin");
    const std::string journal = Journal(made);
    if (!c.fileThere) {
      fs::rename("file.bin", "away.bin");
    }
    const std::vector<ListedJournal> listed = ListJournals(made + c.age, MountedAs(c.mountType));
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].Standing == JournalStanding::SetAsideNow, c.setAside);
    EXPECT_EQ(fs::exists("state/lbe/" + journal), !c.setAside);
    EXPECT_EQ(fs::exists("state/lbe/" + journal + ".unclaimed"), c.setAside);
    EXPECT_EQ(listed[0].Path,
              folder_.Full("state/lbe/" + journal + (c.setAside ? ".unclaimed" : "")));
    if (!c.fileThere) {
      fs::rename("away.bin", "file.bin");
    }
  }
  // Listed again, the unclaimed journal stays as it is; its file back, a load puts it back.
  fs::remove_all("state");
  const std::string journal = Journal(made);
  fs::rename("file.bin", "away.bin");
  ListJournals(made + 40 * kDay, MountedAs("ext4"));
  const std::vector<ListedJournal> again = ListJournals(made + 80 * kDay, MountedAs("ext4"));
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again[0].Standing, JournalStanding::Unclaimed);
  EXPECT_TRUE(fs::exists("state/lbe/" + journal + ".unclaimed"));
  fs::rename("away.bin", "file.bin");
  EXPECT_TRUE(SettleJournals("file.bin", false).RolledBack);
  EXPECT_EQ(lbe::testing::GetFile("file.bin"), kFormer);
  EXPECT_EQ(lbe::testing::OnlyStateJournal(), "");
}

// A path that cannot be reached (a loop of links on its way, a folder that cannot be read) and a
// state folder that cannot be trusted say so, and their journals wait however old they are.
TEST_F(WaitingJournals, WhatCannotBeCheckedIsNeverSetAside) {
  const std::int64_t made = 1'700'000'000;
  const struct {
    const char* label;
    std::function<void()> change;
    JournalStanding standing;
    std::string detail;
  } cases[] = {
      {"a loop of links on the file's way",
       [] {
         fs::rename("sub", "elsewhere");
         fs::create_directory_symlink("sub", "sub");
       },
       JournalStanding::NotLookedAt, "it cannot be reached: Too many levels of symbolic links"},
      {"a state folder others may write",
       [] {
         fs::remove_all("sub");
         fs::permissions("state/lbe", fs::perms::group_write, fs::perm_options::add);
       },
       JournalStanding::Untrusted,
       "the state folder it is in cannot be trusted (others may write it)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    fs::remove_all("state");
    fs::remove_all("sub");
    fs::remove_all("elsewhere");
    fs::create_directory("sub");
    lbe::testing::PutFile("sub/file.bin", kFormer);
    lbe::testing::InterruptSave("sub/file.bin", kAcross, kNew, HalfSaved());
    const std::string journal = lbe::testing::OnlyStateJournal();
    const timespec times[2] = {{made, 0}, {made, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, ("state/lbe/" + journal).c_str(), times, 0), 0);
    c.change();
    const std::vector<ListedJournal> listed = ListJournals(made + 90 * kDay, MountedAs("ext4"));
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].Standing, c.standing);
    EXPECT_EQ(listed[0].Detail, c.detail);
    EXPECT_TRUE(fs::exists("state/lbe/" + journal));
  }
}

}  // namespace
}  // namespace lbe::files

namespace lbe::files {
namespace {

// A running save holds its journal: neither removed nor applied, even once its file was renamed
// away from the path the journal recorded.
TEST_F(WaitingJournals, ARunningSavesJournalIsNeverTaken) {
  lbe::testing::PutFile("file.bin", kFormer);
  int ready[2];
  int go[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(go), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    SetPauseHook([&](std::string_view) {
      char byte = 0;
      (void)!::write(ready[1], "r", 1);
      (void)!::read(go[0], &byte, 1);
    });
    ReplaceStretch("file.bin", kAcross, kNew);
    ::_exit(0);
  }
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);  // half of the save written
  std::filesystem::rename("file.bin", "moved.bin");
  const JournalPlace place = FindNamedJournal(lbe::testing::OnlyStateJournal());
  std::string said;
  try {
    RemoveJournal(place);
  } catch (const FileError& error) {
    said = error.what();
  }
  EXPECT_NE(said.find("is the journal of a save that is running now"), std::string::npos) << said;
  EXPECT_THROW(ApplyJournal(place, std::string("moved.bin"), [](const auto&) { return true; }),
               FileError);
  ASSERT_EQ(::write(go[1], "g", 1), 1);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_EQ(lbe::testing::OnlyStateJournal(), "");  // the save finished and removed it
  Bytes saved = kFormer;
  std::copy(kNew.begin(), kNew.end(), saved.begin() + 4094);
  EXPECT_EQ(lbe::testing::GetFile("moved.bin"), saved);
}

}  // namespace
}  // namespace lbe::files
