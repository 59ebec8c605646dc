#include "console/emulated_console.h"

#include <algorithm>

#include "console/line_editor.h"
#include "console/text_cells.h"
#include "text/utf8.h"

namespace lbe::console {

EmulatedConsole::EmulatedConsole(int width, int height, std::uint16_t attribute)
    : width_(std::max(width, 1)),
      height_(std::max(height, 1)),
      cells_(static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_),
             Cell{U' ', static_cast<std::uint8_t>(attribute & 0xFF)}),
      attribute_(attribute),
      startAttribute_(static_cast<std::uint8_t>(attribute & 0xFF)) {}

ScreenBufferInfo EmulatedConsole::GetScreenBufferInfo() const {
  return {{width_, height_}, cursor_, attribute_};
}

bool EmulatedConsole::SetCursorPosition(CellPos cell) {
  if (!Contains(cell)) {
    return false;
  }
  if (cell != cursor_) {
    cursor_ = cell;
    ++changes_;
  }
  return true;
}

void EmulatedConsole::FillAttribute(CellPos from, int count, std::uint8_t attribute) {
  if (!Contains(from) || count <= 0) {
    return;
  }
  const std::size_t first = Index(from);
  const std::size_t last = std::min(cells_.size(), first + static_cast<std::size_t>(count));
  for (std::size_t i = first; i < last; ++i) {
    cells_[i].Attribute = attribute;
  }
  ++changes_;
}

void EmulatedConsole::FillCharacter(CellPos from, int count, char32_t character) {
  if (!Contains(from) || count <= 0) {
    return;
  }
  const std::size_t first = Index(from);
  const std::size_t last = std::min(cells_.size(), first + static_cast<std::size_t>(count));
  for (std::size_t i = first; i < last; ++i) {
    // Only half of a double-width pair has a partner to blank.
    if (const char32_t current = cells_[i].Character;
        current == kWideTail || CellWidth(current) == 2) {
      BreakWidePair({static_cast<int>(i % static_cast<std::size_t>(width_)),
                     static_cast<int>(i / static_cast<std::size_t>(width_))});
    }
    cells_[i].Character = character;
  }
  ++changes_;
}

void EmulatedConsole::ScrollRectangle(CellPos topLeft, CellPos bottomRight, CellPos destination,
                                      char32_t fillCharacter, std::uint8_t fillAttribute) {
  // Clip the source to the buffer, and move the destination with the clipped corner.
  const CellPos from{std::max(topLeft.X, 0), std::max(topLeft.Y, 0)};
  const CellPos to{std::min(bottomRight.X, width_ - 1), std::min(bottomRight.Y, height_ - 1)};
  if (from.X > to.X || from.Y > to.Y) {
    return;
  }
  destination.X += from.X - topLeft.X;
  destination.Y += from.Y - topLeft.Y;
  const int columns = to.X - from.X + 1;
  const int rows = to.Y - from.Y + 1;
  std::vector<Cell> moved;
  moved.reserve(static_cast<std::size_t>(columns) * static_cast<std::size_t>(rows));
  for (int y = from.Y; y <= to.Y; ++y) {
    for (int x = from.X; x <= to.X; ++x) {
      Cell& cell = cells_[Index({x, y})];
      moved.push_back(cell);
      cell = Cell{fillCharacter, fillAttribute};
    }
  }
  std::size_t next = 0;
  for (int y = 0; y < rows; ++y) {
    for (int x = 0; x < columns; ++x, ++next) {
      const CellPos target{destination.X + x, destination.Y + y};
      if (Contains(target)) {
        cells_[Index(target)] = moved[next];
      }
    }
  }
  // A move can part a double-width character from its tail; what is left of it becomes blank.
  // Only the rows the move read or wrote can hold such a part.
  const int firstRow = std::max(std::min(from.Y, destination.Y), 0);
  const int lastRow = std::min(std::max(to.Y, destination.Y + rows - 1), height_ - 1);
  for (int y = firstRow; y <= lastRow; ++y) {
    for (int x = 0; x < width_; ++x) {
      Cell& cell = cells_[Index({x, y})];
      const bool head = CellWidth(cell.Character) == 2;
      if (head && (x + 1 >= width_ || cells_[Index({x + 1, y})].Character != kWideTail)) {
        cell.Character = U' ';
      } else if (cell.Character == kWideTail &&
                 (x == 0 || CellWidth(cells_[Index({x - 1, y})].Character) != 2)) {
        cell.Character = U' ';
      }
    }
  }
  ++changes_;
}

void EmulatedConsole::BreakWidePair(CellPos cell) {
  const char32_t current = cells_[Index(cell)].Character;
  if (current == kWideTail) {
    if (cell.X > 0) {
      cells_[Index({cell.X - 1, cell.Y})].Character = U' ';
    }
  } else if (CellWidth(current) == 2 && cell.X + 1 < width_) {
    Cell& tail = cells_[Index({cell.X + 1, cell.Y})];
    if (tail.Character == kWideTail) {
      tail.Character = U' ';
    }
  }
}

void EmulatedConsole::StoreCell(CellPos cell, char32_t character, std::uint8_t attribute) {
  BreakWidePair(cell);
  cells_[Index(cell)] = Cell{character, attribute};
}

void EmulatedConsole::ScrollBufferUp() {
  std::move(cells_.begin() + width_, cells_.end(), cells_.begin());
  std::fill(cells_.end() - width_, cells_.end(),
            Cell{U' ', static_cast<std::uint8_t>(attribute_ & 0xFF)});
  ++scrolledRows_;
}

void EmulatedConsole::NewLine() {
  cursor_.X = 0;
  if (cursor_.Y + 1 >= height_) {
    ScrollBufferUp();
    cursor_.Y = height_ - 1;
  } else {
    ++cursor_.Y;
  }
}

void EmulatedConsole::PutCharacter(char32_t character) {
  const int width = std::min(CellWidth(character), width_);
  const bool wrap = (outputMode_ & kWrapAtEolOutput) != 0;
  if (cursor_.X + width > width_) {
    if (!wrap) {
      return;
    }
    // A double-width character that does not fit in the last column starts the next row.
    StoreCell(cursor_, U' ', static_cast<std::uint8_t>(attribute_ & 0xFF));
    NewLine();
  }
  const auto attribute = static_cast<std::uint8_t>(attribute_ & 0xFF);
  StoreCell(cursor_, character, attribute);
  if (width == 2) {
    StoreCell({cursor_.X + 1, cursor_.Y}, kWideTail, attribute);
  }
  cursor_.X += width;
  if (cursor_.X >= width_) {
    if (wrap) {
      NewLine();
    } else {
      cursor_.X = width_ - 1;
    }
  }
}

void EmulatedConsole::WriteBytes(std::string_view bytes) {
  const bool processed = (outputMode_ & kProcessedOutput) != 0;
  while (!bytes.empty()) {
    const text::DecodedCharacter decoded = text::DecodeUtf8(bytes);
    bytes.remove_prefix(decoded.Length);
    const char32_t c = decoded.Character;
    if (processed && c == U'\r') {
      cursor_.X = 0;
    } else if (processed && c == U'\n') {
      NewLine();
    } else if (processed && c == U'\b') {
      cursor_.X = std::max(cursor_.X - 1, 0);
    } else if (processed && c == U'\t') {
      do {
        PutCharacter(U' ');
      } while (cursor_.X % 8 != 0);
    } else if (processed && c == U'\a') {
      ++bells_;  // no cell changes; a terminal rings it when it draws
    } else {
      PutCharacter(c);
    }
  }
  ++changes_;
}

bool EmulatedConsole::PeekInput(InputEvent& event) {
  if (events_.empty()) {
    return false;
  }
  event = events_.front();
  return true;
}

bool EmulatedConsole::ReadInput(InputEvent& event) {
  if (events_.empty()) {
    return false;
  }
  event = events_.front();
  events_.pop_front();
  return true;
}

void EmulatedConsole::PressKey(KeyCode key, char32_t character) {
  events_.push_back({EventType::Key, true, 1, key, character});
  events_.push_back({EventType::Key, false, 1, key, character});
}

void EmulatedConsole::TypeText(std::string_view text) {
  while (!text.empty()) {
    const text::DecodedCharacter decoded = text::DecodeUtf8(text);
    text.remove_prefix(decoded.Length);
    if (decoded.Character == U'\n' || decoded.Character == U'\r') {
      PressKey(Vk::Enter, U'\r');
    } else {
      PressKey(KeyCodeForCharacter(decoded.Character), decoded.Character);
    }
  }
}

void EmulatedConsole::TypeLine(std::string_view text) {
  TypeText(text);
  PressKey(Vk::Enter, U'\r');
}

void EmulatedConsole::Paste(std::string_view text) {
  KeySource source = KeySource::PasteStart;
  while (!text.empty()) {
    const text::DecodedCharacter decoded = text::DecodeUtf8(text);
    text.remove_prefix(decoded.Length);
    const bool lineEnd = decoded.Character == U'\n' || decoded.Character == U'\r';
    InputEvent event;
    event.VirtualKeyCode = lineEnd ? Vk::Enter : KeyCodeForCharacter(decoded.Character);
    event.Character = lineEnd ? U'\r' : decoded.Character;
    event.Source = source;
    events_.push_back(event);
    source = KeySource::Pasted;
  }
}

void EmulatedConsole::EchoLine(CellPos& start, const std::string& text, std::size_t position,
                               int& drawnCells) {
  if ((inputMode_ & kEchoInput) == 0) {
    return;
  }
  const long scrolledBefore = scrolledRows_;
  start.Y = std::clamp(start.Y, 0, height_ - 1);
  cursor_ = start;
  WriteBytes(text);
  const int cells = TextCells(text);
  if (cells < drawnCells) {
    WriteBytes(std::string(static_cast<std::size_t>(drawnCells - cells), ' '));
  }
  drawnCells = cells;
  start.Y -= static_cast<int>(scrolledRows_ - scrolledBefore);
  const int offset = start.X + TextCells(std::string_view(text).substr(0, position));
  const CellPos target{offset % width_, start.Y + offset / width_};
  if (Contains(target)) {
    cursor_ = target;
  }
  ++changes_;
}

std::optional<std::string> EmulatedConsole::ReadLine() {
  CellPos start = cursor_;
  int drawnCells = 0;
  LineEditor editor(history_);
  for (;;) {
    InputEvent event;
    if (events_.empty() && !WaitForInput()) {
      return std::nullopt;
    }
    if (!ReadInput(event) || event.Type != EventType::Key || !event.KeyDown) {
      continue;
    }
    switch (editor.Apply(event)) {
      case LineEditor::Result::Ignored:
        break;
      case LineEditor::Result::Edited:
        EchoLine(start, editor.Text(), editor.Position(), drawnCells);
        break;
      case LineEditor::Result::Done:
        EchoLine(start, editor.Text(), editor.Text().size(), drawnCells);
        if ((inputMode_ & kEchoInput) != 0) {
          WriteBytes("\r\n");
        }
        return editor.Text();
    }
  }
}

std::string EmulatedConsole::RowText(int y) const {
  std::string text;
  for (int x = 0; x < width_; ++x) {
    const char32_t c = cells_[Index({x, y})].Character;
    if (c != kWideTail) {
      text::AppendUtf8(text, c);
    }
  }
  return text;
}

std::string EmulatedConsole::RowAttributes(int y, int x, int count, std::string_view legend) const {
  std::string map;
  for (int i = x; i < x + count && i < width_; ++i) {
    const std::uint8_t attribute = cells_[Index({i, y})].Attribute;
    map += attribute < legend.size() && legend[attribute] != ' ' ? legend[attribute] : '?';
  }
  return map;
}

void EmulatedConsole::Resize(int width, int height, std::uint8_t attribute) {
  width = std::max(width, 1);
  height = std::max(height, 1);
  std::vector<Cell> cells(static_cast<std::size_t>(width) * static_cast<std::size_t>(height),
                          Cell{U' ', attribute});
  for (int y = 0; y < std::min(height, height_); ++y) {
    for (int x = 0; x < std::min(width, width_); ++x) {
      cells[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
            static_cast<std::size_t>(x)] = cells_[Index({x, y})];
    }
  }
  cells_ = std::move(cells);
  width_ = width;
  height_ = height;
  cursor_.X = std::min(cursor_.X, width_ - 1);
  cursor_.Y = std::min(cursor_.Y, height_ - 1);
  ++changes_;
}

}  // namespace lbe::console
