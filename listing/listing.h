#pragma once
// Typed listings: one line of text holds an address, 8 bytes as 16 hex digits and the line's
// checksum (the sum of the 8 bytes modulo 256), as the list view shows them and as printed
// listings carry them. The line parser and a streaming check of a whole listing. Pure: no
// console, no files.
//
// A line, after an optional UTF-8 byte-order mark on the first line:
//   blanks [address blanks? [":" | "-"] blanks? data checksum] blanks? [comment]
//   address   1 to 8 hex digits
//   data      16 hex digits, blanks anywhere between them
//   checksum  ":", "-", "=" or "|", blanks, then 2 hex digits; or, without such a mark, the
//             last blank-separated group of exactly 2 digits
//   comment   "#" or ";" and anything after it
// Digits in either case; blanks are space, tab, form feed and vertical tab. Lines end with LF,
// CR LF or CR. A line that is only a Ctrl-Z (the old end-of-file mark) is skipped too.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lbe::listing {

// Longer lines are a fault of their own; only this much of a line is ever kept.
inline constexpr std::size_t kLongestListingLine = 4096;

struct ListingLine {
  bool Skipped = false;  // blank, or only a comment
  // The typed address once a blank, ":" or "-" closed it; empty when the line has none.
  std::optional<std::uint32_t> Address;
  std::array<std::uint8_t, 8> Bytes{};
  // The first fault in reading order, without the address ("checksum A5 typed, A6 computed");
  // empty for a good line.
  std::string Fault;
};

// One line without its line end.
ListingLine ParseListingLine(std::string_view text);

// An address as listings show it: upper-case hex, at least 4 digits.
std::string ListingAddressText(std::uint64_t address);

struct ListingFault {
  std::uint64_t LineNumber = 0;  // 1-based, counting every line end
  std::string Text;              // "0108: checksum A5 typed, A6 computed"
};

// A whole listing, fed in pieces of any size: every line parsed, and each line's address
// checked against the previous line's plus 8 (the first line may start anywhere). Memory stays
// the same whatever the listing's length, but for the bytes when they are kept.
class ListingCheck {
 public:
  using FaultReport = std::function<void(const ListingFault&)>;
  // `keepBytes`: collect the bytes of the lines in order while no fault has been found.
  ListingCheck(bool keepBytes, FaultReport report);

  // Checks every line that `chunk` completes.
  void Feed(std::string_view chunk);
  // Checks a last line that has no line end.
  void Finish();

  std::uint64_t Lines() const { return lines_; }  // lines with an entry, faulty or not
  std::uint64_t Faults() const { return faults_; }
  // The bytes of all lines, first line's first; empty once a fault was found.
  const std::vector<std::uint8_t>& Bytes() const { return bytes_; }
  // The address of the first line's bytes: that line's own, else counted back from the first
  // address typed; 0 when no line has one.
  std::uint64_t FirstAddress() const { return firstAddress_.value_or(0); }

 private:
  void CheckLine(std::string_view text, std::uint64_t length);
  void Report(std::string text);

  bool keepBytes_;
  FaultReport report_;
  std::uint64_t lineNumber_ = 0;
  std::uint64_t lines_ = 0;
  std::uint64_t faults_ = 0;
  std::optional<std::uint64_t> expected_;  // the address the next entry must have
  std::optional<std::uint64_t> firstAddress_;
  std::string partial_;               // a line cut by the end of a chunk, at most kept
  std::uint64_t partialLength_ = 0;   // its whole length so far
  bool afterCarriageReturn_ = false;  // a chunk ended in CR: an LF next is its pair
  std::vector<std::uint8_t> bytes_;
};

}  // namespace lbe::listing
