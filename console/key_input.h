#pragma once
// Key input by virtual-key code, and typed lines, from the console's input queue.

#include <exception>
#include <string>

#include "console/key_codes.h"

namespace lbe::console {

// Thrown by WaitKey and ReadTypedLine when no input will ever come (the terminal hung up, a
// signal ended the run, or a test's script ran out). In the program only RunProgram catches it.
struct InputEnded : std::exception {
  const char* what() const noexcept override { return "no more input"; }
};

// True when a key press waits at the head of the queue (it stays); otherwise takes one other
// event off the queue, if there is one, and returns false.
bool PollInput();
// A key press, and whether it is part of a paste.
struct KeyPress {
  KeyCode Code = 0;
  char32_t Character = 0;  // what the key types; 0 for keys that type nothing
  bool Pasted = false;
  bool StartsPaste = false;  // the first character of a paste: two pastes in a row stay two
};
// The next key press with a non-zero code, pasted ones included, taken off the queue. Blocks
// without spinning. For the screens that take pasted text.
KeyPress WaitKeyOrPaste();
// The next key press typed at the keyboard: pasted text answers no single-key wait, so a paste
// is skipped as a whole.
KeyCode WaitKey();
// Shows the screen as it stands now, while a long task keeps the program from waiting for keys.
void ShowNow();
// Discards every pending input event.
void FlushInput();
// One line typed at the console with its echo and line editing; the line end is not part of it.
// Flushes standard output first, so a prompt stands before input is read.
std::string ReadTypedLine();

}  // namespace lbe::console
