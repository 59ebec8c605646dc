// The console layer on the real terminal, for the tmux tests and for trying keys by hand: text
// and colours through the window, the code of each key pressed, a typed line after L; Q ends.

#include <csignal>
#include <cstdio>
#include <string>

#include "console/console_start.h"
#include "console/key_input.h"
#include "console/terminal_console.h"
#include "console/text_output.h"
#include "console/window.h"

namespace {

using namespace lbe::console;

void DrawScreen() {
  MoveCursor(1, 1);
  SetForeground(kYellow);
  Write("lbe console demo");
  SetForeground(7);
  MoveCursor(1, 2);
  Write("Colours:");
  for (std::uint8_t colour = 1; colour <= 15; ++colour) {
    SetForeground(colour);
    Write(" " + std::to_string(colour));
  }
  SetForeground(7);
  MoveCursor(1, 3);
  Write("Wide: \xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e| Placeholder: a\x01z|");
  MoveCursor(1, 4);
  Write("Any key shows its code; L reads a line; Q ends.");
  MoveCursor(1, 25);
  SetForeground(kBrightWhite);
  Write("Bottom row");
  SetForeground(7);
}

void ShowKey(int count, KeyCode key) {
  MoveCursor(1, 6);
  std::string text = "Key " + std::to_string(count) + ": " + std::to_string(key);
  text.resize(30, ' ');
  Write(text);
  MoveCursor(1, 6);
}

void ReadLineAndShow() {
  MoveCursor(1, 8);
  Write("Line: ");
  const std::string line = ReadTypedLine();
  MoveCursor(1, 9);
  Write("Typed: [" + line + "]");
}

}  // namespace

int main() {
  TerminalConsole terminal;
  std::string error;
  if (!terminal.Open(error)) {
    std::fprintf(stderr, "console_demo: %s\n", error.c_str());
    return 1;
  }
  ConsoleStart(terminal);
  DrawScreen();
  int count = 0;
  try {
    for (;;) {
      const KeyCode key = WaitKey();
      ShowKey(++count, key);
      if (key == 'Q') {
        break;
      }
      if (key == 'L') {
        ReadLineAndShow();
      }
    }
  } catch (const InputEnded&) {
  }
  ConsoleStop();
  terminal.Close();
  if (terminal.EndingSignal() != 0) {
    std::signal(terminal.EndingSignal(), SIG_DFL);
    std::raise(terminal.EndingSignal());
  }
  std::printf("console_demo ended after %d keys\n", count);
  return 0;
}
