#include "screens/prompt.h"

#include "console/key_input.h"
#include "console/text_output.h"

namespace lbe::screens {

std::string AskLine(std::string_view prompt) {
  console::Write(prompt);
  return console::ReadTypedLine();
}

void ShowMessage(std::string_view text) {
  console::WriteLine(text);
  console::WriteLine("Press any key...");
  console::WaitKey();
}

}  // namespace lbe::screens
