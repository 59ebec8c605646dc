#pragma once
// The model of a console: a screen buffer of cells, a cursor, an attribute, modes, a code page,
// an input event queue and line input. Deterministic; every unit and scenario test drives it,
// and the terminal console shows it. Knows nothing of curses.

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "console/console_device.h"

namespace lbe::console {

// The second cell of a double-width character. Above every code point, so CellWidth counts it
// 1: a cell of width 2 is always the head of a pair.
inline constexpr char32_t kWideTail = 0x10FFFF + 1;

struct Cell {
  char32_t Character = U' ';
  std::uint8_t Attribute = 0x07;
  friend bool operator==(const Cell&, const Cell&) = default;
};

class EmulatedConsole : public ConsoleDevice {
 public:
  // A buffer of `width` x `height` blank cells in `attribute`, cursor home, code page 437.
  EmulatedConsole(int width = 80, int height = 25, std::uint16_t attribute = 0x07);

  std::uint32_t OutputCodePage() const override { return codePage_; }
  void SetOutputCodePage(std::uint32_t codePage) override { codePage_ = codePage; }
  std::uint32_t InputMode() const override { return inputMode_; }
  void SetInputMode(std::uint32_t mode) override { inputMode_ = mode; }
  std::uint32_t OutputMode() const override { return outputMode_; }
  void SetOutputMode(std::uint32_t mode) override { outputMode_ = mode; }

  ScreenBufferInfo GetScreenBufferInfo() const override;
  bool SetCursorPosition(CellPos cell) override;
  void SetTextAttribute(std::uint16_t attribute) override { attribute_ = attribute; }
  void FillAttribute(CellPos from, int count, std::uint8_t attribute) override;
  void FillCharacter(CellPos from, int count, char32_t character) override;
  void ScrollRectangle(CellPos topLeft, CellPos bottomRight, CellPos destination,
                       char32_t fillCharacter, std::uint8_t fillAttribute) override;
  void WriteBytes(std::string_view bytes) override;

  int InputEventCount() override { return static_cast<int>(events_.size()); }
  bool PeekInput(InputEvent& event) override;
  bool ReadInput(InputEvent& event) override;
  void FlushInput() override { events_.clear(); }
  bool WaitForInput() override { return !events_.empty(); }
  std::optional<std::string> ReadLine() override;

  // Queueing input, as a keyboard would.
  void PushEvent(const InputEvent& event) { events_.push_back(event); }
  // A key press and its release.
  void PressKey(KeyCode key, char32_t character = 0);
  // One key press per character (UTF-8), with the key the character comes from.
  void TypeText(std::string_view text);
  // TypeText, then Enter.
  void TypeLine(std::string_view text);
  // The key events a terminal's bracketed paste of `text` gives (line ends as Enter).
  void Paste(std::string_view text);

  // Reading the model back.
  int Width() const { return width_; }
  int Height() const { return height_; }
  CellPos Cursor() const { return cursor_; }
  std::uint16_t Attribute() const { return attribute_; }
  // The attribute the buffer was made in: what the console had when the program started.
  std::uint8_t StartAttribute() const { return startAttribute_; }
  const Cell& CellAt(CellPos cell) const { return cells_[Index(cell)]; }
  // Row `y` as UTF-8, each wide character once, trailing blanks kept.
  std::string RowText(int y) const;
  // The attributes of `count` cells of row `y` from column `x`, one character each:
  // `legend[attribute]` when the legend has the attribute, else '?'.
  std::string RowAttributes(int y, int x, int count, std::string_view legend) const;
  // How often any cell or the cursor changed; lets a drawer skip a frame that changed nothing.
  std::uint64_t ChangeCount() const { return changes_; }
  // How often a BEL was written in processed-output mode: the bell the terminal is to ring.
  std::uint64_t BellCount() const { return bells_; }

  // Keeps what fits of the top-left of the old buffer; new cells are blanks in `attribute`.
  void Resize(int width, int height, std::uint8_t attribute);

 protected:
  std::size_t Index(CellPos cell) const {
    return static_cast<std::size_t>(cell.Y) * static_cast<std::size_t>(width_) +
           static_cast<std::size_t>(cell.X);
  }
  bool Contains(CellPos cell) const {
    return cell.X >= 0 && cell.Y >= 0 && cell.X < width_ && cell.Y < height_;
  }

  // How often the whole buffer has scrolled up since it was made.
  long scrolledRows_ = 0;

 private:
  void PutCharacter(char32_t character);
  void StoreCell(CellPos cell, char32_t character, std::uint8_t attribute);
  void BreakWidePair(CellPos cell);
  void NewLine();
  void ScrollBufferUp();
  void EchoLine(CellPos& start, const std::string& text, std::size_t position, int& drawnCells);

  int width_;
  int height_;
  std::vector<Cell> cells_;
  CellPos cursor_;
  std::uint16_t attribute_;
  std::uint8_t startAttribute_;
  // Recorded and given back by the console layer's start and stop as a console with code pages
  // needs; the emulated console reads and writes UTF-8 whatever it holds.
  std::uint32_t codePage_ = 437;
  std::uint32_t inputMode_ = kProcessedInput | kLineInput | kEchoInput;
  std::uint32_t outputMode_ = kProcessedOutput | kWrapAtEolOutput;
  std::deque<InputEvent> events_;
  std::vector<std::string> history_;
  std::uint64_t changes_ = 0;
  std::uint64_t bells_ = 0;
};

}  // namespace lbe::console
