#include "screens/type_in.h"

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "console/key_input.h"
#include "console/text_output.h"
#include "console/window.h"
#include "files/edited_file.h"
#include "files/file_layer.h"
#include "files/typed_sums.h"
#include "image/address_text.h"
#include "image/memory_image.h"
#include "image/typo_search.h"
#include "screens/line_dump.h"
#include "text/utf8.h"
#include "text/visible_text.h"

namespace lbe::screens {

namespace {

using image::kLastLine;
using image::kLineBytes;
using image::Range;

constexpr std::uint8_t kStatusRow = 2;
constexpr std::uint8_t kMarkColumn = 31;
constexpr std::size_t kMarkWidth = 26;  // "WRONG: the line sums to 3C"
constexpr std::size_t kRowWidth = 79;
constexpr std::uint8_t kCheckedColour = 10;
constexpr std::uint8_t kFailedColour = 12;
// A notice takes at most three rows, so that a long path never scrolls the edit line away.
constexpr std::size_t kLongestNotice = 3 * (kRowWidth + 1) - 4;

// The sum field, open while the cursor stands in it.
struct SumField {
  bool Open = false;
  std::optional<std::int32_t> FirstDigit;  // once typed, until the second closes the field
};

// What the check's mark on row 1 shows, so that a changed byte redraws it only when that changes.
struct DrawnMark {
  std::int32_t Line = -1;
  LineCheck Check = LineCheck::Untyped;
  std::uint8_t Sum = 0;  // the line's sum
};

// What row 2 is to show: the notice, once, when there is one; else the tally (StatusText).
struct StatusRow {
  std::string Notice;          // a sums file set aside, no state folder, a store that failed
  std::int32_t HintLine = -1;  // the line whose typed sum last failed: the tally names its fix
  std::string Shown;           // what row 2 shows now; empty when something else may stand there
};

struct TypeInState {
  bool On = false;
  std::optional<files::TypedSumsKey> Key;  // whose stored sums Sums holds, once opened
  files::TypedSums Sums = files::NoTypedSums();
  bool Unstored = false;  // a sum typed since the sums were last written
  // Each told once a run, however often it happens again.
  bool StoreFailed = false;
  bool FolderMissing = false;
  SumField Field;
  DrawnMark Mark;
  StatusRow Status;
};
TypeInState TypeIn;

std::int16_t& TypedSumOf(std::int32_t line) {
  return TypeIn.Sums[static_cast<std::size_t>(line)];
}

// Runs `draw` and puts the cursor back where it was.
template <typename Draw>
void KeepingCursor(Draw draw) {
  const std::uint8_t column = console::CursorColumn();
  const std::uint8_t row = console::CursorRow();
  draw();
  console::MoveCursor(column, row);
}

std::string Padded(std::string text, std::size_t width) {
  if (text.size() < width) {
    text.append(width - text.size(), ' ');
  }
  return text;
}

// Green for a checked line, red for a failed one, as the text was for any other.
void WriteInColourOf(LineCheck check, std::uint8_t column, std::string_view text) {
  const auto colour = static_cast<std::uint8_t>(console::Console.TextAttribute & 0x0F);
  if (check != LineCheck::Untyped) {
    console::SetForeground(check == LineCheck::Checked ? kCheckedColour : kFailedColour);
  }
  console::MoveCursor(column, 1);
  console::Write(text);
  console::SetForeground(colour);
}

void WriteSumField(std::int32_t line) {
  // An open field shows the kept sum until its first digit is typed over it.
  LineCheck check = CheckOfLine(line);
  std::string shown = "__";
  if (TypeIn.Field.Open && TypeIn.Field.FirstDigit) {
    check = LineCheck::Untyped;
    shown = image::HexText(*TypeIn.Field.FirstDigit, 1) + "_";
  } else if (check != LineCheck::Untyped) {
    shown = image::HexText(TypedSumOf(line), 2);
  }
  WriteInColourOf(check, kChecksumColumn, shown);
}

// The mark shows without colour too: the words tell the check, and the sum the line has.
void WriteMark(std::int32_t line) {
  const LineCheck check = CheckOfLine(line);
  std::string mark;
  if (check != LineCheck::Untyped) {
    mark = std::string(check == LineCheck::Checked ? "ok" : "WRONG") + ": the line sums to " +
           image::HexText(ShownLineSum(line * kLineBytes), 2);
  }
  WriteInColourOf(check, kMarkColumn, Padded(mark, kMarkWidth));
  TypeIn.Mark = {line, check, ShownLineSum(line * kLineBytes)};
}

struct Tally {
  int Lines = 0;
  int Checked = 0;
  int Failed = 0;
  std::int32_t Next = -1;  // the first line from the start line on that is not checked
};

Tally TallyOfRange() {
  Tally tally;
  // In the New MLX mode the line after a checked one joins the range only once typed on; it is
  // counted from when row 1 shows it, so that its first digit does not send row 2 again.
  const std::int32_t end =
      NewMlxLines() && TypeIn.Mark.Line == Range.EndLine + 1 ? TypeIn.Mark.Line : Range.EndLine;
  const std::int32_t last = std::min(end + 1, kLastLine);
  for (std::int32_t line = Range.StartLine; line <= last; ++line) {
    const LineCheck check = CheckOfLine(line);
    if (line <= end) {
      ++tally.Lines;
      tally.Checked += check == LineCheck::Checked ? 1 : 0;
      tally.Failed += check == LineCheck::Failed ? 1 : 0;
    }
    if (tally.Next < 0 && check != LineCheck::Checked) {
      tally.Next = line;
    }
  }
  return tally;
}

// The likely fixes of a line whose typed sum failed, short, as many as fit in `width` columns
// with the count of the rest: "WRONG: perhaps 0803 is 0F, or the checksum is 41 (+2)". The bytes
// are named by their shown addresses.
std::string HintText(std::int32_t line, std::size_t width) {
  const std::int32_t address = line * kLineBytes;
  std::array<std::uint8_t, 2 * kLineBytes> digits{};
  for (std::int32_t i = 0; i < kLineBytes; ++i) {
    digits[static_cast<std::size_t>(2 * i)] =
        static_cast<std::uint8_t>(image::Image[address + i] >> 4);
    digits[static_cast<std::size_t>(2 * i + 1)] =
        static_cast<std::uint8_t>(image::Image[address + i] & 15);
  }
  const std::vector<image::TypoFix> fixes =
      image::TypoFixes(digits, static_cast<std::uint8_t>(TypedSumOf(line)),
                       {static_cast<std::uint64_t>(ShownAddress(address)), false, NewMlxLines()});
  const image::NamedFixes named = image::FixesToName(fixes);
  if (named.TooMany > 0) {
    return "WRONG: " + std::to_string(named.TooMany) + " one-digit fixes fit";
  }
  if (named.Shown.empty()) {
    return "WRONG: no single mistake explains it";  // a New MLX sum off in both digits, say
  }
  std::string text = "WRONG: perhaps";
  const std::size_t all = named.Shown.size() + named.More;
  for (std::size_t i = 0; i < named.Shown.size(); ++i) {
    const std::string& whole = named.Shown[i]->Text;
    const std::string next = (i == 0 ? " " : ", or ") + whole.substr(0, whole.find(", not"));
    const std::size_t rest = all - i - 1;
    const std::size_t count = rest > 0 ? std::to_string(rest).size() + 4 : 0;  // " (+N)"
    if (i == 0 && text.size() + next.size() + count > width) {
      text = "WRONG:";  // beside wide counts "perhaps" gives way to the fix itself
    }
    if (text.size() + next.size() + count > width) {
      return i == 0 ? "WRONG: " + std::to_string(all) + (all == 1 ? " fix fits" : " fixes fit")
                    : text + " (+" + std::to_string(all - i) + ")";
    }
    text += next;
  }
  return named.More > 0 ? text + " (+" + std::to_string(named.More) + ")" : text;
}

bool HintDue(std::int32_t hintLine) {
  return hintLine >= 0 && CheckOfLine(hintLine) == LineCheck::Failed;
}

// The tally of the range, then the fix of the hint's line while it fails, else the next line to
// type.
std::string StatusText(std::int32_t hintLine) {
  const Tally tally = TallyOfRange();
  std::string text = "Checked " + std::to_string(tally.Checked) + " of " +
                     std::to_string(tally.Lines) + (tally.Lines == 1 ? " line" : " lines");
  if (tally.Failed > 0) {
    text += ", " + std::to_string(tally.Failed) + " failed";
  }
  if (HintDue(hintLine)) {
    text += ". ";
    return text + HintText(hintLine, kRowWidth - text.size());
  }
  text += ". Next to type: ";
  text += tally.Next < 0 ? std::string("none")
                         : image::HexText(ShownAddress(tally.Next * kLineBytes), 4);
  return text + ".  Tab: next unchecked line";
}

// `text` with its control characters made visible, cut to kLongestNotice bytes with "...".
std::string NoticeText(std::string_view text) {
  std::string shown = text::VisibleText(text);
  if (shown.size() > kLongestNotice) {
    shown.resize(
        text::WholeCharactersLength(std::string_view(shown).substr(0, kLongestNotice - 3)));
    shown += "...";
  }
  return shown;
}

std::string StatusRowText(const StatusRow& row) {
  return row.Notice.empty() ? StatusText(row.HintLine) : row.Notice;
}

}  // namespace

void StoreChangedSums() {
  if (!TypeIn.Unstored || !TypeIn.Key || TypeIn.Key->Path.empty()) {
    return;
  }
  TypeIn.Unstored = false;
  try {
    files::StoreTypedSums(*TypeIn.Key, TypeIn.Sums);
  } catch (const files::FileError& error) {
    if (!std::exchange(TypeIn.StoreFailed, true)) {
      TypeIn.Status.Notice =
          NoticeText("Typed sums are not kept: " + std::string(error.what()) + ".");
    }
  }
}

void SetTypeInMode(bool on) {
  TypeIn.On = on;
}

bool TypeInMode() {
  return TypeIn.On;
}

#ifdef LBE_TEST_SUPPORT
void ForgetTypedSums() {
  // Swapped with a fresh state rather than assigned one: GCC 12 at -O3 takes the assignment's
  // temporary string for one that may be uninitialised.
  TypeInState fresh;
  std::swap(TypeIn, fresh);
}
#endif

void OpenTypedSums() {
  files::TypedSumsKey key;
  if (!files::CurrentFileName.empty()) {
    key.Path = files::AbsoluteFilePath(files::CurrentFileName);
  }
  key.StartAddress = Range.StartAddress;
  key.Offset = files::Placement.Offset;
  key.NewMlx = NewMlxLines();
  key.AddressShift = files::Placement.AddressShift;
  TypeIn.Status.Shown.clear();
  TypeIn.Mark.Line = -1;
  if (TypeIn.Key == key) {
    return;
  }
  TypeIn.Key = key;
  TypeIn.Sums = files::NoTypedSums();
  if (key.Path.empty()) {
    return;
  }
  const files::StoredSums stored = files::LoadTypedSums(key);
  TypeIn.Sums = stored.Sums;
  if (!stored.Problem.empty()) {
    TypeIn.Status.Notice = NoticeText(stored.Problem);
  } else if (stored.FolderMissing && !std::exchange(TypeIn.FolderMissing, true)) {
    TypeIn.Status.Notice =
        "No state folder that is safe to use: typed sums are kept only until lbe ends.";
  }
}

LineCheck CheckOfLine(std::int32_t line) {
  const std::int16_t sum = TypedSumOf(line);
  if (sum < 0) {
    return LineCheck::Untyped;
  }
  return ShownLineSum(line * kLineBytes) == sum ? LineCheck::Checked : LineCheck::Failed;
}

void DrawTypedSum(std::int32_t line) {
  KeepingCursor([line] {
    WriteSumField(line);
    WriteMark(line);
  });
}

void RedrawTypedSumIfChanged(std::int32_t line) {
  const LineCheck check = CheckOfLine(line);
  if (line != TypeIn.Mark.Line || check != TypeIn.Mark.Check ||
      (check != LineCheck::Untyped && ShownLineSum(line * kLineBytes) != TypeIn.Mark.Sum)) {
    DrawTypedSum(line);
  }
}

void DrawTypeInStatus() {
  StatusRow& row = TypeIn.Status;
  const std::string text = StatusRowText(row);
  // A notice is told once; a hint until the tally finds its line no longer failing.
  if (row.Notice.empty() && !HintDue(row.HintLine)) {
    row.HintLine = -1;
  }
  row.Notice.clear();
  if (text == row.Shown) {
    return;
  }
  // A notice with a long path takes more rows; the status after it blanks them.
  const auto rowsOf = [](const std::string& shown) { return shown.size() / (kRowWidth + 1) + 1; };
  const std::size_t rows = std::max(rowsOf(row.Shown), rowsOf(text));
  KeepingCursor([&] {
    console::MoveCursor(1, kStatusRow);
    console::Write(Padded(text, (kRowWidth + 1) * rows - 1));
  });
  row.Shown = text;
}

void ClearTypeInStatus() {
  KeepingCursor([] {
    console::MoveCursor(1, kStatusRow);
    console::Write(std::string(kRowWidth, ' '));
  });
  TypeIn.Status.Shown.clear();
}

bool SumFieldOpen() {
  return TypeIn.Field.Open;
}

void OpenSumField(std::int32_t line) {
  TypeIn.Field = {true, std::nullopt};
  KeepingCursor([line] { WriteSumField(line); });
  console::MoveCursor(kChecksumColumn, 1);
}

void CloseSumField(std::int32_t line) {
  TypeIn.Field.Open = false;
  DrawTypedSum(line);
}

SumEntry TypeSumDigit(std::int32_t line, std::int32_t value) {
  if (!TypeIn.Field.FirstDigit) {
    TypeIn.Field.FirstDigit = value;
    KeepingCursor([line] { WriteSumField(line); });
    console::MoveCursor(kChecksumColumn + 1, 1);
    return SumEntry::Pending;
  }
  TypeIn.Field.Open = false;
  TypedSumOf(line) = static_cast<std::int16_t>(*TypeIn.Field.FirstDigit * 16 + value);
  TypeIn.Unstored = true;
  DrawTypedSum(line);
  const bool checked = CheckOfLine(line) == LineCheck::Checked;
  TypeIn.Status.HintLine = checked ? -1 : line;
  return checked ? SumEntry::Checked : SumEntry::Failed;
}

std::int32_t NextUncheckedLine(std::int32_t line) {
  const std::int32_t last = std::min(std::max(Range.EndLine + 1, Range.StartLine), kLastLine);
  for (std::int32_t next = line + 1; next <= last; ++next) {
    if (CheckOfLine(next) != LineCheck::Checked) {
      return next;
    }
  }
  for (std::int32_t next = Range.StartLine; next < line && next <= last; ++next) {
    if (CheckOfLine(next) != LineCheck::Checked) {
      return next;
    }
  }
  return line;
}

int FailedLineCount() {
  return TypeIn.On ? TallyOfRange().Failed : 0;
}

bool ConfirmQuitWithFailedSums() {
  if (TypeIn.On) {
    OpenTypedSums();  // F or A may have put another file or start in place since
  }
  const int failed = FailedLineCount();
  if (failed == 0) {
    return true;
  }
  console::MoveCursor(1, 3);
  console::Write(std::to_string(failed) +
                 (failed == 1 ? " line failed its sum" : " lines failed their sums") +
                 ". Quit anyway? (Y/N)");
  for (;;) {
    const console::KeyCode key = console::WaitKey();
    if (key == 'N') {
      return false;
    }
    if (key == 'Y') {
      console::MoveCursor(1, 3);
      console::Write(std::string(kRowWidth, ' '));
      return true;
    }
  }
}

}  // namespace lbe::screens
