#include "files/typed_sums.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "files/file_layer.h"
#include "files/test_hooks.h"
#include "temp_folder.h"

namespace lbe::files {
namespace {

const TypedSumsKey kKey{"/home/me/game%1\n.rom", 0x0100, 0x14000};
const std::string kHeading =
    "lbe typed sums 1\npath /home/me/game%251%0A.rom\nstart 0100\n"
    "offset 14000\n";

TEST(TypedSums, TextRoundTrip) {
  TypedSums sums = NoTypedSums();
  sums[0x20] = 0x3C;
  sums[0x1FFF] = 0;
  const std::string text = TypedSumsText(kKey, sums);
  EXPECT_EQ(text, kHeading + "0100 3C\nFFF8 00\nend 2\n");
  const ParsedTypedSums parsed = ParseTypedSums(text, kKey);
  EXPECT_EQ(parsed.Error, "");
  EXPECT_EQ(parsed.Sums, sums);
  const TypedSumsKey mlx{kKey.Path, kKey.StartAddress, kKey.Offset, true, 1};
  EXPECT_EQ(TypedSumsText(mlx, sums), kHeading + "style mlx 1\n0100 3C\nFFF8 00\nend 2\n");
  EXPECT_EQ(ParseTypedSums(TypedSumsText(mlx, sums), mlx).Sums, sums);
}

// Any flaw refuses the whole file, never a part of it.
TEST(TypedSums, FlawsRefuseTheWholeFile) {
  const struct {
    std::string text;
    std::string error;
  } cases[] = {
      {"", "it is not a file of typed sums"},
      {"lbe typed sums 2\n", "it is not a file of typed sums"},
      {"lbe typed sums 1\npath /x\nstart 100\noffset 0\nend 0\n", "its heading is damaged"},
      {"lbe typed sums 1\npath /x%4\nstart 0100\noffset 0\nend 0\n", "its heading is damaged"},
      {"lbe typed sums 1\npath /x\nstart 0100\noffset 0\nend 0\n",
       "it was made for another file, start address or offset"},
      {kHeading + "style mlx 0\nend 0\n", "it was made for another checksum or listing shift"},
      {kHeading + "0100 3C\n0108 3c\nend 2\n", "its line 6 is damaged"},
      {kHeading + "0100 3G\nend 1\n", "its line 5 is damaged"},
      {kHeading + "0100 3@\nend 1\n", "its line 5 is damaged"},
      {kHeading + "0100 3/\nend 1\n", "its line 5 is damaged"},
      {kHeading + "0100 3:\nend 1\n", "its line 5 is damaged"},
      {kHeading + "0100 3\xC3\nend 1\n", "its line 5 is damaged"},
      {kHeading + "01a0 3C\nend 1\n", "its line 5 is damaged"},  // 01A0 would do
      {kHeading + "0104 3C\nend 1\n", "its line 5 is damaged"},
      {kHeading + "00F8 3C\nend 1\n", "its line 5 is out of order"},
      {kHeading + "0108 3C\n0108 3D\nend 2\n", "its line 6 is out of order"},
      {kHeading + "0100 3C\nend 2\n", "it is cut short or has more after its end"},
      {kHeading + "0100 3C\nend 1\n0108 00\n", "it is cut short or has more after its end"},
      {kHeading + "0100 3C\nend 1", "it is cut short or has more after its end"},
      {kHeading + "0100 3C\n", "it is cut short or has more after its end"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const ParsedTypedSums parsed = ParseTypedSums(c.text, kKey);
    EXPECT_EQ(parsed.Error, c.error);
    EXPECT_EQ(parsed.Sums, NoTypedSums());
  }
}

// Stored and found again; a file lbe cannot trust or read is set aside with a message and its
// sums are not used; with no state folder nothing is kept.
TEST(TypedSums, StoreAndTrust) {
  testing::TemporaryWorkingFolder folder;
  const TypedSumsKey key{folder.Full("rom.bin"), 0, 0};
  TypedSums sums = NoTypedSums();
  sums[3] = 0xA5;
  ASSERT_NO_THROW(StoreTypedSums(key, sums));
  EXPECT_EQ(LoadTypedSums(key).Sums, sums);
  const auto stored = *std::filesystem::directory_iterator(folder.Full("state/lbe"));
  EXPECT_EQ(std::filesystem::status(stored).permissions(), std::filesystem::perms(0600));

  const struct {
    const char* what;
    void (*spoil)(const std::string& path);
    std::string problemEnd;
    bool needsRoot = false;
  } cases[] = {
      {"another user's", [](const std::string& p) { (void)!::chown(p.c_str(), 4302, 4302); },
       "it belongs to another user; moved to ", true},
      {"others may write it", [](const std::string& p) { ::chmod(p.c_str(), 0622); },
       "others may write it; moved to "},
      {"a link",
       [](const std::string& p) {
         std::filesystem::remove(p);
         std::filesystem::create_symlink("/dev/zero", p);
       },
       "it is a symbolic link; moved to "},
      {"damaged",
       [](const std::string& p) {
         testing::PutFile(p, {'x', '\n'});
       },
       "it is not a file of typed sums; moved to "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.needsRoot && ::geteuid() != 0) {
      continue;  // no other user's file to make
    }
    ASSERT_NO_THROW(StoreTypedSums(key, sums));
    const std::string path = stored.path().native();
    c.spoil(path);
    const StoredSums found = LoadTypedSums(key);
    EXPECT_EQ(found.Sums, NoTypedSums());
    EXPECT_NE(found.Problem.find(c.problemEnd + path + ".set-aside"), std::string::npos)
        << found.Problem;
    std::filesystem::remove(path + ".set-aside");
  }

  ::setenv("XDG_STATE_HOME", folder.Full("rom.bin/state").c_str(), 1);
  testing::PutFile("rom.bin", {});
  EXPECT_TRUE(LoadTypedSums(key).FolderMissing);
  try {
    StoreTypedSums(key, sums);
    ADD_FAILURE() << "stored with no state folder";
  } catch (const FileError& failure) {
    EXPECT_STREQ(failure.what(), "there is no state folder that is safe to use");
  }
}

// Sums stored when their file was named by FNV-1a of the key's path, start and offset are still
// found, and take the name of today.
TEST(TypedSums, SumsUnderTheirFormerNameAreFound) {
  testing::TemporaryWorkingFolder folder;
  const TypedSumsKey key{folder.Full("rom.bin"), 0x0100, 0x20};
  ASSERT_NO_THROW(StoreTypedSums({"other", 0, 0}, NoTypedSums()));  // the folder
  std::uint64_t hash = 0xcbf29ce484222325u;
  for (const char c : key.Path + std::string("\0"
                                             "0100\0"
                                             "20",
                                             8)) {
    hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3u;
  }
  char former[48];
  std::snprintf(former, sizeof former, "state/lbe/typed-%016llX.lbe-sums",
                static_cast<unsigned long long>(hash));
  TypedSums sums = NoTypedSums();
  sums[0x21] = 0x5A;
  const std::string text = TypedSumsText(key, sums);
  testing::PutFile(former, {text.begin(), text.end()});
  EXPECT_EQ(LoadTypedSums(key).Sums, sums);
  EXPECT_FALSE(std::filesystem::exists(former));
  EXPECT_EQ(LoadTypedSums(key).Sums, sums);
}

// One file typed in at two offsets, start addresses, checksums or shifts keeps two sets of sums,
// neither taken for the other's nor set aside as another file's.
TEST(TypedSums, EachOffsetAndStartHasItsOwn) {
  testing::TemporaryWorkingFolder folder;
  const std::string path = folder.Full("rom.bin");
  const TypedSumsKey keys[] = {
      {path, 0, 0}, {path, 0, 0x10000}, {path, 8, 0}, {path, 0, 0, true, 0}, {path, 0, 0, true, 1}};
  for (std::size_t i = 0; i < std::size(keys); ++i) {
    TypedSums sums = NoTypedSums();
    sums[i] = static_cast<std::int16_t>(i);
    ASSERT_NO_THROW(StoreTypedSums(keys[i], sums));
  }
  for (std::size_t i = 0; i < std::size(keys); ++i) {
    const StoredSums found = LoadTypedSums(keys[i]);
    EXPECT_EQ(found.Problem, "");
    EXPECT_EQ(found.Sums[i], static_cast<std::int16_t>(i));
  }
}

// The sums reach the disk before their name does: a crash leaves the former sums or these.
TEST(TypedSums, OnTheDiskBeforeTheirName) {
  testing::TemporaryWorkingFolder folder;
  const TypedSumsKey key{folder.Full("rom.bin"), 0, 0};
  ASSERT_NO_THROW(StoreTypedSums(key, NoTypedSums()));  // the state folder made
  std::vector<std::string> calls;
  SetFileCallHook([&calls](int, std::string_view call) {
    calls.emplace_back(call);
    return 0;
  });
  ASSERT_NO_THROW(StoreTypedSums(key, NoTypedSums()));
  SetFileCallHook(nullptr);
  EXPECT_EQ(calls, (std::vector<std::string>{"open", "pwrite", "fsync", "renameat"}));
}

}  // namespace
}  // namespace lbe::files
