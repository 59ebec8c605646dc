#include "screens/file_commands.h"

#include <string>
#include <string_view>

#include "console/text_output.h"
#include "console/window.h"
#include "image/edited_file.h"
#include "image/file_layer.h"
#include "screens/prompt.h"
#include "text/visible_text.h"

namespace lbe::screens {

using image::CurrentFileName;
using image::Window;

void ShowLoadNotice() {
  if (Window.Notice.empty()) {
    return;
  }
  console::ClearWindow();
  // Line by line: a piece of output with a line end inside it is cut at the window's edge.
  const std::size_t lineEnd = Window.Notice.find('\n');
  console::WriteLine(std::string_view(Window.Notice).substr(0, lineEnd));
  ShowMessage(std::string_view(Window.Notice).substr(lineEnd + 1));
  Window.Notice.clear();
}

void FileNameCommand() {
  console::ClearWindow();
  const std::string line = AskLine("FileName:");
  if (line.empty()) {
    return;
  }
  const std::string formerName = CurrentFileName;
  CurrentFileName = image::TrimmedOfBlanksAndControls(line);
  try {
    image::LoadFile();
  } catch (const image::FileError& error) {
    // The name that failed must not stay: a later S would overwrite the file it could not read.
    CurrentFileName = formerName;
    ShowMessage(error.what());
  }
  ShowLoadNotice();
}

void SaveCommand() {
  console::ClearWindow();
  if (CurrentFileName.empty()) {
    CurrentFileName = AskLine("FileName:");
    if (CurrentFileName.empty()) {
      return;
    }
  }
  std::string result;
  try {
    image::SaveRange();
    result = "File " + text::VisibleText(CurrentFileName) + " has been saved.";
  } catch (const image::FileError& error) {
    result = error.what();
  }
  ShowMessage(result);
}

}  // namespace lbe::screens
