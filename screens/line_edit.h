#pragma once
// The line edit mode: one line of the image on row 1, the cursor on one of its hex digits;
// keys overtype nibbles, repeat, insert and delete bytes, move, and set the end of the range.

namespace lbe::screens {

// E enters at the start line; G (`withGoto`) asks "Goto:" for an address first. Left and Right
// move by nibbles with `nibbleMovement` (/M), else by bytes. Returns on Esc or Q.
void LineEditMode(bool withGoto, bool nibbleMovement);

#ifdef LBE_TEST_SUPPORT
// The edit mode keeps the last pattern it searched for (N finds it again) from one stay to the
// next; this forgets it, for a fresh start.
void ForgetLastFind();
#endif

}  // namespace lbe::screens
