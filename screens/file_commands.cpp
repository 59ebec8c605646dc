#include "screens/file_commands.h"

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "console/key_codes.h"
#include "console/key_input.h"
#include "console/text_output.h"
#include "console/window.h"
#include "files/edited_file.h"
#include "files/file_layer.h"
#include "screens/prompt.h"
#include "text/visible_text.h"

namespace lbe::screens {

using files::CurrentFileName;

namespace {

// A save shows how far it is once it has taken this long.
constexpr auto kQuietSave = std::chrono::milliseconds(500);
constexpr auto kProgressEvery = std::chrono::milliseconds(100);

// Y goes on; N or Esc does not. Other keys wait.
bool AnsweredYes() {
  for (;;) {
    const console::KeyCode key = console::WaitKey();
    if (key == 'Y') {
      return true;
    }
    if (key == 'N' || key == console::Vk::Escape) {
      return false;
    }
  }
}

// Shows "Saving: N%" at the cursor's row, now and then, once the save has taken a while.
class SaveProgressLine {
 public:
  SaveProgressLine() : started_(std::chrono::steady_clock::now()) {}
  void operator()(std::uint64_t done, std::uint64_t total) {
    const auto now = std::chrono::steady_clock::now();
    if (now - started_ < kQuietSave || now - shown_ < kProgressEvery || total == 0) {
      return;
    }
    if (shown_ == std::chrono::steady_clock::time_point{}) {
      row_ = console::CursorRow();  // below the questions the save asked
    }
    shown_ = now;
    console::MoveCursor(1, row_);
    console::Write(ProgressText(done * 100 / total));
    console::MoveCursor(1, row_);
    console::ShowNow();
  }
  // Blanks the progress line, if it was shown, for the outcome to take its place.
  void Clear() const {
    if (shown_ != std::chrono::steady_clock::time_point{}) {
      console::MoveCursor(1, row_);
      console::Write(std::string(ProgressText(100).size(), ' '));
      console::MoveCursor(1, row_);
    }
  }

 private:
  static std::string ProgressText(std::uint64_t percent) {
    return "Saving: " + std::to_string(percent) + "%";
  }
  std::chrono::steady_clock::time_point started_;
  std::chrono::steady_clock::time_point shown_{};
  std::uint8_t row_ = 1;
};

// Writes every line of `text` but its last, each with its line end (a piece of output with a
// line end inside it is cut at the window's edge), and returns the last for the caller to end.
std::string_view WriteAllButLastLine(std::string_view text) {
  for (std::size_t lineEnd; (lineEnd = text.find('\n')) != std::string_view::npos;) {
    console::WriteLine(text.substr(0, lineEnd));
    text.remove_prefix(lineEnd + 1);
  }
  return text;
}

}  // namespace

std::string SaveQuestionText(const files::SaveConcern& concern, std::string_view fileName) {
  switch (concern.What) {
    case files::SaveConcern::OtherFile:
      return text::VisibleText(fileName) +
             " now names another file than the one loaded.\nSave anyway? (Y/N)";
    case files::SaveConcern::MovesRest:
      // Two rows: the figures of a large file would run past the edge.
      return "This save moves the " + std::to_string(concern.RestBytes) +
             " bytes after the range;\nthe file becomes " + std::to_string(concern.NewFileSize) +
             " bytes. Save anyway? (Y/N)";
    case files::SaveConcern::ChangedOnDisk:
      break;
  }
  return "The file has changed since it was loaded. Save anyway? (Y/N)";
}

void ShowLoadNotice(std::string_view notice) {
  if (notice.empty()) {
    return;
  }
  console::ClearWindow();
  ShowMessage(WriteAllButLastLine(notice));
}

void FileNameCommand() {
  console::ClearWindow();
  const std::string line = AskLine("FileName:");
  if (line.empty()) {
    return;
  }
  const std::string formerName = CurrentFileName;
  CurrentFileName = files::TrimmedOfBlanksAndControls(line);
  std::string notice;
  try {
    notice = files::LoadFile().Notice;
  } catch (const files::FileError& error) {
    // The name that failed must not stay: a later S would overwrite the file it could not read.
    CurrentFileName = formerName;
    ShowMessage(error.what());
  }
  ShowLoadNotice(notice);
}

void SaveCommand() {
  console::ClearWindow();
  if (CurrentFileName.empty()) {
    CurrentFileName = AskLine("FileName:");
    if (CurrentFileName.empty()) {
      return;
    }
  }
  const auto ask = [](const files::SaveConcern& concern) {
    console::Write(WriteAllButLastLine(SaveQuestionText(concern, CurrentFileName)));
    const bool yes = AnsweredYes();
    console::WriteLine();
    return yes;
  };
  std::string result;
  std::vector<std::string> notes;
  SaveProgressLine progress;
  try {
    if (!files::SaveRange(ask, std::ref(progress), &notes)) {
      return;
    }
    result = "File " + text::VisibleText(CurrentFileName) + " has been saved.";
  } catch (const files::FileError& error) {
    result = error.what();
  }
  progress.Clear();
  for (const std::string& note : notes) {
    console::WriteLine(note);
  }
  ShowMessage(result);
}

}  // namespace lbe::screens
