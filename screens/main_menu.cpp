#include "screens/main_menu.h"

#include <cstdio>

#include "console/key_input.h"
#include "console/text_output.h"
#include "console/window.h"
#include "files/edited_file.h"
#include "files/rescue_copy.h"
#include "image/address_text.h"
#include "image/memory_image.h"
#include "screens/file_commands.h"
#include "screens/line_dump.h"
#include "screens/line_edit.h"
#include "screens/list_view.h"
#include "screens/prompt.h"
#include "screens/type_in.h"
#include "text/hex_text.h"
#include "text/visible_text.h"

namespace lbe::screens {

namespace Vk = console::Vk;

namespace {

void DrawMenu() {
  console::ClearWindow();
  console::MoveCursor(1, 1);
  WriteLabel("Addr");
  console::Write(": " + image::HexText(ShownAddress(image::Range.StartAddress), 4) + "-" +
                 image::HexText(ShownAddress(image::RangeEndAddress()), 4) + "   ");
  WriteLabel("File");
  console::WriteLine(": " + ShownFileName(files::CurrentFileName) +
                     ShownFileOffset(files::Placement.Offset));
  for (std::string_view word : {"Edit   ", "Goto   ", "List   ", "Save   ", "Quit   "}) {
    WriteLabel(word);
  }
  console::WriteLine();
  console::Write("> ");
}

bool ConfirmQuit() {
  console::MoveCursor(1, 3);
  console::Write("Are you sure? (Y/N)");
  for (;;) {
    const console::KeyCode key = console::WaitKey();
    if (key == 'Y') {
      return true;
    }
    if (key == 'N') {
      return false;
    }
  }
}

void AddressCommand() {
  console::ClearWindow();
  const std::string text = AskLine("Adress:");
  if (!text.empty()) {
    image::SetStartAddress(image::ParseAddressText(text, 0));
    files::Placement.StartAddressGiven = true;  // a record file loaded next keeps it, as with /A
  }
}

}  // namespace

std::string ShownFileName(std::string_view fileName) {
  if (fileName.empty()) {
    return "[no name]";
  }
  if (const std::size_t cut = fileName.find_last_of("\\/:"); cut != std::string_view::npos) {
    fileName.remove_prefix(cut + 1);
  }
  return text::VisibleText(fileName);
}

std::string ShownFileOffset(std::uint64_t offset) {
  if (offset == 0) {
    return {};
  }
  return " +" + text::HexDigits(offset, 1);
}

void WriteLabel(std::string_view text) {
  if (text.empty()) {
    return;
  }
  console::SetForeground(console::kYellow);
  console::Write(text.substr(0, 1));
  console::SetForeground(console::kBrightWhite);
  console::Write(text.substr(1));
}

void MainRoutine(const EditorSettings& settings) {
  console::ClearWindow();
  ShowLoadNotice(files::LoadStartImage(settings.File).Notice);
  SetTypeInMode(settings.TypeIn);
  SetNewMlxLines(settings.NewMlx);
  if (settings.TypeIn) {
    OpenTypedSums();  // so that Quit knows of failed lines before E is pressed
  }
  for (;;) {
    DrawMenu();
    switch (console::WaitKey()) {
      case Vk::Escape:
      case 'Q':
        if (ConfirmQuitWithFailedSums() && ConfirmQuit()) {
          return;
        }
        break;
      case 'A':
        AddressCommand();
        break;
      case 'E':
        LineEditMode(false, settings.NibbleMovement);
        break;
      case 'G':
        LineEditMode(true, settings.NibbleMovement);
        break;
      case 'F':
        FileNameCommand();
        break;
      case 'L':
        ListView();
        break;
      case 'S':
        SaveCommand();
        break;
      default:
        break;
    }
  }
}

}  // namespace lbe::screens
