// Intel HEX and S-record files that real tools and projects wrote (tests/records/real, listed
// with their sources in SOURCES.md there), loaded and saved by the editor, with GNU objcopy as
// the oracle of what every file holds: the bytes a load reads into each 64 KiB window, a save
// of one changed byte that rewrites only the record holding it, and a save of nothing changed
// that leaves the file as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
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

// A file's address space as objcopy reads it: every byte a record holds, at its address.
using HeldMap = std::map<std::uint64_t, std::uint8_t>;

constexpr std::uint64_t kWindow = records::kWindowSize;

std::string GetText(const std::string& name) {
  const std::vector<std::uint8_t> bytes = GetFile(name);
  return {bytes.begin(), bytes.end()};
}

// The record files of the folder (any name whose suffix names a record format), by name.
std::vector<std::filesystem::path> RealFiles() {
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(LBE_REAL_RECORD_FILES)) {
    if (entry.is_regular_file() &&
        records::FormatOfName(entry.path().filename().string()) != records::FileFormat::Raw) {
      files.push_back(entry.path());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

// What objcopy reads from `name`: its records written again as S3 records, which give every
// held byte with its address and leave a gap a gap, however far apart the bytes lie. Nullopt
// when objcopy refuses the file.
std::optional<HeldMap> ObjcopyBytes(const std::string& name) {
  const bool intel = records::FormatOfName(name) == records::FileFormat::IntelHex;
  const std::string command = std::string("objcopy -I ") + (intel ? "ihex" : "srec") +
                              " -O srec --srec-forceS3 '" + name + "' objcopy.s3 2>objcopy.err";
  if (std::system(command.c_str()) != 0) {
    ADD_FAILURE() << "objcopy refuses " << name << ": " << GetText("objcopy.err");
    return std::nullopt;
  }
  HeldMap held;
  std::istringstream lines(GetText("objcopy.s3"));
  for (std::string line; std::getline(lines, line);) {
    if (!line.starts_with("S3")) {
      continue;
    }
    const std::size_t count = std::stoul(line.substr(2, 2), nullptr, 16);
    const std::uint64_t address = std::stoull(line.substr(4, 8), nullptr, 16);
    for (std::size_t i = 0; i + 5 < count; ++i) {
      held[address + i] =
          static_cast<std::uint8_t>(std::stoul(line.substr(12 + 2 * i, 2), nullptr, 16));
    }
  }
  return held;
}

// The 64 KiB windows that hold bytes, each by the address it starts at.
std::set<std::uint64_t> WindowsOf(const HeldMap& held) {
  std::set<std::uint64_t> windows;
  for (const auto& [address, value] : held) {
    windows.insert(address / kWindow * kWindow);
  }
  return windows;
}

// The lines of `text`, each with the line end it has (the last may have none).
std::vector<std::string> LinesOf(const std::string& text) {
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = text.find('\n', at);
    const std::size_t next = end == std::string::npos ? text.size() : end + 1;
    lines.push_back(text.substr(at, next - at));
    at = next;
  }
  return lines;
}

std::string_view LineEndOf(std::string_view line) {
  if (line.ends_with("\r\n")) {
    return "\r\n";
  }
  return line.ends_with("\n") ? "\n" : "";
}

// Whether `text` has a letter from `first` to `last`: hex digits of that case (the S of an
// S-record lies outside both A-F and a-f).
bool HasLetters(std::string_view text, char first, char last) {
  return std::any_of(text.begin(), text.end(), [&](char c) { return c >= first && c <= last; });
}

// A byte typed in the edit mode, as the edit mode notes it.
void Type(std::int32_t address, std::uint8_t value) {
  BeginChange({address / kLineBytes, 0});
  NoteByte(address);
  Image[address] = value;
  EndChange();
}

class RealRecordFiles : public ::testing::Test {
 protected:
  // Each file is copied into the temporary folder, which is where every save goes.
  void SetUp() override {
    files_ = RealFiles();
    ASSERT_GE(files_.size(), 20u) << "the real record files are missing from "
                                  << LBE_REAL_RECORD_FILES;
    for (const auto& file : files_) {
      PutFile(file.filename().string(), GetFile(file.string()));
    }
  }

  // Starts the editor on `name` with the window that starts at `offset`; false (and a failure
  // naming the message) when the load refuses the file.
  static bool Start(const std::string& name, std::uint64_t offset) {
    screens::ResetProgramState();
    Image.Bytes.fill(0xEE);  // what an earlier file left: a load clears it
    try {
      LoadStartImage({{}, name, offset, kAsMuchAsFits, {}});
      return true;
    } catch (const std::exception& error) {
      ADD_FAILURE() << name << " does not load at offset " << std::hex << offset << ": "
                    << error.what();
      return false;
    }
  }

  // Saves the range; false (and a failure naming the message) when the save fails.
  static bool Save(const std::string& name) {
    try {
      if (SaveRange()) {
        return true;
      }
      ADD_FAILURE() << name << ": the save asked a question and was told no";
    } catch (const std::exception& error) {
      ADD_FAILURE() << name << " does not save: " << error.what();
    }
    return false;
  }

  std::vector<std::filesystem::path> files_;
  lbe::testing::TemporaryWorkingFolder folder_;
};

// Every window of every file loads the bytes objcopy reads there, each held, and nothing else.
TEST_F(RealRecordFiles, EveryWindowLoadsTheBytesObjcopyReads) {
  for (const auto& file : files_) {
    const std::string name = file.filename().string();
    SCOPED_TRACE(name);
    const std::optional<HeldMap> oracle = ObjcopyBytes(name);
    if (!oracle) {
      continue;
    }
    ASSERT_FALSE(oracle->empty());
    for (const std::uint64_t base : WindowsOf(*oracle)) {
      std::ostringstream window;
      window << "the window at " << std::hex << base;
      SCOPED_TRACE(window.str());
      if (!Start(name, base)) {
        break;
      }
      std::size_t wrong = 0;
      std::ostringstream first;
      for (std::uint64_t at = 0; at < kWindow; ++at) {
        const auto expected = oracle->find(base + at);
        const bool held = Image.Held[at];
        const auto address = static_cast<std::int32_t>(at);
        if (held != (expected != oracle->end()) || (held && Image[address] != expected->second)) {
          if (wrong++ == 0) {
            first << std::hex << "at " << base + at << ": lbe "
                  << (held ? std::to_string(Image[address]) : std::string("a gap")) << ", objcopy "
                  << (expected != oracle->end() ? std::to_string(expected->second)
                                                : std::string("a gap"));
          }
        }
      }
      EXPECT_EQ(wrong, 0u) << wrong << " bytes differ, the first " << first.str();
    }
  }
}

// The middle held byte of the first window, changed and saved: the file differs in the one line
// of the record that holds it, which keeps its line end and its case, and objcopy reads the
// saved file as the original with that one byte changed.
TEST_F(RealRecordFiles, ASavedByteRewritesOnlyItsRecord) {
  for (const auto& file : files_) {
    const std::string name = file.filename().string();
    SCOPED_TRACE(name);
    const std::string original = GetText(name);
    std::optional<HeldMap> expected = ObjcopyBytes(name);
    if (!expected) {
      continue;
    }
    const std::uint64_t base = *WindowsOf(*expected).begin();
    std::vector<std::uint64_t> held;
    for (auto it = expected->lower_bound(base); it != expected->end() && it->first < base + kWindow;
         ++it) {
      held.push_back(it->first);
    }
    const std::uint64_t changed = held[held.size() / 2];
    (*expected)[changed] ^= 0xFF;
    if (!Start(name, base)) {
      continue;
    }
    Type(static_cast<std::int32_t>(changed - base), (*expected)[changed]);
    if (!Save(name)) {
      continue;
    }

    const std::string saved = GetText(name);
    const std::vector<std::string> before = LinesOf(original);
    const std::vector<std::string> after = LinesOf(saved);
    std::vector<std::size_t> differing;
    for (std::size_t i = 0; i < std::min(before.size(), after.size()); ++i) {
      if (before[i] != after[i]) {
        differing.push_back(i);
      }
    }
    EXPECT_EQ(after.size(), before.size()) << "lines before and after the save";
    if (differing.size() == 1) {
      const std::string& was = before[differing[0]];
      const std::string& is = after[differing[0]];
      EXPECT_EQ(LineEndOf(is), LineEndOf(was)) << "line " << differing[0] + 1 << ": " << is;
      EXPECT_EQ(is.size(), was.size())
          << "line " << differing[0] + 1 << " was " << was << " and is " << is;
      if (!HasLetters(original, 'A', 'F')) {
        EXPECT_FALSE(HasLetters(is, 'A', 'F')) << "a lower case file got " << is;
      }
      if (!HasLetters(original, 'a', 'f')) {
        EXPECT_FALSE(HasLetters(is, 'a', 'f')) << "an upper case file got " << is;
      }
    } else {
      std::ostringstream lines;
      for (std::size_t i = 0; i < std::min<std::size_t>(differing.size(), 3); ++i) {
        lines << "\n  line " << differing[i] + 1 << " was " << before[differing[i]] << "  is "
              << after[differing[i]];
      }
      ADD_FAILURE() << std::hex << "changing the byte at " << changed << " changed " << std::dec
                    << differing.size() << " lines:" << lines.str();
    }
    const std::optional<HeldMap> read = ObjcopyBytes(name);
    EXPECT_TRUE(read == expected) << "objcopy reads the saved file otherwise than the original "
                                     "with the one byte changed";
  }
}

// A save of a file as it was loaded leaves every byte of it where it was.
TEST_F(RealRecordFiles, ASaveWithNothingChangedKeepsTheFile) {
  for (const auto& file : files_) {
    const std::string name = file.filename().string();
    SCOPED_TRACE(name);
    const std::string original = GetText(name);
    const std::optional<HeldMap> held = ObjcopyBytes(name);
    if (!held || !Start(name, *WindowsOf(*held).begin()) || !Save(name)) {
      continue;
    }
    const std::string saved = GetText(name);
    const std::vector<std::string> before = LinesOf(original);
    const std::vector<std::string> after = LinesOf(saved);
    std::size_t first = 0;
    while (first < before.size() && first < after.size() && before[first] == after[first]) {
      ++first;
    }
    EXPECT_TRUE(saved == original)
        << "the file is " << saved.size() << " bytes long, was " << original.size()
        << "; from line " << first + 1
        << " on it differs: " << (first < before.size() ? before[first] : "the end") << " is now "
        << (first < after.size() ? after[first] : "the end");
  }
}

// Records to raw and back, from the address the first conversion names: every byte objcopy read
// in the file is back at its address, and what was a gap holds the fill. Files whose bytes lie
// further apart than 4 MiB are left out: their raw image would be that large.
TEST_F(RealRecordFiles, ARoundTripThroughRawIsExact) {
  for (const auto& file : files_) {
    const std::string name = file.filename().string();
    SCOPED_TRACE(name);
    const std::optional<HeldMap> held = ObjcopyBytes(name);
    if (!held || held->rbegin()->first - held->begin()->first > (std::uint64_t{4} << 20)) {
      continue;
    }
    listing::Conversion toRaw;
    toRaw.Input.Name = name;
    toRaw.OutputName = "image.bin";
    toRaw.Fill = 0xA5;
    std::FILE* err = std::tmpfile();
    ASSERT_EQ(listing::ConvertMode(toRaw, err), 0);
    std::rewind(err);
    std::string note;
    for (int c; (c = std::fgetc(err)) != EOF;) {
      note += static_cast<char>(c);
    }
    std::fclose(err);
    const std::size_t at = note.find("starts at address ");
    ASSERT_NE(at, std::string::npos) << note;
    listing::Conversion back;
    back.Input.Name = "image.bin";
    back.OutputName = "back" + file.extension().string();
    back.Address = std::stoull(note.substr(at + 18), nullptr, 16);
    ASSERT_EQ(listing::ConvertMode(back, stderr), 0);
    const std::optional<HeldMap> again = ObjcopyBytes(back.OutputName);
    ASSERT_TRUE(again);
    for (const auto& [address, value] : *again) {
      const auto was = held->find(address);
      ASSERT_EQ(value, was == held->end() ? 0xA5 : was->second) << std::hex << "at " << address;
    }
    EXPECT_EQ(again->begin()->first, held->begin()->first);
    EXPECT_EQ(again->rbegin()->first, held->rbegin()->first);
  }
}

}  // namespace
}  // namespace lbe::files
