#include "image/edited_file.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>

#include "image/file_layer.h"
#include "image/memory_image.h"
#include "image/rescue_copy.h"
#include "text/visible_text.h"

namespace lbe::image {

std::string CurrentFileName;
FileWindow Window;

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
  if (!readOnly) {
    const std::vector<std::string> removed = CleanUpOrphanJournals();
    lines.insert(lines.end(), removed.begin(), removed.end());
  }
  outcome.Notice = Joined(lines);
  std::error_code error;
  const auto status = std::filesystem::status(std::filesystem::path(CurrentFileName), error);
  if (CurrentFileName.empty() || !std::filesystem::exists(status) ||
      std::filesystem::is_directory(status)) {
    Window.Stretch = FileStretch{Window.Offset, 0, true};
    Window.Known = CurrentFileName.empty() ? std::nullopt : std::optional(FileState{});
    Window.KnownName = CurrentFileName;
    return outcome;
  }
  // Read into a scratch buffer first, so that a failed read leaves the image and range alone.
  const std::uint64_t space = kImageSize - Range.StartAddress;
  const FileWindowBytes read = ReadFileWindow(
      CurrentFileName, Window.Offset, static_cast<std::size_t>(std::min(space, Window.Length)));
  const auto count = static_cast<std::int32_t>(read.Bytes.size());
  std::copy(read.Bytes.begin(), read.Bytes.end(), Image.Bytes.begin() + Range.StartAddress);
  const std::int32_t whole = count % kLineBytes == 0 ? count : (count & 0xFFF8) + kLineBytes;
  Range.EndLine = Range.StartLine + whole / kLineBytes - 1;
  Window.Stretch = FileStretch{Window.Offset, read.Bytes.size(),
                               Window.Offset + read.Bytes.size() >= read.FileSize};
  Window.Known = read.State;
  Window.KnownName = CurrentFileName;
  MarkImageSaved();
  return outcome;
}

bool SaveRange(const SaveQuestion& ask, const SaveProgress& progress,
               std::vector<std::string>* notes) {
  const std::span<const std::uint8_t> bytes = RangeBytes();
  SaveRequest request;
  request.Stretch = Window.Stretch;
  request.Bytes = bytes;
  request.Expected = Window.KnownName == CurrentFileName ? Window.Known : std::nullopt;
  request.Ask = ask;
  request.Progress = progress;
  const SaveResult result = ReplaceStretch(CurrentFileName, request);
  if (notes != nullptr) {
    *notes = result.Notes;
  }
  if (!result.Saved) {
    return false;
  }
  Window.Stretch = result.Written;
  Window.Known = result.Now;
  Window.KnownName = CurrentFileName;
  MarkImageSaved();
  return true;
}

}  // namespace lbe::image
