#pragma once
// The one platform interface of the console layer: what a console offers a program (cells,
// cursor, attribute, modes, code page, input events, line input). Knows nothing of windows.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "console/key_codes.h"

namespace lbe::console {

// A cell of the screen buffer, 0-based from its top-left cell.
struct CellPos {
  int X = 0;
  int Y = 0;
  friend bool operator==(CellPos, CellPos) = default;
};

struct ScreenBufferInfo {
  CellPos Size;             // columns and rows of the buffer
  CellPos Cursor;           // where the next byte is written
  std::uint16_t Attribute;  // the attribute in which it is written
};

enum class EventType : std::uint8_t { Key = 1, Mouse = 2, WindowSize = 4, Menu = 8, Focus = 16 };

// Where a key event comes from: the keyboard, or the text of a bracketed paste (PasteStart for
// its first character, so that two pastes in a row stay two).
enum class KeySource : std::uint8_t { Typed, PasteStart, Pasted };

struct InputEvent {
  EventType Type = EventType::Key;
  bool KeyDown = true;
  // Kept though nothing acts on it: a console reports held keys so, and the tests queue such
  // events to show that each is one key press.
  std::uint16_t RepeatCount = 1;
  KeyCode VirtualKeyCode = 0;
  char32_t Character = 0;  // what the key types; 0 for keys that type nothing
  KeySource Source = KeySource::Typed;
};

inline bool IsPasted(const InputEvent& event) {
  return event.Source != KeySource::Typed;
}

// Mode flags, with the console's own values. The emulated console acts on echo, processed
// output and wrap; the other input flags are kept so that start-up asks for what a console
// needs (the terminal console always queues mouse and window-size events).
inline constexpr std::uint32_t kProcessedInput = 0x1;
inline constexpr std::uint32_t kLineInput = 0x2;
inline constexpr std::uint32_t kEchoInput = 0x4;
inline constexpr std::uint32_t kWindowInput = 0x8;
inline constexpr std::uint32_t kMouseInput = 0x10;
inline constexpr std::uint32_t kProcessedOutput = 0x1;
inline constexpr std::uint32_t kWrapAtEolOutput = 0x2;
inline constexpr std::uint32_t kUtf8CodePage = 65001;

class ConsoleDevice {
 public:
  virtual ~ConsoleDevice() = default;

  virtual std::uint32_t OutputCodePage() const = 0;
  virtual void SetOutputCodePage(std::uint32_t codePage) = 0;
  virtual std::uint32_t InputMode() const = 0;
  virtual void SetInputMode(std::uint32_t mode) = 0;
  virtual std::uint32_t OutputMode() const = 0;
  virtual void SetOutputMode(std::uint32_t mode) = 0;

  virtual ScreenBufferInfo GetScreenBufferInfo() const = 0;
  // False, cursor unmoved, when `cell` lies outside the screen buffer.
  virtual bool SetCursorPosition(CellPos cell) = 0;
  // The attribute of every character written from now on.
  virtual void SetTextAttribute(std::uint16_t attribute) = 0;
  // Runs of `count` cells from `from` along the row and on into the next rows, clipped at the
  // buffer's end. The cursor does not move.
  virtual void FillAttribute(CellPos from, int count, std::uint8_t attribute) = 0;
  virtual void FillCharacter(CellPos from, int count, char32_t character) = 0;
  // Moves the cells of the rectangle `topLeft`..`bottomRight` (inclusive) so that its top-left
  // cell lands on `destination`; cells it leaves and the moved rectangle does not cover take
  // `fillCharacter` in `fillAttribute`. Clipped to the buffer; the cursor does not move.
  virtual void ScrollRectangle(CellPos topLeft, CellPos bottomRight, CellPos destination,
                               char32_t fillCharacter, std::uint8_t fillAttribute) = 0;
  // Writes UTF-8 at the cursor in processed-output mode: CR, LF, BS, TAB and BEL act; other
  // controls are stored in cells (and drawn as a placeholder); text wraps at the buffer's right
  // edge and the whole buffer scrolls up at its bottom.
  virtual void WriteBytes(std::string_view bytes) = 0;

  virtual int InputEventCount() = 0;
  // Copy of the first event, left in the queue. False when the queue is empty.
  virtual bool PeekInput(InputEvent& event) = 0;
  // The first event, taken off the queue. False when the queue is empty.
  virtual bool ReadInput(InputEvent& event) = 0;
  virtual void FlushInput() = 0;
  // Blocks until an event is queued, without spinning. False when no input will ever come
  // (the terminal hung up, or a test's script of keys has run out).
  virtual bool WaitForInput() = 0;
  // Shows what the buffer holds now, without waiting for input, and follows a change of the
  // terminal's size: for a long task that reports its progress. A model has nothing to show.
  virtual void Present() {}
  // One typed line, echoed at the cursor and edited as a console does (Backspace, Delete,
  // Left/Right, Home/End, Esc clears, Up/Down recall earlier lines); Enter echoes a line end and
  // is not part of the text. Empty optional when input ends before Enter.
  virtual std::optional<std::string> ReadLine() = 0;
};

}  // namespace lbe::console
