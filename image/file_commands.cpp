#include "image/file_commands.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <vector>

#include "console/key_input.h"
#include "console/text_cells.h"
#include "console/text_output.h"
#include "console/window.h"
#include "image/file_layer.h"
#include "image/memory_image.h"
#include "image/rescue_copy.h"

namespace lbe::image {

std::string CurrentFileName;
FileWindow Window;

namespace {

// The error's message where the cursor stands, then the wait that lets the user read it.
void ShowResult(std::string_view text) {
  console::WriteLine(text);
  console::WriteLine("Press any key...");
  console::WaitKey();
}

}  // namespace

void LoadFile() {
  if (!CurrentFileName.empty() && RollBackInterruptedSave(CurrentFileName)) {
    Window.Notice = "The last save of " + console::VisibleText(CurrentFileName) +
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

void ShowLoadNotice() {
  if (Window.Notice.empty()) {
    return;
  }
  console::ClearWindow();
  // Line by line: a piece of output with a line end inside it is cut at the window's edge.
  const std::size_t lineEnd = Window.Notice.find('\n');
  console::WriteLine(std::string_view(Window.Notice).substr(0, lineEnd));
  ShowResult(std::string_view(Window.Notice).substr(lineEnd + 1));
  Window.Notice.clear();
}

void FileNameCommand() {
  console::ClearWindow();
  console::Write("FileName:");
  const std::string line = console::ReadTypedLine();
  if (line.empty()) {
    return;
  }
  const std::string formerName = CurrentFileName;
  CurrentFileName = TrimmedOfBlanksAndControls(line);
  try {
    LoadFile();
  } catch (const FileError& error) {
    // The name that failed must not stay: a later S would overwrite the file it could not read.
    CurrentFileName = formerName;
    ShowResult(error.what());
  }
  ShowLoadNotice();
}

void SaveCommand() {
  console::ClearWindow();
  const std::int32_t space = kImageSize - Range.StartAddress;
  const std::int32_t count =
      std::clamp((Range.EndLine + 1) * kLineBytes - Range.StartAddress, 0, space);
  const auto first = Image.Bytes.begin() + Range.StartAddress;
  const std::vector<std::uint8_t> bytes(first, first + count);
  if (CurrentFileName.empty()) {
    console::Write("FileName:");
    CurrentFileName = console::ReadTypedLine();
    if (CurrentFileName.empty()) {
      return;
    }
  }
  std::string result;
  try {
    Window.Stretch = ReplaceStretch(CurrentFileName, Window.Stretch, bytes);
    MarkImageSaved();
    result = "File " + console::VisibleText(CurrentFileName) + " has been saved.";
  } catch (const FileError& error) {
    result = error.what();
  }
  ShowResult(result);
}

}  // namespace lbe::image
