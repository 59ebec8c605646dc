// Intel HEX and S-record files that real tools and projects wrote (tests/records/real, listed
// with their sources in SOURCES.md there), loaded, saved and converted by lbe, with GNU objcopy
// as the oracle of what every file holds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "files/edited_file.h"
#include "files/file_layer.h"
#include "image/edit_history.h"
#include "image/memory_image.h"
#include "listing/convert_mode.h"
#include "records/record_file.h"
#include "screens/program.h"
#include "temp_folder.h"

#ifndef LBE_REAL_RECORD_FILES
#error "LBE_REAL_RECORD_FILES names the folder of the real record files (CMakeLists.txt)"
#endif

namespace lbe::files {
using namespace image;
namespace {

using lbe::testing::GetFile;
using lbe::testing::PutFile;

// A file's address space: every byte a record holds, at its address.
using MarkedMap = std::map<std::uint64_t, std::uint8_t>;

constexpr std::uint64_t kWindow = records::kWindowSize;

std::string GetText(const std::string& name) {
  const std::vector<std::uint8_t> bytes = GetFile(name);
  return {bytes.begin(), bytes.end()};
}

// What objcopy reads from `name`: its records written again as S3 records, which give every marked
// byte at its address however far apart the bytes lie. Empty, with a failure, when objcopy
// refuses the file.
MarkedMap ObjcopyBytes(const std::string& name) {
  const bool intel = records::FormatOfName(name) == records::FileFormat::IntelHex;
  const std::string command = std::string("objcopy -I ") + (intel ? "ihex" : "srec") +
                              " -O srec --srec-forceS3 '" + name + "' objcopy.s3 2>objcopy.err";
  MarkedMap marks;
  if (std::system(command.c_str()) != 0) {
    ADD_FAILURE() << "objcopy refuses " << name << ": " << GetText("objcopy.err");
    return marks;
  }
  std::istringstream lines(GetText("objcopy.s3"));
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("S3")) {
      const std::size_t count = std::stoul(line.substr(2, 2), nullptr, 16);
      const std::uint64_t address = std::stoull(line.substr(4, 8), nullptr, 16);
      for (std::size_t i = 0; i + 5 < count; ++i) {
        marks[address + i] =
            static_cast<std::uint8_t>(std::stoul(line.substr(12 + 2 * i, 2), nullptr, 16));
      }
    }
  }
  return marks;
}

// Where lbe and objcopy first disagree; "" where they do not.
std::string Difference(const MarkedMap& lbe, const MarkedMap& objcopy) {
  const auto [ours, theirs] = std::mismatch(lbe.begin(), lbe.end(), objcopy.begin(), objcopy.end());
  std::ostringstream text;
  text << std::hex;
  if (ours != lbe.end()) {
    text << "lbe holds " << +ours->second << " at " << ours->first << ". ";
  }
  if (theirs != objcopy.end()) {
    text << "objcopy reads " << +theirs->second << " at " << theirs->first << ".";
  }
  return text.str();
}

// A byte typed in the edit mode, as the edit mode notes it.
void Type(std::int32_t address, std::uint8_t value) {
  BeginChange({address / kLineBytes, 0});
  NoteByte(address);
  Image[address] = value;
  EndChange();
}

// The names of the record files of the folder (any name whose suffix names a record format).
std::vector<std::string> RealFiles() {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(LBE_REAL_RECORD_FILES)) {
    if (records::IsRecordFormat(records::FormatOfName(entry.path().string()))) {
      names.push_back(entry.path().filename().string());
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Each test of one file: copied into the temporary folder, where every save goes, and read by
// objcopy.
class RealRecordFile : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    PutFile(name_, GetFile(std::string(LBE_REAL_RECORD_FILES) + "/" + name_));
    marks_ = ObjcopyBytes(name_);
    ASSERT_FALSE(marks_.empty());
  }

  // Starts the editor on the file with the window that starts at `base`.
  void Start(std::uint64_t base) const {
    screens::ResetProgramState();
    Image.Bytes.fill(0xEE);  // what an earlier file left: a load clears it
    LoadStartImage({{}, name_, base, kAsMuchAsFits, {}, {}, false});
  }

  lbe::testing::TemporaryWorkingFolder folder_;
  const std::string name_ = GetParam();
  MarkedMap marks_;
};

TEST(RealRecordFiles, AreThere) {
  EXPECT_GE(RealFiles().size(), 20u) << LBE_REAL_RECORD_FILES;
}

// Every 64 KiB window loads the bytes objcopy reads there, each marked, and nothing else.
TEST_P(RealRecordFile, EveryWindowLoadsTheBytesObjcopyReads) {
  for (auto at = marks_.begin(); at != marks_.end();) {
    const std::uint64_t base = at->first / kWindow * kWindow;
    const auto end = marks_.lower_bound(base + kWindow);
    SCOPED_TRACE(base);
    Start(base);
    MarkedMap loaded;
    for (std::uint64_t offset = 0; offset < kWindow; ++offset) {
      if (Image.Marks[offset]) {
        loaded[base + offset] = Image[static_cast<std::int32_t>(offset)];
      }
    }
    EXPECT_EQ(Difference(loaded, {at, end}), "");
    at = end;
  }
}

// In the first window, a save of nothing changed leaves the file as it was; one of its middle
// marked byte changed differs from it within the one line of the record that holds it, which keeps
// its length and case, and objcopy reads it as the original with that byte changed.
TEST_P(RealRecordFile, ASaveRewritesOnlyTheRecordOfTheChangedByte) {
  const std::string original = GetText(name_);
  const std::uint64_t base = marks_.begin()->first / kWindow * kWindow;
  Start(base);
  ASSERT_TRUE(SaveRange());
  EXPECT_TRUE(GetText(name_) == original) << "a save of nothing changed changes the file";
  const auto changed = std::next(
      marks_.begin(), std::distance(marks_.begin(), marks_.lower_bound(base + kWindow)) / 2);
  changed->second ^= 0xFF;
  Type(static_cast<std::int32_t>(changed->first - base), changed->second);
  ASSERT_TRUE(SaveRange());
  const std::string saved = GetText(name_);
  ASSERT_EQ(saved.size(), original.size());
  ASSERT_NE(saved, original);
  const std::size_t from =
      std::mismatch(original.begin(), original.end(), saved.begin()).first - original.begin();
  const std::size_t to =
      original.rend() - std::mismatch(original.rbegin(), original.rend(), saved.rbegin()).first;
  const std::string was = original.substr(from, to - from);
  const std::string is = saved.substr(from, to - from);
  EXPECT_EQ((was + is).find_first_of("\r\n"), std::string::npos) << was << " became " << is;
  for (const auto& letters : {std::pair{'A', 'F'}, std::pair{'a', 'f'}}) {
    const auto letter = [low = letters.first, high = letters.second](char c) {
      return c >= low && c <= high;
    };
    if (std::none_of(original.begin(), original.end(), letter)) {
      EXPECT_TRUE(std::none_of(is.begin(), is.end(), letter)) << "another case: " << is;
    }
  }
  EXPECT_EQ(Difference(ObjcopyBytes(name_), marks_), "");
}

// Records to raw and back, from the address the first conversion names: every byte objcopy read
// in the file is back at its address, and what was a gap holds the fill. Files whose bytes lie
// further apart than 4 MiB are left out: their raw image would be that large.
TEST_P(RealRecordFile, ARoundTripThroughRawIsExact) {
  if (marks_.rbegin()->first - marks_.begin()->first > (std::uint64_t{4} << 20)) {
    GTEST_SKIP() << "bytes too far apart";
  }
  listing::Conversion toRaw;
  toRaw.Input.Name = name_;
  toRaw.OutputName = "image.bin";
  toRaw.Fill = 0xA5;
  std::FILE* err = std::tmpfile();
  ASSERT_EQ(listing::ConvertMode(toRaw, err), 0);
  std::rewind(err);
  std::string note(4096, '\0');
  note.resize(std::fread(note.data(), 1, note.size(), err));
  std::fclose(err);
  const std::size_t at = note.find("starts at address ");
  ASSERT_NE(at, std::string::npos) << note;
  listing::Conversion back;
  back.Input.Name = "image.bin";
  back.OutputName = "back" + std::filesystem::path(name_).extension().string();
  back.Address = std::stoull(note.substr(at + 18), nullptr, 16);
  ASSERT_EQ(listing::ConvertMode(back, stderr), 0);
  const MarkedMap again = ObjcopyBytes(back.OutputName);
  ASSERT_FALSE(again.empty());
  EXPECT_EQ(again.begin()->first, marks_.begin()->first);
  EXPECT_EQ(again.rbegin()->first, marks_.rbegin()->first);
  for (const auto& [address, value] : again) {
    const auto was = marks_.find(address);
    ASSERT_EQ(value, was == marks_.end() ? 0xA5 : was->second) << std::hex << "at " << address;
  }
}

// A file's name as a test's: its letters and digits, '_' for the rest.
std::string TestName(const ::testing::TestParamInfo<std::string>& info) {
  std::string name = info.param;
  for (char& c : name) {
    c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(Real, RealRecordFile, ::testing::ValuesIn(RealFiles()), TestName);

}  // namespace
}  // namespace lbe::files
