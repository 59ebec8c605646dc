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

void LoadFile() {
  if (!CurrentFileName.empty() && RollBackInterruptedSave(CurrentFileName)) {
    Window.Notice = "The last save of " + text::VisibleText(CurrentFileName) +
                    " was interrupted.\nThe file has been put back as it was before that save.";
  }
  std::error_code error;
  const auto status = std::filesystem::status(std::filesystem::path(CurrentFileName), error);
  if (CurrentFileName.empty() || !std::filesystem::exists(status) ||
      std::filesystem::is_directory(status)) {
    Window.Stretch = FileStretch{Window.Offset, 0, true};
    return;
  }
  // Read into a scratch buffer first, so that a failed read leaves the image and range alone.
  const FileWindowBytes read = ReadFileWindow(
      CurrentFileName, Window.Offset, static_cast<std::size_t>(kImageSize - Range.StartAddress));
  const auto count = static_cast<std::int32_t>(read.Bytes.size());
  std::copy(read.Bytes.begin(), read.Bytes.end(), Image.Bytes.begin() + Range.StartAddress);
  const std::int32_t whole = count % kLineBytes == 0 ? count : (count & 0xFFF8) + kLineBytes;
  Range.EndLine = Range.StartLine + whole / kLineBytes - 1;
  Window.Stretch = FileStretch{Window.Offset, read.Bytes.size(),
                               Window.Offset + read.Bytes.size() >= read.FileSize};
  MarkImageSaved();
}

FileStretch SaveRange() {
  Window.Stretch = ReplaceStretch(CurrentFileName, Window.Stretch, RangeBytes());
  MarkImageSaved();
  return Window.Stretch;
}

}  // namespace lbe::image
