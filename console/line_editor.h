#pragma once
// The text of one line being typed at a console prompt: where the cursor stands in it, the
// editing keys, the recall of earlier lines, and what a paste may add. Pure: the console reads
// the keys and echoes the text.

#include <cstddef>
#include <string>
#include <vector>

#include "console/console_device.h"

namespace lbe::console {

class LineEditor {
 public:
  enum class Result { Edited, Ignored, Done };

  // `history` holds the earlier lines, oldest first; Enter adds a non-empty line to it.
  explicit LineEditor(std::vector<std::string>& history)
      : history_(history), recalled_(history.size()) {}

  // Acts on one key press: Backspace, Delete, Left, Right, Home, End, Esc (clears), Up and Down
  // (recall), Enter (Done), a character (typed in; control characters are Ignored). A paste
  // types its text up to its first line end; the rest of it is Ignored.
  Result Apply(const InputEvent& event);

  const std::string& Text() const { return text_; }
  std::size_t Position() const { return position_; }  // byte offset of the cursor in Text

 private:
  Result ApplyPasted(const InputEvent& event);
  Result Recall(KeyCode key);
  Result Insert(char32_t character);

  std::vector<std::string>& history_;
  std::size_t recalled_;
  std::string text_;
  std::size_t position_ = 0;
  bool pasteLineEnded_ = false;  // the paste being read has passed its first line end
};

}  // namespace lbe::console
