#include "screens/line_edit.h"

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <optional>
#include <string>

#include "console/key_codes.h"
#include "console/key_input.h"
#include "console/text_output.h"
#include "console/window.h"
#include "files/edited_file.h"
#include "image/address_text.h"
#include "image/byte_search.h"
#include "image/edit_history.h"
#include "image/memory_image.h"
#include "screens/line_dump.h"
#include "screens/prompt.h"
#include "screens/type_in.h"
#include "text/hex_text.h"

namespace lbe::screens {
namespace {

namespace Vk = console::Vk;
using console::KeyCode;
using image::Image;
using image::kLastLine;
using image::kLineBytes;
using image::Range;

constexpr std::int32_t kLastAddress = image::kImageSize - 1;
constexpr std::int32_t kNibblesPerLine = 2 * kLineBytes;
constexpr std::int32_t kPageLines = 32;

// One stay in the edit mode; E always starts afresh.
struct EditCursor {
  std::int32_t CurrentLine = 0;   // StartLine to 8191
  std::int32_t NibbleColumn = 0;  // 0 to 15 between keys; even = high nibble
  std::uint8_t CursorStep = 2;    // how far Left and Right move: 1 nibble or 2 (a byte)
};

std::int32_t CursorAddress(const EditCursor& cursor) {
  return cursor.CurrentLine * kLineBytes + cursor.NibbleColumn / 2;
}

void Redraw(const EditCursor& cursor) {
  DrawEditLine(cursor.CurrentLine, cursor.NibbleColumn);
  if (TypeInMode()) {
    DrawTypedSum(cursor.CurrentLine);
  }
}

void PlaceCursor(const EditCursor& cursor) {
  console::MoveCursor(NibbleScreenColumn(cursor.NibbleColumn), 1);
}

// A line moved down to or typed on beyond the range joins it, so that Save writes what was typed.
void TakeLineIntoRange(const EditCursor& cursor) {
  if (cursor.CurrentLine > Range.EndLine) {
    Range.EndLine = cursor.CurrentLine;
  }
}

// Raises EndLine to the line reached; false when the move stopped at line 8191.
bool MoveLineDown(EditCursor& cursor, std::int32_t count) {
  cursor.CurrentLine += count;
  bool whole = true;
  if (cursor.CurrentLine > kLastLine) {
    cursor.CurrentLine = kLastLine;
    whole = false;
  }
  TakeLineIntoRange(cursor);
  Redraw(cursor);
  return whole;
}

// False when the move stopped at StartLine. EndLine is not touched.
bool MoveLineUp(EditCursor& cursor, std::int32_t count) {
  cursor.CurrentLine -= count;
  bool whole = true;
  if (cursor.CurrentLine < Range.StartLine) {
    cursor.CurrentLine = Range.StartLine;
    whole = false;
  }
  Redraw(cursor);
  return whole;
}

// A byte step lands on the high nibble of the byte before, from either nibble of the cursor byte.
void StepCursorLeft(EditCursor& cursor, std::int32_t step) {
  cursor.NibbleColumn -= step == 1 ? 1 : 2 + cursor.NibbleColumn % 2;
  if (cursor.NibbleColumn < 0) {
    if (MoveLineUp(cursor, 1)) {
      cursor.NibbleColumn += kNibblesPerLine;
    } else {
      cursor.NibbleColumn = 0;
    }
  }
  PlaceCursor(cursor);
}

void StepCursorRight(EditCursor& cursor, std::int32_t step) {
  cursor.NibbleColumn += step == 1 ? 1 : 2 - cursor.NibbleColumn % 2;
  if (cursor.NibbleColumn >= kNibblesPerLine) {
    if (MoveLineDown(cursor, 1)) {
      cursor.NibbleColumn -= kNibblesPerLine;
    } else {
      cursor.NibbleColumn = kNibblesPerLine - 1;
    }
  }
  PlaceCursor(cursor);
}

// Where a change made now is made, for the history.
image::EditPlace PlaceOf(const EditCursor& cursor) {
  return {cursor.CurrentLine, cursor.NibbleColumn};
}

// Runs `change` as one change of the history, made where the cursor stands.
template <typename Change>
void AsOneChange(EditCursor& cursor, Change change) {
  image::BeginChange(PlaceOf(cursor));
  change();
  image::EndChange();
}

// The shift runs to the end of the image, not of the range in use: the byte at 0xFFFF is lost.
void InsertByte(EditCursor& cursor) {
  cursor.NibbleColumn -= cursor.NibbleColumn % 2;
  const std::int32_t p = CursorAddress(cursor);
  image::NoteInsert(p);
  image::InsertByte(p);
  Redraw(cursor);
}

void DeleteByte(EditCursor& cursor) {
  cursor.NibbleColumn -= cursor.NibbleColumn % 2;
  const std::int32_t p = CursorAddress(cursor);
  image::NoteDelete(p);
  image::DeleteByte(p);
  Redraw(cursor);
}

// Removes the byte before the cursor byte, so the cursor stays on the byte it was on.
void Backspace(EditCursor& cursor) {
  cursor.NibbleColumn -= cursor.NibbleColumn % 2;
  const std::int32_t before = cursor.NibbleColumn;
  StepCursorLeft(cursor, 2);
  if (cursor.NibbleColumn != before) {
    DeleteByte(cursor);
  }
}

// Past the line's last nibble the next line is shown (line 8191 shows itself again); in the
// type-in mode the line's sum field comes first.
void AdvanceNibbles(EditCursor& cursor, std::int32_t nibbles) {
  cursor.NibbleColumn += nibbles;
  if (cursor.NibbleColumn == kNibblesPerLine && TypeInMode()) {
    cursor.NibbleColumn = kNibblesPerLine - 1;
    OpenSumField(cursor.CurrentLine);
  } else if (cursor.NibbleColumn == kNibblesPerLine) {
    cursor.NibbleColumn = 0;
    MoveLineDown(cursor, 1);
  }
}

// The current line's checksum after a byte of it changed, or in the type-in mode its check;
// the cursor goes back on its nibble.
void RewriteChecksum(const EditCursor& cursor) {
  if (TypeInMode()) {
    RedrawTypedSumIfChanged(cursor.CurrentLine);
  } else {
    console::MoveCursor(kChecksumColumn, 1);
    WriteLineChecksum(cursor.CurrentLine * kLineBytes);
  }
  PlaceCursor(cursor);
}

// Only the checksum and the digit are rewritten: a slow link carries a handful of bytes per key.
void TypeDigit(EditCursor& cursor, std::int32_t value, char shown) {
  TakeLineIntoRange(cursor);
  const std::int32_t p = CursorAddress(cursor);
  image::NoteByte(p);
  if (cursor.NibbleColumn % 2 == 1) {
    Image[p] = static_cast<std::uint8_t>((Image[p] & 0xF0) | value);
  } else {
    Image[p] = static_cast<std::uint8_t>((Image[p] & 0x0F) | (value << 4));
  }
  RewriteChecksum(cursor);
  console::Write(std::string_view(&shown, 1));
  AdvanceNibbles(cursor, 1);
}

// Copies the byte before the cursor byte; at StartAddress there is none, so it writes 00.
void RepeatByte(EditCursor& cursor) {
  TakeLineIntoRange(cursor);
  const std::int32_t p = CursorAddress(cursor);
  image::NoteByte(p);
  Image[p] = p > Range.StartAddress ? Image[p - 1] : 0;
  cursor.NibbleColumn -= cursor.NibbleColumn % 2;
  RewriteChecksum(cursor);
  console::Write(image::HexText(Image[p], 2));
  AdvanceNibbles(cursor, 2);
}

// After an empty file is loaded EndLine is StartLine - 1, which is -1 at start 0: the edit mode
// stays on StartLine then, so that it never shows a line above the range or outside the image.
void GoToEndLine(EditCursor& cursor) {
  assert(Range.EndLine <= kLastLine);
  cursor.CurrentLine = Range.EndLine < Range.StartLine ? Range.StartLine : Range.EndLine;
  Redraw(cursor);
}

// "Goto:" answer as an address as shown (ShownAddress), taken back to the image's; no answer or
// a bad one is StartAddress, and the result is kept between StartAddress and 0xFFFF (a negative
// parse, bit 31 set, is below StartAddress too).
std::int32_t AskGotoAddress() {
  const std::int32_t shift = files::Placement.AddressShift;
  std::int32_t value = image::ParseAddressText(AskLine("Goto:"), Range.StartAddress + shift);
  value = value < Range.StartAddress + shift ? Range.StartAddress : value - shift;
  if (value > kLastAddress) {
    value = kLastAddress;
  }
  return value;
}

// The digit value and the character shown for a digit key of the main keys or the keypad;
// value -1 for any other key.
struct DigitKey {
  std::int32_t Value = -1;
  char Shown = 0;
};

DigitKey DigitOfKey(KeyCode key) {
  // The keys 0 to 9 and A to F have the codes of their characters; those of a to f are the
  // keypad's.
  if (const int digit = text::UpperHexDigitValue(static_cast<char32_t>(key)); digit >= 0) {
    return {digit, static_cast<char>(key)};
  }
  if (key >= Vk::Numpad0 && key <= Vk::Numpad0 + 9) {
    return {key - Vk::Numpad0, static_cast<char>(key - Vk::Numpad0 + '0')};
  }
  return {};
}

// Home, End and the moves by line or step; false for any other key.
bool MoveByKey(EditCursor& cursor, KeyCode key) {
  switch (key) {
    case Vk::PageUp:
      MoveLineUp(cursor, kPageLines);
      return true;
    case Vk::PageDown:
      MoveLineDown(cursor, kPageLines);
      return true;
    case Vk::End:
      GoToEndLine(cursor);
      return true;
    case Vk::Home:
      cursor.CurrentLine = Range.StartLine;
      Redraw(cursor);
      return true;
    case Vk::Left:
      StepCursorLeft(cursor, cursor.CursorStep);
      return true;
    case Vk::Up:
      MoveLineUp(cursor, 1);
      return true;
    case Vk::Right:
      StepCursorRight(cursor, cursor.CursorStep);
      return true;
    case Vk::Down:
      MoveLineDown(cursor, 1);
      return true;
    default:
      return false;
  }
}

// The pattern of the last search, for N; and whether row 2 holds a search's message.
struct LastFind {
  image::FindPattern Pattern;
  bool MessageShown = false;
};
LastFind Find;

// Find's prompt and messages stand on row 2: row 1 keeps the edit line, and the echo of Enter
// never reaches the window's last row, where it would scroll row 1 away.
constexpr std::uint8_t kFindRow = 2;

// Blanks the rows from kFindRow to `lastRow` and puts the cursor back on its nibble.
void ClearFindRows(const EditCursor& cursor, std::uint8_t lastRow) {
  for (std::uint8_t row = kFindRow; row <= lastRow; ++row) {
    console::MoveCursor(1, row);
    console::Write(std::string(79, ' '));
  }
  PlaceCursor(cursor);
  Find.MessageShown = false;
}

void ShowFindMessage(const EditCursor& cursor, std::string_view message) {
  console::MoveCursor(1, kFindRow);
  console::Write(message);
  PlaceCursor(cursor);
  Find.MessageShown = true;
}

// Searches from the byte after the cursor for the last pattern; a match puts the cursor on its
// first byte's high nibble, as Goto does, and leaves the range as it is.
void FindNext(EditCursor& cursor) {
  if (Find.Pattern.Bytes.empty()) {
    ShowFindMessage(cursor, "Nothing to find again: / asks what to find.");
    return;
  }
  const image::FindResult found =
      image::FindInImage(Find.Pattern, CursorAddress(cursor) + 1, Range.StartAddress);
  if (!found.Address) {
    ShowFindMessage(cursor, "Not found.");
    return;
  }
  cursor.CurrentLine = *found.Address / kLineBytes;
  cursor.NibbleColumn = *found.Address % kLineBytes * 2;
  Redraw(cursor);
  if (found.Wrapped) {
    ShowFindMessage(cursor, "Found after going round to the start of the range.");
  }
}

// "/": asks what to find on row 2 and finds it. An empty answer finds nothing.
void AskAndFind(EditCursor& cursor) {
  console::MoveCursor(1, kFindRow);
  const std::string text = AskLine("Find:");
  ClearFindRows(cursor, console::CursorRow());
  image::FindPattern pattern = image::ParseFindPattern(text);
  if (!pattern.Error.empty()) {
    ShowFindMessage(cursor, pattern.Error);
  } else if (!pattern.Bytes.empty()) {
    Find.Pattern = std::move(pattern);
    FindNext(cursor);
  }
}

// Puts the cursor where the change taken back or made again was made, and shows that line.
void GoToChange(EditCursor& cursor, std::optional<image::EditPlace> place) {
  if (place) {
    cursor.CurrentLine = place->Line;
    cursor.NibbleColumn = place->Nibble;
    Redraw(cursor);
  }
}

// False when the key leaves the edit mode.
bool HandleKey(EditCursor& cursor, KeyCode key) {
  if (Find.MessageShown) {
    ClearFindRows(cursor, kFindRow);  // a search's message stands until the next key
  }
  if (const DigitKey digit = DigitOfKey(key); digit.Value >= 0) {
    AsOneChange(cursor, [&] { TypeDigit(cursor, digit.Value, digit.Shown); });
    return true;
  }
  if (MoveByKey(cursor, key)) {
    return true;
  }
  switch (key) {
    case Vk::Escape:
    case 'Q':
      return false;
    case Vk::Backspace:
      AsOneChange(cursor, [&] { Backspace(cursor); });
      break;
    case Vk::Insert:
      AsOneChange(cursor, [&] { InsertByte(cursor); });
      break;
    case Vk::Delete:
      AsOneChange(cursor, [&] { DeleteByte(cursor); });
      break;
    case 'R':
      AsOneChange(cursor, [&] { RepeatByte(cursor); });
      break;
    case 'T':
      // Sets the end of the range, up or down; nothing on screen changes.
      AsOneChange(cursor, [&] { Range.EndLine = cursor.CurrentLine; });
      break;
    case 'U':
      GoToChange(cursor, image::Undo());
      break;
    case 'Y':
      GoToChange(cursor, image::Redo());
      break;
    case Vk::Slash:
    case Vk::NumpadDivide:
      AskAndFind(cursor);
      break;
    case 'N':
      FindNext(cursor);
      break;
    default:
      break;
  }
  return true;
}

// Pasted text types its hex digits as typed digits would and nothing else: a pasted dump or
// listing gives just its bytes, and no pasted letter runs a command.
void TypePasted(EditCursor& cursor, char32_t character) {
  if (const int digit = text::HexDigitValue(character); digit >= 0) {
    TypeDigit(cursor, digit, text::HexDigits(static_cast<std::uint64_t>(digit), 1)[0]);
  }
}

// A paste is one change of the history however many digits it types: open from its first
// character to the next key that is not part of it, or the end of the edit mode.
class PasteChange {
 public:
  PasteChange() = default;
  PasteChange(const PasteChange&) = delete;
  PasteChange& operator=(const PasteChange&) = delete;
  ~PasteChange() { End(); }
  void Take(const EditCursor& cursor, bool pasteStarts) {
    if (open_ && !pasteStarts) {
      return;
    }
    End();
    image::BeginChange(PlaceOf(cursor));
    open_ = true;
  }
  void End() {
    if (open_) {
      image::EndChange();
      open_ = false;
    }
  }

 private:
  bool open_ = false;
};

// The type-in mode's digit for the open sum field: a matching sum goes on to the next line's first
// digit, a wrong one rings the bell and goes back to the line's first digit.
void TypeIntoSumField(EditCursor& cursor, std::int32_t value) {
  TakeLineIntoRange(cursor);
  const SumEntry entry = TypeSumDigit(cursor.CurrentLine, value);
  if (entry == SumEntry::Pending) {
    return;
  }
  cursor.NibbleColumn = 0;
  if (entry == SumEntry::Checked && NewMlxLines()) {
    // The next printed line joins the range once typed on: a .prg saved after the listing's last
    // line ends with that line, not with a line of zeros.
    cursor.CurrentLine = std::min(cursor.CurrentLine + 1, kLastLine);
    Redraw(cursor);
  } else if (entry == SumEntry::Checked) {
    MoveLineDown(cursor, 1);
  } else {
    console::RingBell();
    PlaceCursor(cursor);
  }
}

// The type-in mode's own keys, seen before the edit mode's: digits and Left or Backspace in the
// sum field, Right from the line's last digit into it, and Tab. False for a key the edit mode
// is to handle, any key but these closing the field first.
bool HandleTypeInKey(EditCursor& cursor, KeyCode key) {
  if (SumFieldOpen()) {
    if (const DigitKey digit = DigitOfKey(key); digit.Value >= 0) {
      TypeIntoSumField(cursor, digit.Value);
      return true;
    }
    CloseSumField(cursor.CurrentLine);
    PlaceCursor(cursor);
    return key == Vk::Left || key == Vk::Backspace;
  }
  switch (key) {
    case Vk::Tab:
      cursor.CurrentLine = NextUncheckedLine(cursor.CurrentLine);
      cursor.NibbleColumn = 0;
      TakeLineIntoRange(cursor);
      Redraw(cursor);
      return true;
    case Vk::Right:
      if (cursor.NibbleColumn + cursor.CursorStep - cursor.NibbleColumn % cursor.CursorStep <
          kNibblesPerLine) {
        return false;
      }
      cursor.NibbleColumn = kNibblesPerLine - 1;
      OpenSumField(cursor.CurrentLine);
      return true;
    case Vk::Slash:
    case Vk::NumpadDivide:
    case 'N':
      ClearTypeInStatus();  // Find asks and answers on row 2
      return false;
    default:
      return false;
  }
}

}  // namespace

#ifdef LBE_TEST_SUPPORT
void ForgetLastFind() {
  Find = {};
}
#endif

void LineEditMode(bool withGoto, bool nibbleMovement) {
  console::ClearWindow();
  EditCursor cursor;
  cursor.CursorStep = nibbleMovement ? 1 : 2;
  if (withGoto) {
    const std::int32_t address = AskGotoAddress();
    cursor.NibbleColumn = address % kLineBytes * 2;
    cursor.CurrentLine = address / kLineBytes;
  } else {
    cursor.NibbleColumn = 0;
    cursor.CurrentLine = Range.StartLine;
  }
  if (TypeInMode()) {
    OpenTypedSums();
  }
  Redraw(cursor);
  PasteChange paste;
  // Typed sums not yet written are written however the mode is left, the end of input included.
  struct StoreOnLeaving {
    ~StoreOnLeaving() { StoreChangedSums(); }
  } storeOnLeaving;
  for (;;) {
    // Row 2 and the store wait while keys are queued: a paste costs one of each.
    if (TypeInMode() && !console::PollInput()) {
      StoreChangedSums();
      if (!Find.MessageShown) {
        DrawTypeInStatus();
      }
    }
    const console::KeyPress key = console::WaitKeyOrPaste();
    if (key.Pasted && TypeInMode() && SumFieldOpen()) {
      // Only a pasted digit acts in the field: the rest of a pasted line passes over it.
      paste.End();
      if (const int digit = text::HexDigitValue(key.Character); digit >= 0) {
        TypeIntoSumField(cursor, digit);
      }
      continue;
    }
    if (key.Pasted) {
      paste.Take(cursor, key.StartsPaste);
      TypePasted(cursor, key.Character);
      continue;
    }
    paste.End();
    if (TypeInMode() && HandleTypeInKey(cursor, key.Code)) {
      continue;
    }
    if (!HandleKey(cursor, key.Code)) {
      if (TypeInMode()) {
        CloseSumField(cursor.CurrentLine);
      }
      return;
    }
  }
}

}  // namespace lbe::screens
