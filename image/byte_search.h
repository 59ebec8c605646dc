#pragma once
// Finding bytes in the image: the pattern the user types at "Find:" and the search for it,
// forwards from an address and then once around from the start of the range. Pure.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lbe::image {

// One byte of a find pattern: a value, or any byte ("??").
struct PatternByte {
  std::uint8_t Value = 0;
  bool Any = false;
  bool operator==(const PatternByte&) const = default;
};

struct FindPattern {
  std::vector<PatternByte> Bytes;  // empty when Error is set
  std::string Error;  // empty when the text parses; else one line saying what is wrong and where
};

// The pattern in `text`, in any mix of these forms:
//   hex bytes   "3E00D3", "3e 00 d3": digits in either case, two to a byte; a run of digits
//               must have an even length ("3E0" is an error)
//   any byte    "??" ("CD ?? 12", "CD??12"); a lone "?" is an error
//   text        "HELLO" in double quotes: its bytes as typed (UTF-8), with "" for a quote
//               inside; an empty text "" matches nothing and is an error
// Blanks (space and tab) separate the forms and are needed nowhere: "\"OK\"0D0A" is fine. A
// text that is empty or only blanks gives no bytes and no error.
// An error is one line of at most 76 characters that names the fault and the 1-based column
// where it is, counted in characters (a tab is one); any typed character it shows is visible.
FindPattern ParseFindPattern(std::string_view text);

struct FindResult {
  std::optional<std::int32_t> Address;  // the first byte of the match
  bool Wrapped = false;                 // found only after wrapping around
  bool operator==(const FindResult&) const = default;
};

// The first match in Image of `pattern` (at least one byte) that starts at or after `from`
// (0 to 0x10000) and ends at or before 0xFFFF: a match never wraps across the end. When there
// is none, the first that starts at or after `wrapTo` (the range's start address) and before
// `from`, with Wrapped set. A match may span lines. Nothing that starts before `wrapTo` is ever
// found: a `from` before it counts as `wrapTo`.
// Bit-parallel (shift-and, 64 bytes of the pattern to a word), so a pass over the whole image
// takes about the same time whatever its bytes: well under a millisecond for any pattern a
// typed line can hold; a pattern that does not start with "??" skips ahead with memchr.
FindResult FindInImage(const FindPattern& pattern, std::int32_t from, std::int32_t wrapTo);

}  // namespace lbe::image
