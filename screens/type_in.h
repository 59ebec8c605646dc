#pragma once
// The type-in mode (--type-in): the edit mode with a field after each line's 16 digits where the
// typist types the checksum printed in the listing. lbe compares it at once with the line's
// checksum as shown (ShownLineSum, screens/line_dump.h: lbe's own sum, or with --style=mlx the New
// MLX one over the printed address), keeps every typed sum in the state folder
// (files/typed_sums.h), and shows on row 2 how far the typing has come. This unit holds the typed
// sums and draws what the mode adds; the edit mode (line_edit.cpp) calls it where its keys and
// lines need it.

#include <cstdint>

namespace lbe::screens {

// On for the whole run with --type-in; off by default, and then nothing here is ever drawn.
void SetTypeInMode(bool on);
bool TypeInMode();

#ifdef LBE_TEST_SUPPORT
// Back to a fresh process's state: no typed sums kept, nothing said yet.
void ForgetTypedSums();
#endif

// Takes in the stored sums of the file, start address and offset now in use, unless they are
// the ones kept already; and forgets what row 1 and row 2 showed, for a screen drawn afresh.
void OpenTypedSums();

enum class LineCheck { Untyped, Checked, Failed };
// A line is checked while its bytes sum to its typed sum, however they came to be.
LineCheck CheckOfLine(std::int32_t line);

// Draws over the edit line of `line` on row 1: the typed sum (or "__") in columns 23-24 and the
// check's mark from column 31; leaves the cursor where it was.
void DrawTypedSum(std::int32_t line);
// The same after a byte of `line` changed: only when what they show changed with it.
void RedrawTypedSumIfChanged(std::int32_t line);

// Row 2: how many lines of the range are checked and failed, and the next line to type; or,
// once, a notice about the state folder. Leaves the cursor where it was; writes nothing when
// row 2 already shows it.
void DrawTypeInStatus();
// Row 2 blank, for Find's prompt; the status comes back after Find's message.
void ClearTypeInStatus();

// The sum field of the current line, while the cursor stands in it.
bool SumFieldOpen();
// Opens the field of `line` empty, with the cursor on its first digit.
void OpenSumField(std::int32_t line);
// Closes the field; the line's stored typed sum shows again.
void CloseSumField(std::int32_t line);

enum class SumEntry { Pending, Checked, Failed };
// One digit (0-15) typed into the open field of `line`. The second digit closes the field,
// keeps the typed sum and tells the check; the first leaves the cursor on the second.
SumEntry TypeSumDigit(std::int32_t line, std::int32_t value);

// Writes the typed sums to the state folder when they changed since last written: after each
// sum, once no key waits (a pasted listing writes once, not once a line), and on leaving.
void StoreChangedSums();

// The first line after `line` that is not checked, up to the line after the range, going round
// to the start line; `line` itself when every other line is checked.
std::int32_t NextUncheckedLine(std::int32_t line);

// How many lines of the range failed their typed sums.
int FailedLineCount();

// Before Quit's own question: when lines failed their sums, asks on row 3 whether to quit
// anyway. True to go on quitting.
bool ConfirmQuitWithFailedSums();

}  // namespace lbe::screens
