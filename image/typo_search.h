#pragma once
// The likely fixes of a line of 8 bytes whose typed checksum (the bytes' sum modulo 256) does not
// match: every single mistake a typist makes that, undone, makes the line check out. A digit
// misread as one that looks alike in print, two neighbouring digits swapped (within a byte,
// across two bytes, in the checksum), a digit left out or typed twice, a byte left out or typed
// twice, any other digit. Pure: no console, no files.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace lbe::image {

enum class TypoKind : std::uint8_t {
  LookAlike,     // a digit read as one that looks alike
  Swap,          // two neighbouring digits swapped
  DroppedDigit,  // a digit left out: 15 typed
  DoubledDigit,  // a digit typed twice: 17 typed
  DroppedByte,   // a byte left out: 14 typed
  DoubledByte,   // a byte typed twice: 18 typed
  OtherDigit,    // any other digit
  Exchanged,     // two bytes of the line exchanged: a New MLX checksum alone tells
};

struct TypoFix {
  TypoKind Kind = TypoKind::OtherDigit;
  int Rank = 0;  // likelier first: a look-alike, a swap, left out or typed twice, any other digit
  int Odds = 0;  // within a look-alike's rank, in thousandths: how often the digit is misread so
  std::size_t Position = 0;  // the first digit it changes, in reading order (16 and 17: the
                             // checksum's)
  bool InChecksum = false;
  std::array<std::uint8_t, 8> Bytes{};  // the line's bytes once fixed
  std::uint8_t Checksum = 0;            // and its checksum
  std::string Text;                     // "0105 is 0F, not 8F (0 and 8 look alike)"
};

// How the parts of the line are called in a fix's text.
struct TypoNames {
  std::uint64_t Address = 0;  // of the first byte; bytes are named by address
  bool Columns = false;       // a row of column sums: "column +3" and "the total"
  // The checksum is a New MLX line's (MlxLineSum over Address and the bytes), not their sum.
  bool NewMlx = false;
};

// The fixes of a line typed as `digits` (14 to 18 data digits, each 0 to 15) with the checksum
// `typed`, likeliest first, ties in reading order (the checksum's own fix before the bytes' of
// equal odds). A line of 16 digits whose sum is `typed` has none.
std::vector<TypoFix> TypoFixes(std::span<const std::uint8_t> digits, std::uint8_t typed,
                               const TypoNames& names);

// How alike two hex digits (0 to 15) look in print: 3 when the shapes differ by one short
// stroke, 2 by a longer stroke or a gap, 1 by more, 0 for digits nobody takes for each other.
int DigitCloseness(int a, int b);

// The most fixes worth naming: beyond, a reader checks the line digit by digit anyway.
inline constexpr std::size_t kFixesShown = 3;

// The fixes worth naming, in their order: the likely ones (any but another digit), or any when
// no likely one fits and few do, at most kFixesShown, the checksum's own never cut; and how many
// more fit. TooMany: only other digits fit, this many of them.
struct NamedFixes {
  std::vector<const TypoFix*> Shown;
  std::size_t More = 0;
  std::size_t TooMany = 0;
};
NamedFixes FixesToName(std::span<const TypoFix> fixes);

// "; perhaps A, or B, or C" and ", and N more like these" for the fixes of a line, or the phrase
// for a line that any of many digits would fix; empty for none.
std::string FixesText(std::span<const TypoFix> fixes);

}  // namespace lbe::image
