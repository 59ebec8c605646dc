#include "files/edited_file.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <filesystem>

#include "files/file_layer.h"
#include "image/address_text.h"
#include "image/edit_history.h"
#include "image/memory_image.h"
#include "text/visible_text.h"

namespace lbe::files {

using image::Image;
using image::kImageSize;
using image::kLineBytes;
using image::Range;

std::string CurrentFileName;
FilePlacement Placement;
SavedState Saved;

namespace {

// xxHash64's round over the range and the image, 8 bytes at a time: a few microseconds at
// start-up. Each round is a bijection of the state, so a change to any one word always shows.
std::uint64_t Fingerprint() {
  constexpr std::uint64_t kPrime1 = 0x9E3779B185EBCA87u;
  constexpr std::uint64_t kPrime2 = 0xC2B2AE3D27D4EB4Fu;
  const auto mix = [](std::uint64_t hash, std::uint64_t word) {
    return std::rotl(hash + word * kPrime2, 31) * kPrime1;
  };
  std::uint64_t hash =
      mix(0, static_cast<std::uint64_t>(static_cast<std::uint32_t>(Range.StartAddress)) << 32 |
                 static_cast<std::uint32_t>(Range.EndLine));
  for (std::size_t at = 0; at < Image.Bytes.size(); at += sizeof(std::uint64_t)) {
    std::uint64_t word;
    std::memcpy(&word, Image.Bytes.data() + at, sizeof word);
    hash = mix(hash, word);
  }
  return hash;
}

}  // namespace

void MarkImageSaved() {
  Saved.Fingerprint = Fingerprint();
}

bool ImageChangedSinceSaved() {
  return Fingerprint() != Saved.Fingerprint;
}

namespace {

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) {
    text += (text.empty() ? "" : "\n") + line;
  }
  return text;
}

}  // namespace

LoadOutcome LoadFile(bool readOnly) {
  LoadOutcome outcome;
  std::vector<std::string> lines;
  // The journals of files that are gone go first, so that a new file that got a gone one's inode
  // number does not meet its journal; the file being loaded keeps its own, whatever its name.
  const std::vector<std::string> removed =
      readOnly ? std::vector<std::string>() : CleanUpOrphanJournals(CurrentFileName);
  if (!CurrentFileName.empty()) {
    const JournalReport report = SettleJournals(CurrentFileName, readOnly);
    if (report.RolledBack) {
      lines.push_back("The last save of " + text::VisibleText(CurrentFileName) +
                      " was interrupted.");
      lines.push_back("The file has been put back as it was before that save.");
    }
    lines.insert(lines.end(), report.Lines.begin(), report.Lines.end());
    if (report.Interrupted) {
      outcome.Interrupted = true;
      outcome.Notice = Joined(lines);
      return outcome;
    }
  }
  lines.insert(lines.end(), removed.begin(), removed.end());
  outcome.Notice = Joined(lines);
  std::error_code error;
  const auto status = std::filesystem::status(std::filesystem::path(CurrentFileName), error);
  if (CurrentFileName.empty() || !std::filesystem::exists(status) ||
      std::filesystem::is_directory(status)) {
    Placement.Stretch = FileStretch{Placement.Offset, 0, true};
    Placement.Known = CurrentFileName.empty() ? std::nullopt : std::optional(FileState{});
    Placement.KnownName = CurrentFileName;
    return outcome;
  }
  // Read into a scratch buffer first, so that a failed read leaves the image and range alone.
  const std::uint64_t space = kImageSize - Range.StartAddress;
  const FilePiece read = ReadFilePiece(CurrentFileName, Placement.Offset,
                                       static_cast<std::size_t>(std::min(space, Placement.Length)));
  const auto count = static_cast<std::int32_t>(read.Bytes.size());
  std::copy(read.Bytes.begin(), read.Bytes.end(), Image.Bytes.begin() + Range.StartAddress);
  const std::int32_t whole = count % kLineBytes == 0 ? count : (count & 0xFFF8) + kLineBytes;
  Range.EndLine = Range.StartLine + whole / kLineBytes - 1;
  image::ClearHistory();  // a load replaces what the changes were made to
  Placement.Stretch = FileStretch{Placement.Offset, read.Bytes.size(),
                                  Placement.Offset + read.Bytes.size() >= read.FileSize};
  Placement.Known = read.State;
  Placement.KnownName = CurrentFileName;
  MarkImageSaved();
  return outcome;
}

bool SaveRange(const SaveQuestion& ask, const SaveProgress& progress,
               std::vector<std::string>* notes) {
  const std::span<const std::uint8_t> bytes = image::RangeBytes();
  SaveRequest request;
  request.Stretch = Placement.Stretch;
  request.Bytes = bytes;
  request.Expected = Placement.KnownName == CurrentFileName ? Placement.Known : std::nullopt;
  request.Ask = ask;
  request.Progress = progress;
  const SaveResult result = ReplaceStretch(CurrentFileName, request);
  if (notes != nullptr) {
    *notes = result.Notes;
  }
  if (!result.Saved) {
    return false;
  }
  Placement.Stretch = result.Written;
  Placement.Known = result.Now;
  Placement.KnownName = CurrentFileName;
  MarkImageSaved();
  return true;
}

LoadOutcome LoadStartImage(const StartFile& start, bool readOnly) {
  Image = {};
  image::SetStartAddress(start.AddressText ? image::ParseAddressText(*start.AddressText, 0) : 0);
  CurrentFileName = start.Name;
  Placement = {};
  Placement.Offset = start.Offset;
  Placement.Length = start.Length;
  const LoadOutcome outcome = LoadFile(readOnly);
  MarkImageSaved();
  return outcome;
}

}  // namespace lbe::files
