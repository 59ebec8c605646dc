#pragma once
// Key input by virtual-key code, and typed lines, from the console's input queue.

#include <string>

#include "console/key_codes.h"

namespace lbe::console {

// Thrown by WaitKey and ReadTypedLine when no input will ever come (the terminal hung up, or a
// test's script ran out). Not a std::exception, so that no error handler swallows it.
struct InputEnded {};

// True when a key press waits at the head of the queue (it stays); otherwise takes one other
// event off the queue, if there is one, and returns false.
bool PollInput();
// The next key press with a non-zero code, taken off the queue. Blocks without spinning.
KeyCode WaitKey();
// Discards every pending input event.
void FlushInput();
// One line typed at the console with its echo and line editing; the line end is not part of it.
// Flushes standard output first, so a prompt stands before input is read.
std::string ReadTypedLine();

}  // namespace lbe::console
