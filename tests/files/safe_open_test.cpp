#include "files/safe_open.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "files/file_layer.h"
#include "files/rescue_copy.h"
#include "files/whole_file.h"
#include "listing/listing_modes.h"
#include "temp_folder.h"

namespace lbe::files {
namespace {

namespace fs = std::filesystem;
constexpr uid_t kNobody = 65534;

std::string Errno(int code) {
  return "errno " + std::to_string(code);
}

// What a read of the opened file gives, or "errno N" when OpenName failed.
std::string Reached(const std::string& path, int flags = O_RDONLY) {
  OpenedName opened;
  if (!OpenName(path, flags | O_CLOEXEC, 0644, opened, nullptr)) {
    return Errno(errno);
  }
  char buffer[64];
  const ssize_t got = ::pread(opened.File.Get(), buffer, sizeof buffer, 0);
  return std::string(buffer, static_cast<std::size_t>(got > 0 ? got : 0));
}

long Count(const std::string& folder) {
  return std::distance(fs::directory_iterator(folder), fs::directory_iterator());
}

class SafeOpen : public ::testing::Test {
 protected:
  void SetUp() override {
    std::ofstream("f.bin") << "top";
    fs::create_directories("deep/inner");
    std::ofstream("deep/f.bin") << "deep";
    fs::create_symlink("deep/inner", "lnk");
    fs::create_symlink(folder_.Full("deep/f.bin"), "abs");
    fs::create_symlink("deep/", "dirslash");
    fs::create_symlink("nowhere.bin", "dangling");
    fs::create_symlink("loop", "loop");
    fs::create_symlink("f.bin", "c0");  // c40 is 41 links from f.bin
    for (int i = 1; i <= 40; ++i) {
      fs::create_symlink("c" + std::to_string(i - 1), "c" + std::to_string(i));
    }
  }
  lbe::testing::TemporaryWorkingFolder folder_;
};

TEST_F(SafeOpen, WalksAsTheKernelDoes) {
  std::ofstream("gone.bin") << "gone";
  const FileDescriptor gone(::open("gone.bin", O_RDONLY | O_CLOEXEC));
  fs::remove("gone.bin");  // /proc's link to it now reads "... (deleted)"
  const struct {
    std::string path, reached;
  } cases[] = {{"lnk/../f.bin", "deep"},  // ".." of the link's target, not of the link
               {folder_.Full("lnk/../f.bin"), "deep"},
               {"deep//inner/..///f.bin", "deep"},
               {"./f.bin", "top"},
               {"abs", "deep"},
               {"dirslash/f.bin", "deep"},
               {"c39", "top"},
               {"c40", Errno(ELOOP)},
               {"loop", Errno(ELOOP)},
               {"f.bin/", Errno(ENOTDIR)},
               {"f.bin/x", Errno(ENOTDIR)},
               {"dangling", Errno(ENOENT)},
               {"", Errno(ENOENT)},
               {"/proc/self/fd/" + std::to_string(gone.Get()), "gone"},
               {"/proc/self/cwd/lnk/../f.bin", "deep"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(Reached(c.path), c.reached);
    const FileDescriptor kernel(::open(c.path.c_str(), O_RDONLY | O_CLOEXEC));
    EXPECT_EQ(kernel.IsOpen() ? "opened" : Errno(errno),
              c.reached[0] == 'e' ? c.reached : "opened");
  }
}

TEST_F(SafeOpen, CreatesOnlyWhereNothingIs) {
  const struct {
    std::string path;
    int flags;
    std::string reached, made;
  } cases[] = {
      {"new.bin", O_RDWR | O_CREAT, "", "new.bin"},
      {"f.bin", O_RDWR | O_CREAT, "top", ""},
      {"dangling", O_RDWR | O_CREAT, "", "nowhere.bin"},  // the link stays, its target is made
      {"dangling", O_RDWR | O_CREAT | O_EXCL, Errno(EEXIST), ""},
      {"f.bin", O_RDWR | O_CREAT | O_EXCL, Errno(EEXIST), ""},
      {"new/", O_RDWR | O_CREAT, Errno(EISDIR), ""},
      {"deep", O_RDONLY | O_CREAT, Errno(EISDIR), ""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path + " " + std::to_string(c.flags));
    const long before = Count(".");
    EXPECT_EQ(Reached(c.path, c.flags), c.reached);
    EXPECT_EQ(Count(".") - before, c.made.empty() ? 0 : 1);
    EXPECT_TRUE(c.made.empty() || fs::is_regular_file(fs::symlink_status(c.made)));
    fs::remove(c.made.empty() ? "none" : c.made);
  }
}

TEST_F(SafeOpen, GivesTheRealPathAndTheFolder) {
  OpenedName opened;
  ASSERT_TRUE(OpenName("lnk/../f.bin", O_RDONLY, 0, opened, nullptr));
  EXPECT_EQ(opened.RealPath, (fs::canonical(folder_.Path()) / "deep/f.bin").native());
  EXPECT_EQ(opened.Name, "f.bin");
  struct stat folder {};
  struct stat deep {};
  EXPECT_EQ(::fstat(opened.Folder.Get(), &folder) + ::stat("deep", &deep), 0);
  EXPECT_EQ(folder.st_ino, deep.st_ino);

  // Deeper than any path the system takes: opened all the same, with no real path.
  std::vector<FileDescriptor> folders;
  folders.emplace_back(::open(".", O_PATH | O_DIRECTORY));
  const std::string name(250, 'd');
  std::string path;
  for (int level = 0; level < 18; ++level, path += name + "/") {
    ::mkdirat(folders.back().Get(), name.c_str(), 0700);
    folders.emplace_back(::openat(folders.back().Get(), name.c_str(), O_PATH | O_DIRECTORY));
  }
  ::close(::openat(folders.back().Get(), "x.bin", O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
  ASSERT_TRUE(OpenName(path + "x.bin", O_RDONLY, 0, opened, nullptr));
  EXPECT_EQ(opened.RealPath, "");
  ::unlinkat(folders.back().Get(), "x.bin", 0);
  for (std::size_t i = folders.size() - 1; i > 0; --i) {
    ::unlinkat(folders[i - 1].Get(), name.c_str(), AT_REMOVEDIR);
  }
}

// Another user's links and files in a shared folder (as /tmp), planted as "nobody".
class SafeOpenOtherUser : public SafeOpen {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) {
      GTEST_SKIP() << "planting another user's links needs root";
    }
    SafeOpen::SetUp();
    ::chmod(".", 0711);  // so that nobody reaches the shared folder
    fs::create_directory("root-only");
    ::chmod("root-only", 0700);
    std::ofstream("root-only/x") << "secret";
  }
  // A fresh folder "shared" of `owner` (group nobody) with `mode`, where `linkOwner` planted
  // load.bin and new.bin, which lead into root-only, and dir, which is root-only.
  static void Share(mode_t mode, uid_t owner, uid_t linkOwner) {
    fs::remove_all("shared");
    fs::create_directory("shared");
    ASSERT_EQ(::chown("shared", owner, kNobody) + ::chmod("shared", mode), 0);
    const auto plant = [] {
      fs::create_symlink("../root-only/x", "shared/load.bin");
      fs::create_symlink("../root-only/new.bin", "shared/new.bin");
      fs::create_symlink("../root-only", "shared/dir");
    };
    ASSERT_EQ(lbe::testing::AsAnotherUser(linkOwner, kNobody, kNobody, plant), "");
  }
};

TEST_F(SafeOpenOtherUser, LinksInSharedFoldersAreFollowedOnlyWhenTrusted) {
  const struct {
    mode_t mode;
    uid_t owner, linkOwner;
    bool followed;
  } cases[] = {{01777, 0, kNobody, false}, {01777, 0, 0, true},
               {01777, kNobody, 0, true},  {01777, kNobody, kNobody, true},
               {0777, 0, kNobody, true},   {01775, 0, kNobody, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << std::oct << c.mode << std::dec << " owner " << c.owner
                                      << " link " << c.linkOwner);
    Share(c.mode, c.owner, c.linkOwner);
    const struct {
      std::string path;
      int flags;
      std::string link;
    } opens[] = {{"shared/load.bin", O_RDONLY, "shared/load.bin"},
                 {"shared/load.bin", O_RDWR | O_CREAT | O_TRUNC, "shared/load.bin"},
                 {"shared/new.bin", O_RDWR | O_CREAT, "shared/new.bin"},
                 {"shared/dir/x", O_RDONLY, "shared/dir"},
                 {"deep/../shared/load.bin", O_RDONLY, "deep/../shared/load.bin"},
                 {folder_.Full("shared/dir/x"), O_RDONLY, folder_.Full("shared/dir")}};
    for (const auto& o : opens) {
      SCOPED_TRACE(o.path);
      OpenedName opened;
      std::string refused = "left over";
      EXPECT_EQ(OpenName(o.path, o.flags, 0600, opened, &refused), c.followed);
      EXPECT_EQ(refused, c.followed ? "" : o.link);
      EXPECT_EQ(fs::file_size("root-only/x"), c.followed && (o.flags & O_TRUNC) != 0 ? 0u : 6u);
      EXPECT_EQ(fs::exists("root-only/new.bin"), c.followed && o.flags == (O_RDWR | O_CREAT));
      std::ofstream("root-only/x") << "secret";
      fs::remove("root-only/new.bin");
    }
  }
}

TEST_F(SafeOpenOtherUser, CreatingNeverOpensAnotherUsersFileInASharedFolder) {
  for (const uid_t owner : {uid_t{0}, kNobody}) {
    SCOPED_TRACE(owner);
    Share(01777, owner, 0);
    const auto plant = [] { std::ofstream("shared/theirs.bin") << "theirs"; };
    ASSERT_EQ(lbe::testing::AsAnotherUser(kNobody, kNobody, kNobody, plant), "");
    EXPECT_EQ(Reached("shared/theirs.bin"), "theirs");
    EXPECT_EQ(Reached("shared/theirs.bin", O_RDWR | O_CREAT),
              owner == kNobody ? "theirs" : Errno(EACCES));
  }
}

TEST_F(SafeOpenOtherUser, LoadListingAndRescueCopyNameTheRefusedLink) {
  Share(01777, 0, kNobody);
  const std::string refusal =
      ": it stands in a folder that others may write (sticky), and it belongs to another user, "
      "so lbe does not follow it.";
  try {
    ReadFilePiece("shared/load.bin", 0, 16);
    ADD_FAILURE() << "loaded through the link";
  } catch (const FileError& error) {
    EXPECT_EQ(KindName(error.Kind()), "EInOutError");
    EXPECT_EQ(error.what(), "Refused the symbolic link shared/load.bin" + refusal);
  }
  std::FILE* err = std::tmpfile();
  EXPECT_EQ(listing::CheckMode("shared/dir/x", std::nullopt, err), 2);
  char line[256] = {};
  std::rewind(err);
  (void)!std::fgets(line, sizeof line, err);
  EXPECT_EQ(line, "lbe: Refused the symbolic link shared/dir" + refusal + "\n");
  std::fclose(err);
  EXPECT_EQ(WriteRescueCopy("shared/dir/a", std::vector<std::uint8_t>{1, 2}), "lbe-rescue.bin");
  EXPECT_EQ(lbe::testing::GetFile("lbe-rescue.bin"), (std::vector<std::uint8_t>{1, 2}));
  EXPECT_EQ(Count("root-only"), 1);
}

}  // namespace
}  // namespace lbe::files
