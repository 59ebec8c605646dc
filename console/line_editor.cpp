#include "console/line_editor.h"

#include <algorithm>
#include <string_view>

#include "text/utf8.h"
#include "text/visible_text.h"

namespace lbe::console {

namespace {

// Byte index of the character boundary before `position`.
std::size_t PreviousBoundary(const std::string& text, std::size_t position) {
  return position - text::LastCharacterLength(std::string_view(text).substr(0, position));
}

std::size_t NextBoundary(const std::string& text, std::size_t position) {
  return position +
         std::max<std::size_t>(text::DecodeUtf8(std::string_view(text).substr(position)).Length, 1);
}

}  // namespace

LineEditor::Result LineEditor::Apply(const InputEvent& event) {
  if (IsPasted(event)) {
    return ApplyPasted(event);
  }
  switch (event.VirtualKeyCode) {
    case Vk::Enter:
      if (!text_.empty()) {
        history_.push_back(text_);
      }
      return Result::Done;
    case Vk::Backspace:
      if (position_ > 0) {
        const std::size_t previous = PreviousBoundary(text_, position_);
        text_.erase(previous, position_ - previous);
        position_ = previous;
      }
      return Result::Edited;
    case Vk::Delete:
      if (position_ < text_.size()) {
        text_.erase(position_, NextBoundary(text_, position_) - position_);
      }
      return Result::Edited;
    case Vk::Left:
      position_ = position_ > 0 ? PreviousBoundary(text_, position_) : 0;
      return Result::Edited;
    case Vk::Right:
      position_ = position_ < text_.size() ? NextBoundary(text_, position_) : position_;
      return Result::Edited;
    case Vk::Home:
      position_ = 0;
      return Result::Edited;
    case Vk::End:
      position_ = text_.size();
      return Result::Edited;
    case Vk::Escape:
      text_.clear();
      position_ = 0;
      return Result::Edited;
    case Vk::Up:
    case Vk::Down:
      return Recall(event.VirtualKeyCode);
    default:
      return Insert(event.Character);
  }
}

// A paste is text, never keys: it can neither end the line nor edit it, so that a pasted line
// end cannot answer the prompt and what follows it cannot reach the next screen.
LineEditor::Result LineEditor::ApplyPasted(const InputEvent& event) {
  if (event.Source == KeySource::PasteStart) {
    pasteLineEnded_ = false;
  }
  if (pasteLineEnded_) {
    return Result::Ignored;
  }
  if (event.Character == U'\r' || event.Character == U'\n') {
    pasteLineEnded_ = true;
    return Result::Ignored;
  }
  return Insert(event.Character);
}

LineEditor::Result LineEditor::Recall(KeyCode key) {
  if (key == Vk::Up && recalled_ > 0) {
    text_ = history_[--recalled_];
  } else if (key == Vk::Down && recalled_ + 1 < history_.size()) {
    text_ = history_[++recalled_];
  } else if (key == Vk::Down) {
    recalled_ = history_.size();
    text_.clear();
  }
  position_ = text_.size();
  return Result::Edited;
}

LineEditor::Result LineEditor::Insert(char32_t character) {
  if (text::IsPlaceholderCharacter(character)) {
    return Result::Ignored;
  }
  std::string typed;
  text::AppendUtf8(typed, character);
  text_.insert(position_, typed);
  position_ += typed.size();
  return Result::Edited;
}

}  // namespace lbe::console
