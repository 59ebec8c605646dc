#include "console/window.h"

#include "console/console_state.h"

namespace lbe::console {

ConsoleState Console;

namespace {

void ApplyAttribute() {
  Device().SetTextAttribute(Console.TextAttribute);
}

}  // namespace

void StartWindow() {
  const ScreenBufferInfo info = Device().GetScreenBufferInfo();
  Console.StartAttribute = info.Attribute;
  Console.TextAttribute = static_cast<std::uint8_t>(info.Attribute & 0xFF);
  DefineWindow(1, 1, 80, 25);
  ClearWindow();
}

void StopWindow() {
  Console.TextAttribute = static_cast<std::uint8_t>(Console.StartAttribute & 0xFF);
  ApplyAttribute();
}

void DefineWindow(std::uint8_t left, std::uint8_t top, std::uint8_t right, std::uint8_t bottom) {
  Console.Left = static_cast<std::int16_t>(left - 1);
  Console.Top = static_cast<std::int16_t>(top - 1);
  Console.Right = static_cast<std::int16_t>(right - 1);
  Console.Bottom = static_cast<std::int16_t>(bottom - 1);
  MoveCursor(1, 1);
}

void MoveCursor(std::uint8_t column, std::uint8_t row) {
  if (Device().SetCursorPosition({Console.Left + column - 1, Console.Top + row - 1})) {
    return;
  }
  // Refused: home, tried once (if even that is refused no console stands behind the output),
  // and the window scrolls up.
  Device().SetCursorPosition({Console.Left, Console.Top});
  ScrollWindowUp();
}

std::uint8_t CursorColumn() {
  const CellPos cursor = Device().GetScreenBufferInfo().Cursor;
  return static_cast<std::uint8_t>((cursor.X & 0xFF) + 1 - (Console.Left & 0xFF));
}

std::uint8_t CursorRow() {
  const CellPos cursor = Device().GetScreenBufferInfo().Cursor;
  return static_cast<std::uint8_t>((cursor.Y & 0xFF) + 1 - (Console.Top & 0xFF));
}

void FillWindow(char32_t character) {
  const int width = Console.Right - Console.Left + 1;
  for (int y = Console.Top; y <= Console.Bottom; ++y) {
    Device().FillAttribute({Console.Left, y}, width, Console.TextAttribute);
    Device().FillCharacter({Console.Left, y}, width, character);
  }
  MoveCursor(1, 1);
}

void ClearWindow() {
  FillWindow(U' ');
}

void ScrollWindowUp() {
  const int row = CursorRow();
  const int width = Console.Right - Console.Left + 1;
  Device().ScrollRectangle({Console.Left, Console.Top + row}, {Console.Right, Console.Bottom},
                           {Console.Left, Console.Top + row - 1}, U' ', Console.TextAttribute);
  Device().FillAttribute({Console.Left, Console.Top + row - 1}, width, Console.TextAttribute);
}

void SetForeground(std::uint8_t colour) {
  Console.TextAttribute =
      static_cast<std::uint8_t>((colour & 0x0F) | (Console.TextAttribute & 0xF0));
  ApplyAttribute();
}

}  // namespace lbe::console
