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
//             last blank-separated group of exactly 2 digits (a last group of other length
//             after 16 digits is a checksum of the wrong length)
//   comment   "#" or ";" and anything after it
// or a row of column sums, which closes the block of lines since the previous one:
//   blanks "SUM" [blanks | ":" | "-"] blanks? data checksum blanks? [comment]
//   where data is the 8 columns' sums (each column's bytes over the block, modulo 256) and
//   the checksum is the total (the sum of the 8 column sums, modulo 256). "SUM" in any case.
// Digits in either case; blanks are space, tab, form feed and vertical tab. Lines end with LF,
// CR LF or CR. A line that is only a Ctrl-Z (the old end-of-file mark) is skipped too.
//
// A line whose checksum is wrong, or that has a digit or a byte too few or too many, gets its
// likely fixes appended to the fault (see image/typo_search.h); a letter keyed for a digit
// (O, l, I, S) is named with the digit.

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "image/typo_search.h"

namespace lbe::listing {

// Longer lines are a fault of their own; only this much of a line is ever kept.
inline constexpr std::size_t kLongestListingLine = 4096;
// The longest block of lines between sum rows whose lines the row can put right: the faults
// of a block wait for its row, so memory stays flat.
inline constexpr std::uint64_t kLongestBlock = 256;

struct ListingLine {
  bool Skipped = false;    // blank, or only a comment
  bool SumRow = false;     // a row of column sums: Bytes are the 8 column sums, no address
  bool BytesRead = false;  // the 8 bytes were read; a fault, if any, is in the checksum
  // The typed checksum (a sum row's total), once read with the bytes, or with data digits one
  // or two too few or too many.
  std::optional<std::uint8_t> TypedChecksum;
  // The typed address once a blank, ":" or "-" closed it; empty when the line has none.
  std::optional<std::uint32_t> Address;
  std::array<std::uint8_t, 8> Bytes{};
  // The first fault in reading order, without the address ("checksum A5 typed, A6 computed",
  // then the likely fixes: "; perhaps 0105 is 0F, not 8F (0 and 8 look alike)"); empty for a
  // good line.
  std::string Fault;
  // The fixes that make the line check out, as the fault names them from FaultLength on.
  std::vector<image::TypoFix> Fixes;
  std::size_t FaultLength = 0;
};

// How a listing's lines carry their checksum: lbe's own (the bytes' sum modulo 256), or the New
// MLX form the magazines printed from 1985 on (image::MlxLineSum over the line's address and
// bytes, so that an address past FFFF is a fault; its blanks anywhere, 18 digits run together
// read as the bytes and the checksum). The two agree on about one line in 270: a listing says
// which it is, it is never guessed line by line.
enum class ListingStyle : std::uint8_t { Lbe, NewMlx };

// One line without its line end.
ListingLine ParseListingLine(std::string_view text, ListingStyle style = ListingStyle::Lbe);

// An address as listings show it: upper-case hex, at least 4 digits.
std::string ListingAddressText(std::uint64_t address);

struct ListingFault {
  std::uint64_t LineNumber = 0;  // 1-based, counting every line end
  std::string Text;              // "0108: checksum A5 typed, A6 computed"
};

// A whole listing, fed in pieces of any size: every line parsed, each line's address checked
// against the previous line's plus 8 (the first line may start anywhere), and each sum row
// against the lines of its block. An address out of the run is judged with the next line's:
// a mistyped address, missing lines, a repeated line or two swapped lines is one fault. Memory
// stays the same whatever the listing's length, but for the bytes when they are kept.
class ListingCheck {
 public:
  using FaultReport = std::function<void(const ListingFault&)>;
  // `keepBytes`: collect the bytes of the lines in order while no fault has been found.
  ListingCheck(bool keepBytes, FaultReport report, ListingStyle style = ListingStyle::Lbe);

  using ByteSink = std::function<void(std::span<const std::uint8_t>)>;
  // With keepBytes: hands the kept bytes on in order, in pieces of 64 KiB and the rest at Finish,
  // while no fault was found, instead of holding them all.
  void SendBytesTo(ByteSink sink) { sink_ = std::move(sink); }

  // Checks every line that `chunk` completes.
  void Feed(std::string_view chunk);
  // Checks a last line that has no line end.
  void Finish();

  std::uint64_t Lines() const { return lines_; }  // lines with an entry, faulty or not
  std::uint64_t SumRows() const { return sumRows_; }
  std::uint64_t Faults() const { return faults_; }  // reported so far
  // Lines whose checksum is wrong as this listing's style reads it but right as the other style's:
  // when most lines are, the listing was checked in the wrong style.
  std::uint64_t OtherStyleLines() const { return otherStyleLines_; }
  // The bytes of all lines, first line's first, that were not handed on; empty once a fault
  // was found.
  const std::vector<std::uint8_t>& Bytes() const { return bytes_; }
  // The address of the first line's bytes: that line's own, else counted back from the first
  // address typed; 0 when no line has one.
  std::uint64_t FirstAddress() const { return firstAddress_.value_or(0); }

 private:
  // An address out of the run, its fault kept back until the next entry shows which mistake it was.
  struct AddressInDoubt {
    std::uint64_t LineNumber = 0;
    std::uint64_t Address = 0;
    std::uint64_t Expected = 0;
    bool Repeats = false;     // the previous line's address again
    bool SameBytes = false;   // and its bytes
    bool AfterFirst = false;  // the line before is the listing's first, whose address is a guess
    std::optional<std::uint64_t> Previous;  // the line before's address
    std::array<std::uint8_t, 8> Bytes{};
  };
  // The lines since the last sum row.
  struct Block {
    std::uint64_t Id = 0;
    std::array<std::uint8_t, 8> Sums{};  // of the lines whose bytes were read
    std::uint64_t Lines = 0;
    std::uint64_t Unread = 0;            // lines whose bytes could not be read
    std::uint64_t Faulty = 0;            // lines whose bytes were read but whose checksum is wrong
    std::optional<std::uint64_t> First;  // the first and last addresses typed
    std::uint64_t Last = 0;
    // The lines' addresses and bytes, while the block is short enough to hold them.
    std::vector<std::pair<std::uint64_t, std::array<std::uint8_t, 8>>> Kept;
  };
  // A fault on its way out. Faults leave in line order; one that the sum row closing its block
  // (or the line after a sum row) may settle waits for it, and the faults after it with it.
  struct Pending {
    enum class Kind : std::uint8_t {
      Other,
      Line,          // a line the sum row may put right: Bytes as typed, its fixes
      MissingLine,   // at Address: the sum row may tell its bytes
      RepeatedLine,  // Bytes: the sum row counts them twice
      Shortfall,     // a sum row's columns short by Bytes, its lines First to Last all sound
    };
    enum class Waits : std::uint8_t { Nothing, SumRow, NextLine };
    ListingFault Fault;
    Kind What = Kind::Other;
    Waits For = Waits::Nothing;
    std::uint64_t BlockId = 0;
    std::uint64_t Address = 0;
    std::uint64_t First = 0;
    std::uint64_t Last = 0;
    std::array<std::uint8_t, 8> Bytes{};
    bool BytesRead = false;
    bool Uncertain = false;  // Line: its bytes could not be read, or do not add up
    std::optional<std::uint8_t> TypedChecksum;
    std::size_t FaultLength = 0;
    std::vector<image::TypoFix> Fixes;
  };
  using Columns = std::array<std::uint8_t, 8>;

  void CheckLine(std::string_view text, std::uint64_t length);
  void ReportLineFault(ListingLine& line, std::optional<std::uint64_t> typedAddress);
  std::uint8_t SumOfLine(std::uint64_t address, const std::array<std::uint8_t, 8>& bytes) const;
  void NoteOtherStyle(const ListingLine& line);
  std::optional<std::uint64_t> TakeMistypedAddress(ListingLine& line);
  void CheckAddress(const ListingLine& line);
  void ResolveDoubt(std::optional<std::uint64_t> nextAddress, bool atEnd = false);
  void AddToBlock(const ListingLine& line);
  void CheckSumRow(const ListingLine& row);
  void JudgeSumRow(const ListingLine& row, const Block& block);
  bool SettleMissingOrRepeatedLine(std::uint64_t blockId, const Columns& lack);
  void ReportWrongColumns(const ListingLine& row, const Block& block, std::string text,
                          const std::vector<std::size_t>& wrong, const Columns& lack);
  bool SettleByRow(const Block& block, const Columns& lack);
  std::string ExchangedBytes(const Block& block, const std::vector<std::size_t>& wrong,
                             const Columns& lack) const;
  void Report(std::uint64_t lineNumber, std::string text);
  void Report(Pending fault);
  void Queue(Pending fault);
  bool Merge(Pending& fault);
  void Release(Pending::Waits waits, std::optional<std::uint64_t> blockId, bool atEnd = false,
               bool nameEdges = true);
  void Settle(Pending& fault);
  bool ShortByALine(std::uint64_t address) const;
  void NameEdgeLine(Pending& row, bool atEnd) const;
  void Flush();
  void Output(const ListingFault& fault);
  void NoteFault();
  bool Holding() const;

  bool keepBytes_;
  FaultReport report_;
  ListingStyle style_;
  std::uint64_t otherStyleLines_ = 0;
  std::uint64_t lineNumber_ = 0;
  std::uint64_t lines_ = 0;
  std::uint64_t sumRows_ = 0;
  std::uint64_t faults_ = 0;
  bool faultFound_ = false;
  std::optional<std::uint64_t> expected_;  // the address the next entry must have
  std::optional<std::uint64_t> firstAddress_;
  std::optional<std::uint64_t> previousAddress_;
  std::array<std::uint8_t, 8> previousBytes_{};
  std::optional<AddressInDoubt> inDoubt_;
  std::vector<Pending> reportsAfterDoubt_;  // of sum rows after the line in doubt, in order
  std::optional<std::uint64_t> afterSwap_;  // the next entry's successor, past a swapped pair
  Block block_;
  std::deque<Pending> pending_;
  std::size_t nextLineWaits_ = 0;     // faults in pending_ that wait for the next line
  std::string partial_;               // a line cut by the end of a chunk, at most kept
  std::uint64_t partialLength_ = 0;   // its whole length so far
  bool afterCarriageReturn_ = false;  // a chunk ended in CR: an LF next is its pair
  std::vector<std::uint8_t> bytes_;
  ByteSink sink_;
};

}  // namespace lbe::listing
