#pragma once
// What the screens share to ask a question and to show an outcome: the prompt with its typed
// line, and the message that waits for a key. They write at the cursor and clear nothing; the
// screen that calls them decides where.

#include <string>
#include <string_view>

namespace lbe::screens {

// Writes `prompt` and returns the line typed after it (console::ReadTypedLine: echoed and
// edited as typed, a paste only ever adds text), without its line end; empty for Enter alone.
std::string AskLine(std::string_view prompt);

// Writes `text` and then "Press any key..." on lines of their own, and waits for a key.
void ShowMessage(std::string_view text);

}  // namespace lbe::screens
