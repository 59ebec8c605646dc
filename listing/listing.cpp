#include "listing/listing.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "image/address_text.h"
#include "image/line_text.h"
#include "image/typo_search.h"
#include "text/hex_text.h"
#include "text/utf8.h"
#include "text/visible_text.h"

namespace lbe::listing {

namespace {

constexpr std::size_t kLongestAddress = 8;
constexpr std::size_t kDataDigits = 16;
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::string_view kEndOfFileMark = "\x1A";
constexpr std::size_t kBytesHandedOn = std::size_t{64} << 10;

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\f' || c == '\v';
}

bool IsComment(char c) {
  return c == '#' || c == ';';
}

bool IsChecksumMark(char c) {
  return c == ':' || c == '-' || c == '=' || c == '|';
}

// The character at the start of `rest` in quotes, as it can be shown on a terminal: printable
// characters as themselves, the rest escaped ('\t', '\x00', '\u{200B}').
std::string QuotedCharacter(std::string_view rest) {
  const text::DecodedCharacter decoded = text::DecodeUtf8(rest);
  const char32_t c = decoded.Character;
  std::string text = "'";
  if (c == U'\t') {
    text += "\\t";
  } else if (c == U'\'' || c == U'\\') {
    text += '\\';
    text += static_cast<char>(c);
  } else if (c == text::kReplacementCharacter && decoded.Length == 1) {
    text += "\\x" + text::HexDigits(static_cast<unsigned char>(rest[0]), 2);
  } else if (c < 0x80 && (c < 0x20 || c == 0x7F)) {
    text += "\\x" + text::HexDigits(c, 2);
  } else if (text::IsPlaceholderCharacter(c) || c == U'\uFEFF') {
    text += "\\u{" + text::HexDigits(c, 4) + "}";
  } else {
    text += rest.substr(0, decoded.Length);
  }
  return text + "'";
}

std::string NotADigit(std::string_view rest) {
  return "not a hexadecimal digit " + QuotedCharacter(rest);
}

std::string Count(std::size_t count, std::string_view one, std::string_view many) {
  return std::to_string(count) + " " + std::string(count == 1 ? one : many);
}

// What a line's parts are called in its faults: a sum row holds column sums and a total.
struct PartNames {
  std::string_view Byte;
  std::string_view Bytes;
  std::string_view Checksum;
};
constexpr PartNames kLineParts{"byte", "bytes", "checksum"};
constexpr PartNames kSumRowParts{"column sum", "column sums", "total"};

// Appends the likely fixes of a line whose typed checksum is wrong, its data digits as typed,
// to its fault.
void AddLikelyFixes(ListingLine& line, std::span<const std::uint8_t> digits, unsigned typed,
                    ListingStyle style) {
  const image::TypoNames names{line.Address.value_or(0), line.SumRow,
                               style == ListingStyle::NewMlx && !line.SumRow};
  line.Fixes = image::TypoFixes(digits, static_cast<std::uint8_t>(typed), names);
  line.FaultLength = line.Fault.size();
  line.Fault += image::FixesText(line.Fixes);
}

// Bytes as a listing shows them: 16 digits.
std::string BytesText(const std::array<std::uint8_t, 8>& bytes) {
  std::string text;
  for (const std::uint8_t byte : bytes) {
    text += text::HexDigits(byte, 2);
  }
  return text;
}

// The 16 data digits of a line whose bytes were read.
std::array<std::uint8_t, kDataDigits> DigitsOf(const std::array<std::uint8_t, 8>& bytes) {
  std::array<std::uint8_t, kDataDigits> digits{};
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    digits[2 * i] = static_cast<std::uint8_t>(bytes[i] >> 4);
    digits[2 * i + 1] = static_cast<std::uint8_t>(bytes[i] & 15);
  }
  return digits;
}

// The parser's place in one line of text.
struct LineReader {
  std::string_view Text;
  std::size_t Index = 0;

  bool AtEnd() const { return Index == Text.size(); }
  char Next() const { return Text[Index]; }
  std::string_view Rest() const { return Text.substr(Index); }
  void SkipBlanks() {
    while (Index < Text.size() && IsBlank(Text[Index])) {
      ++Index;
    }
  }
  // Reads a run of digits: how many there were; their value in `value` up to 8 digits.
  std::size_t ReadDigits(std::uint32_t& value) {
    const std::size_t first = Index;
    value = 0;
    for (; Index < Text.size() && text::HexDigitValue(Text[Index]) >= 0; ++Index) {
      value = (value << 4) | static_cast<std::uint32_t>(text::HexDigitValue(Text[Index]));
    }
    return Index - first;
  }
};

// The address and what closes it: a blank, ":" or "-". False, with the fault, when there is
// no address.
bool ReadAddress(LineReader& reader, ListingLine& line) {
  std::uint32_t address = 0;
  const std::size_t addressDigits = reader.ReadDigits(address);
  if (addressDigits == 0) {
    line.Fault = NotADigit(reader.Rest());
    return false;
  }
  if (addressDigits > kLongestAddress) {
    line.Fault = "address of " + std::to_string(addressDigits) + " digits, at most 8 expected";
    return false;
  }
  const std::size_t addressEnd = reader.Index;
  reader.SkipBlanks();
  if (!reader.AtEnd() && (reader.Next() == ':' || reader.Next() == '-')) {
    ++reader.Index;
    reader.SkipBlanks();
  }
  if (reader.Index == addressEnd && !reader.AtEnd()) {
    line.Fault = NotADigit(reader.Rest());
    return false;
  }
  line.Address = address;
  return true;
}

// The data digits up to a checksum mark, a comment or the end; the last group remembered in
// case it is the checksum.
struct DataDigits {
  // The digits paired into bytes as they come: the 8 bytes, then an unmarked checksum.
  std::array<std::uint8_t, kDataDigits / 2 + 1> Pairs{};
  std::size_t Digits = 0;
  std::size_t Groups = 0;
  std::size_t LastGroupDigits = 0;
  bool Marked = false;  // a checksum mark ended them; the reader stands past it
};

// The counts run in locals and are stored once at the end: kept in the struct, every digit
// stored would make the compiler reload them (a uint8_t store may alias anything). Each
// character is classified once, digits first; the data loop is where a long listing's check
// spends its time.
bool ReadData(LineReader& reader, ListingLine& line, DataDigits& data) {
  std::size_t digits = 0;
  std::size_t groups = 0;
  std::size_t lastGroupDigits = 0;
  while (!reader.AtEnd()) {
    const char c = reader.Next();
    int value = text::HexDigitValue(c);
    if (value >= 0) {
      ++groups;
      lastGroupDigits = 0;
      do {
        if (digits < 2 * data.Pairs.size()) {
          std::uint8_t& pair = data.Pairs[digits / 2];
          pair = static_cast<std::uint8_t>(digits % 2 == 0 ? value << 4 : pair | value);
        }
        ++digits;
        ++lastGroupDigits;
        ++reader.Index;
        value = reader.AtEnd() ? -1 : text::HexDigitValue(reader.Next());
      } while (value >= 0);
    } else if (IsBlank(c)) {
      ++reader.Index;
    } else if (IsChecksumMark(c)) {
      data.Marked = true;
      ++reader.Index;
      break;
    } else if (IsComment(c)) {
      break;
    } else {
      line.Fault = NotADigit(reader.Rest());
      return false;
    }
  }
  data.Digits = digits;
  data.Groups = groups;
  data.LastGroupDigits = lastGroupDigits;
  return true;
}

// The 8 bytes from the data digits, after taking off an unmarked checksum group. False, with
// the fault, unless exactly 16 digits remain; an unmarked last group of other than 2 digits
// after 16 (bytes typed in groups, "... 00 11 A5F") is a checksum of the wrong length, its
// bytes read.
bool TakeBytes(const DataDigits& data, ListingLine& line, std::optional<unsigned>& typedChecksum,
               const PartNames& names, ListingStyle style) {
  std::size_t digits = data.Digits;
  // New MLX lines were typed with blanks anywhere or none: the last 2 digits are the checksum.
  const bool lastTwo =
      style == ListingStyle::NewMlx && !line.SumRow && !data.Marked && data.LastGroupDigits > 2;
  if (lastTwo && digits != kDataDigits + 2) {
    digits -= 2;  // the count below names the bytes' digits alone
  } else if (!data.Marked && ((data.Groups >= 2 && data.LastGroupDigits == 2) || lastTwo)) {
    digits -= 2;
    // Read only when 16 digits stand before the group, so that it fills the last pair.
    typedChecksum = data.Pairs[kDataDigits / 2];
  } else if (!data.Marked && data.Groups >= 2 && digits - data.LastGroupDigits == kDataDigits) {
    std::copy_n(data.Pairs.begin(), line.Bytes.size(), line.Bytes.begin());
    line.BytesRead = true;
    line.Fault = std::string(names.Checksum) + " of " +
                 Count(data.LastGroupDigits, "digit", "digits") + ", 2 expected";
    return false;
  }
  if (digits % 2 != 0) {
    line.Fault = Count(digits, "hexadecimal digit", "hexadecimal digits") + ", 16 expected";
    return false;
  }
  if (digits != kDataDigits) {
    line.Fault = Count(digits / 2, names.Byte, names.Bytes) + ", 8 expected";
    return false;
  }
  std::copy_n(data.Pairs.begin(), line.Bytes.size(), line.Bytes.begin());
  line.BytesRead = true;
  return true;
}

// The 2 digits after a checksum mark, and nothing but blanks or a comment after them. Forced
// inline: GCC keeps it apart otherwise, and every line then parses some 10% slower.
[[gnu::always_inline]] inline bool ReadMarkedChecksum(LineReader reader, ListingLine& line,
                                                      std::optional<unsigned>& typedChecksum,
                                                      const PartNames& names) {
  const std::string checksum(names.Checksum);
  reader.SkipBlanks();
  std::uint32_t value = 0;
  const std::size_t checksumDigits = reader.ReadDigits(value);
  if (checksumDigits == 0) {
    line.Fault = reader.AtEnd() || IsComment(reader.Next()) ? checksum + " missing"
                                                            : NotADigit(reader.Rest());
    return false;
  }
  if (checksumDigits != 2) {
    line.Fault = checksum + " of " + Count(checksumDigits, "digit", "digits") + ", 2 expected";
    return false;
  }
  typedChecksum = value;
  reader.SkipBlanks();
  if (!reader.AtEnd() && !IsComment(reader.Next())) {
    line.Fault = "unexpected " + QuotedCharacter(reader.Rest()) + " after the " + checksum;
    return false;
  }
  return true;
}

// The checksum a line of `style` carries; a sum row's total is the column sums' sum in both.
std::uint8_t ChecksumOf(const ListingLine& line, ListingStyle style) {
  return image::ChecksumOfLine(style == ListingStyle::NewMlx && !line.SumRow,
                               line.Address.value_or(0), line.Bytes);
}

void CompareChecksum(std::optional<unsigned> typedChecksum, ListingLine& line,
                     const PartNames& names, ListingStyle style) {
  if (!typedChecksum) {
    line.Fault = std::string(names.Checksum) + " missing";
    return;
  }
  line.TypedChecksum = static_cast<std::uint8_t>(*typedChecksum);
  const std::uint8_t sum = ChecksumOf(line, style);
  if (sum != *typedChecksum) {
    line.Fault = std::string(names.Checksum) + " " + text::HexDigits(*typedChecksum, 2) +
                 " typed, " + text::HexDigits(sum, 2) + " computed";
    AddLikelyFixes(line, DigitsOf(line.Bytes), *typedChecksum, style);
  }
}

// "SUM" in any case, then a blank, ":", "-" or the end: a row of column sums. The reader then
// stands on its data.
bool ReadSumRowMark(LineReader& reader) {
  const std::string_view rest = reader.Rest();
  if (rest.size() < 3 || (rest[0] | 0x20) != 's' || (rest[1] | 0x20) != 'u' ||
      (rest[2] | 0x20) != 'm' ||
      (rest.size() > 3 && !IsBlank(rest[3]) && rest[3] != ':' && rest[3] != '-')) {
    return false;
  }
  reader.Index += 3;
  reader.SkipBlanks();
  if (!reader.AtEnd() && (reader.Next() == ':' || reader.Next() == '-')) {
    ++reader.Index;
    reader.SkipBlanks();
  }
  return true;
}

}  // namespace

std::string ListingAddressText(std::uint64_t address) {
  return text::HexDigits(address, 4);
}

namespace {

// The data digits as typed, from `text` on up to a checksum mark or a comment, the last group
// of 2 taken off as the checksum when no mark stands; false when they are not 14 to 18 digits
// and a checksum of 2, or anything but digits and blanks stands among them.
bool TypedDigits(LineReader reader, std::vector<std::uint8_t>& digits, unsigned& checksum,
                 bool lastTwo) {
  std::size_t lastGroup = 0;
  bool marked = false;
  while (!reader.AtEnd() && !IsComment(reader.Next())) {
    const char c = reader.Next();
    ++reader.Index;
    if (IsChecksumMark(c)) {
      marked = true;
      break;
    }
    if (IsBlank(c)) {
      continue;
    }
    if (text::HexDigitValue(c) < 0 || digits.size() > kDataDigits + 4) {
      return false;
    }
    lastGroup = IsBlank(reader.Text[reader.Index - 2]) || digits.empty() ? 1 : lastGroup + 1;
    digits.push_back(static_cast<std::uint8_t>(text::HexDigitValue(c)));
  }
  std::uint32_t value = 0;
  if (marked) {
    reader.SkipBlanks();
    if (reader.ReadDigits(value) != 2) {
      return false;
    }
  } else {
    if ((lastGroup != 2 && !(lastTwo && lastGroup > 2)) || digits.size() < 4) {
      return false;
    }
    value = static_cast<std::uint32_t>(digits[digits.size() - 2] << 4 | digits.back());
    digits.resize(digits.size() - 2);
  }
  checksum = value;
  return digits.size() >= kDataDigits - 2 && digits.size() <= kDataDigits + 2;
}

// Letters a typist keys for the digit they resemble.
char DigitForLetter(char c) {
  switch (c) {
    case 'O':
    case 'o':
      return '0';
    case 'l':
    case 'I':
      return '1';
    case 'S':
      return '5';
    default:
      return 0;
  }
}

ListingLine ParseLine(std::string_view text, bool lettersForDigits, ListingStyle style);

// A letter keyed for the digit it resembles, among the digits of a faulty line: named with that
// digit, and whether the line then checks out.
void NameLetterForDigit(std::string_view digits, ListingLine& line, ListingStyle style) {
  digits = digits.substr(0, std::min(digits.find('#'), digits.find(';')));
  if (digits.size() >= 3 && (digits[0] | 0x20) == 's' && (digits[1] | 0x20) == 'u' &&
      (digits[2] | 0x20) == 'm') {
    return;  // a sum row's label, mistyped
  }
  const auto letter =
      std::find_if(digits.begin(), digits.end(), [](char c) { return DigitForLetter(c) != 0; });
  if (letter == digits.end()) {
    return;
  }
  const char digit = DigitForLetter(*letter);
  std::string read(digits);
  std::replace(read.begin(), read.end(), *letter, digit);
  const bool checksOut = ParseLine((line.SumRow ? "SUM " : "") + read, false, style).Fault.empty();
  const std::string as(1, digit);
  if (line.Fault == NotADigit(std::string_view(&*letter, 1))) {
    line.Fault += checksOut ? "; read as " + as + ", the line checks out" : " (perhaps " + as + ")";
  } else {
    line.Fault += "; '" + std::string(1, *letter) + "' " +
                  (checksOut ? "read as " + as + ", the line checks out" : "is perhaps " + as);
  }
}

ListingLine ParseLine(std::string_view text, bool lettersForDigits, ListingStyle style) {
  ListingLine line;
  LineReader reader{text};
  reader.SkipBlanks();
  // Ctrl-Z ended text files on CP/M and DOS; listings kept from then still carry it.
  if (reader.AtEnd() || IsComment(reader.Next()) || reader.Rest() == kEndOfFileMark) {
    line.Skipped = true;
    return line;
  }
  DataDigits data;
  std::optional<unsigned> typedChecksum;
  line.SumRow = ReadSumRowMark(reader);
  const PartNames& names = line.SumRow ? kSumRowParts : kLineParts;
  const std::size_t labelEnd = reader.Index;
  if (!line.SumRow && !ReadAddress(reader, line)) {
    // Falls through to the letters below.
  } else if (const std::size_t dataStart = reader.Index; !ReadData(reader, line, data)) {
  } else if (!TakeBytes(data, line, typedChecksum, names, style)) {
    std::vector<std::uint8_t> digits;
    unsigned checksum = 0;
    if (!line.BytesRead && TypedDigits(LineReader{text, dataStart}, digits, checksum,
                                       style == ListingStyle::NewMlx && !line.SumRow)) {
      line.TypedChecksum = static_cast<std::uint8_t>(checksum);
      AddLikelyFixes(line, digits, checksum, style);
    }
    return line;
  } else if (!data.Marked || ReadMarkedChecksum(reader, line, typedChecksum, names)) {
    CompareChecksum(typedChecksum, line, names, style);
    // Its checksum weighs 16 bits of the address: a line past FFFF is none of the form.
    if (style == ListingStyle::NewMlx && !line.SumRow && *line.Address > 0xFFFF) {
      line.Fault = "address " + ListingAddressText(*line.Address) +
                   " past FFFF, where New MLX addresses end";
      line.Fixes.clear();
      line.FaultLength = 0;
    }
  }
  if (lettersForDigits && !line.Fault.empty()) {
    NameLetterForDigit(text.substr(labelEnd), line, style);
  }
  return line;
}

}  // namespace

ListingLine ParseListingLine(std::string_view text, ListingStyle style) {
  return ParseLine(text, true, style);
}

ListingCheck::ListingCheck(bool keepBytes, FaultReport report, ListingStyle style)
    : keepBytes_(keepBytes), report_(std::move(report)), style_(style) {}

std::uint8_t ListingCheck::SumOfLine(std::uint64_t address,
                                     const std::array<std::uint8_t, 8>& bytes) const {
  return image::ChecksumOfLine(style_ == ListingStyle::NewMlx, address, bytes);
}

// A line whose checksum is wrong but would be right in the other style.
void ListingCheck::NoteOtherStyle(const ListingLine& line) {
  if (!line.BytesRead || !line.TypedChecksum || !line.Address || *line.Address > 0xFFFF ||
      *line.TypedChecksum == SumOfLine(*line.Address, line.Bytes)) {
    return;
  }
  if (image::ChecksumOfLine(style_ != ListingStyle::NewMlx, *line.Address, line.Bytes) ==
      *line.TypedChecksum) {
    ++otherStyleLines_;
  }
}

// A New MLX line's checksum weighs its address: a line that fails at the address typed but checks
// out at the one expected was keyed at a wrong address, one fault, and goes on from the right one.
// Returns the address typed, once taken.
std::optional<std::uint64_t> ListingCheck::TakeMistypedAddress(ListingLine& line) {
  if (style_ != ListingStyle::NewMlx || !expected_ || !line.Address || !line.BytesRead ||
      !line.TypedChecksum || *line.Address == *expected_ || *expected_ > 0xFFFF ||
      (*line.Address <= 0xFFFF && SumOfLine(*line.Address, line.Bytes) == *line.TypedChecksum) ||
      SumOfLine(*expected_, line.Bytes) != *line.TypedChecksum) {
    return std::nullopt;
  }
  const std::uint64_t typed = *line.Address;
  const std::string expected = ListingAddressText(*expected_);
  line.Address = *expected_;
  line.Fault = "address " + expected + " expected, " + ListingAddressText(typed) +
               " found; the line checks out at " + expected;
  line.Fixes.clear();
  line.FaultLength = 0;
  return typed;
}

void ListingCheck::Feed(std::string_view chunk) {
  // A piece of a line cut by the end of a chunk: kept up to the longest line, counted whole.
  const auto keepPiece = [this](std::string_view piece) {
    if (partial_.size() < kLongestListingLine) {
      partial_.append(piece.substr(0, kLongestListingLine - partial_.size()));
    }
    partialLength_ += piece.size();
  };
  std::size_t i = 0;
  if (afterCarriageReturn_ && !chunk.empty()) {
    afterCarriageReturn_ = false;
    if (chunk[0] == '\n') {
      i = 1;
    }
  }
  while (i < chunk.size()) {
    std::size_t end = i;
    while (end < chunk.size() && chunk[end] != '\n' && chunk[end] != '\r') {
      ++end;
    }
    const std::string_view piece = chunk.substr(i, end - i);
    if (end == chunk.size()) {
      keepPiece(piece);
      return;
    }
    if (partialLength_ == 0) {
      CheckLine(piece, piece.size());
    } else {
      keepPiece(piece);
      CheckLine(partial_, partialLength_);
      partial_.clear();
      partialLength_ = 0;
    }
    i = end + 1;
    if (chunk[end] == '\r') {
      if (i == chunk.size()) {
        afterCarriageReturn_ = true;
      } else if (chunk[i] == '\n') {
        ++i;
      }
    }
  }
}

void ListingCheck::Finish() {
  if (partialLength_ > 0) {
    CheckLine(partial_, partialLength_);
    partial_.clear();
    partialLength_ = 0;
  }
  afterCarriageReturn_ = false;
  ResolveDoubt(std::nullopt, true);
  Release(Pending::Waits::NextLine, std::nullopt, true);
  Release(Pending::Waits::SumRow, std::nullopt);
  if (sink_ && !faultFound_ && !bytes_.empty()) {
    sink_(bytes_);
    bytes_.clear();
  }
}

void ListingCheck::CheckLine(std::string_view text, std::uint64_t length) {
  ++lineNumber_;
  if (lineNumber_ == 1 && text.starts_with(kByteOrderMark)) {
    text.remove_prefix(kByteOrderMark.size());
    length -= kByteOrderMark.size();
  }
  ListingLine line;
  if (length > kLongestListingLine) {
    line.Fault = "line of " + std::to_string(length) + " characters, at most " +
                 std::to_string(kLongestListingLine) + " expected";
  } else {
    line = ParseListingLine(text, style_);
    if (line.Skipped) {
      return;
    }
    if (line.SumRow) {
      CheckSumRow(line);
      return;
    }
  }
  ++lines_;
  NoteOtherStyle(line);
  const std::optional<std::uint64_t> typedAddress = TakeMistypedAddress(line);
  // The address in doubt is judged by this line's before this line's own faults are reported.
  if (inDoubt_) {
    ResolveDoubt(line.Address);
  }
  if (!line.Fault.empty()) {
    ReportLineFault(line, typedAddress);
  }
  CheckAddress(line);
  AddToBlock(line);
  if (!inDoubt_) {
    Release(Pending::Waits::NextLine, std::nullopt);
  }
  if (!Holding()) {
    Release(Pending::Waits::SumRow, std::nullopt);
  }
  if (keepBytes_ && !faultFound_) {
    bytes_.insert(bytes_.end(), line.Bytes.begin(), line.Bytes.end());
    if (sink_ && bytes_.size() >= kBytesHandedOn) {
      sink_(bytes_);
      bytes_.clear();
    }
  }
}

// The fault of a line, queued with what the line's sum row may need to put it right.
// `typedAddress`: the address as typed when it was taken for a mistyped one.
void ListingCheck::ReportLineFault(ListingLine& line, std::optional<std::uint64_t> typedAddress) {
  Pending fault;
  fault.Fault = ListingFault{
      lineNumber_, (line.Address ? ListingAddressText(typedAddress.value_or(*line.Address)) + ": "
                                 : std::string()) +
                       line.Fault};
  fault.What = Pending::Kind::Line;
  fault.BlockId = block_.Id;
  fault.Address = line.Address.value_or(0);
  fault.Bytes = line.Bytes;
  fault.BytesRead = line.BytesRead;
  fault.TypedChecksum = line.TypedChecksum;
  fault.Uncertain =
      !typedAddress &&
      (!line.BytesRead ||
       (line.TypedChecksum && *line.TypedChecksum != SumOfLine(fault.Address, line.Bytes)));
  fault.FaultLength = fault.Fault.Text.size() - line.Fault.size() +
                      (line.FaultLength > 0 ? line.FaultLength : line.Fault.size());
  fault.Fixes = std::move(line.Fixes);
  Report(std::move(fault));
}

void ListingCheck::CheckAddress(const ListingLine& line) {
  const std::optional<std::uint64_t> previous = previousAddress_;
  previousAddress_ = line.Address;
  const std::array<std::uint8_t, 8> previousBytes = previousBytes_;
  previousBytes_ = line.Bytes;
  if (!line.Address) {
    if (expected_) {
      *expected_ += 8;
    }
    afterSwap_.reset();
    return;
  }
  const std::uint64_t address = *line.Address;
  if (!firstAddress_) {
    const std::uint64_t before = 8 * (lines_ - 1);
    firstAddress_ = address >= before ? address - before : 0;
  }
  if (expected_ && *expected_ != address) {
    inDoubt_ = AddressInDoubt{lineNumber_,
                              address,
                              *expected_,
                              previous == address,
                              previousBytes == line.Bytes && line.BytesRead,
                              lines_ == 2,
                              previous,
                              line.Bytes};
    NoteFault();
    expected_.reset();
    return;
  }
  expected_ = afterSwap_.value_or(address + 8);
  afterSwap_.reset();
}

// The next entry's address tells the mistakes apart: the expected address's successor after a
// mistyped address; the expected address itself after a repeated, swapped or stray line; this
// address's successor after missing lines or after a mistyped address on the listing's first
// line (taken for that rather than more than one line missing right after it). Anything else, or no
// next address, gets the plain fault and the run goes on from the address found.
void ListingCheck::ResolveDoubt(std::optional<std::uint64_t> nextAddress, bool atEnd) {
  if (!inDoubt_) {
    return;
  }
  const AddressInDoubt doubt = *inDoubt_;
  inDoubt_.reset();
  const std::string found = ListingAddressText(doubt.Address);
  const std::string expected = ListingAddressText(doubt.Expected);
  Pending fault;
  fault.BlockId = block_.Id;
  std::string text = found + ": address " + expected + " expected, " + found + " found";
  expected_ = doubt.Address + 8;
  if (nextAddress == doubt.Expected + 8) {
    expected_ = doubt.Expected + 8;  // mistyped: the plain fault says it
  } else if (nextAddress == doubt.Expected || (atEnd && doubt.Repeats)) {
    expected_ = doubt.Expected;
    if (doubt.AfterFirst && doubt.Address + 8 == doubt.Previous) {
      text =
          found + ": lines " + found + " and " + ListingAddressText(*doubt.Previous) + " swapped";
    } else if (doubt.Repeats) {
      text = found + ": line " + found + " repeated" + (doubt.SameBytes ? "" : " with other bytes");
      if (doubt.SameBytes) {
        fault.What = Pending::Kind::RepeatedLine;
        fault.Address = doubt.Address;
        fault.Bytes = doubt.Bytes;
      }
    } else if (doubt.Address == doubt.Expected + 8) {
      text = found + ": lines " + expected + " and " + found + " swapped";
      afterSwap_ = doubt.Address + 8;
    }
  } else if ((nextAddress && doubt.Address > doubt.Expected &&
              (doubt.Address - doubt.Expected) % 8 == 0 && *nextAddress == doubt.Address + 8 &&
              (!doubt.AfterFirst || doubt.Address == doubt.Expected + 8)) ||
             (atEnd && doubt.Address == doubt.Expected + 8 && ShortByALine(doubt.Expected))) {
    const bool one = doubt.Address - doubt.Expected == 8;
    text =
        found + ": " +
        (one ? "line " + expected + " missing"
             : "lines " + expected + " to " + ListingAddressText(doubt.Address - 8) + " missing");
    if (one) {
      fault.What = Pending::Kind::MissingLine;
      fault.Address = doubt.Expected;
    }
  } else if (doubt.AfterFirst && nextAddress == doubt.Address + 8) {
    text += "; perhaps the line before is " + ListingAddressText(doubt.Address - 8) + ", not " +
            ListingAddressText(doubt.Expected - 8);
  }
  fault.Fault = ListingFault{doubt.LineNumber, std::move(text)};
  if (fault.What != Pending::Kind::Other && Holding()) {
    fault.For = Pending::Waits::SumRow;
  }
  Queue(std::move(fault));
  std::vector<Pending> after = std::move(reportsAfterDoubt_);
  reportsAfterDoubt_.clear();
  for (Pending& later : after) {
    Queue(std::move(later));
  }
  Release(Pending::Waits::NextLine, std::nullopt);
}

void ListingCheck::AddToBlock(const ListingLine& line) {
  ++block_.Lines;
  if (line.Address) {
    block_.First = block_.First.value_or(*line.Address);
    block_.Last = *line.Address;
  }
  if (!line.BytesRead) {
    ++block_.Unread;
    return;
  }
  if (block_.Lines <= kLongestBlock) {
    block_.Kept.emplace_back(line.Address.value_or(0), line.Bytes);
  }
  for (std::size_t i = 0; i < line.Bytes.size(); ++i) {
    block_.Sums[i] = static_cast<std::uint8_t>(block_.Sums[i] + line.Bytes[i]);
  }
  if (line.TypedChecksum &&
      *line.TypedChecksum != SumOfLine(line.Address.value_or(0), line.Bytes)) {
    ++block_.Faulty;
  }
}

// The one uncertain line of the block put right by the sum row, when its columns and the line's
// own checksum agree on what it holds: the fixes that give that, or the bytes themselves. False
// when the row cannot settle it.
bool ListingCheck::SettleByRow(const Block& block, const Columns& lack) {
  Pending* line = nullptr;
  for (Pending& fault : pending_) {
    if (fault.For != Pending::Waits::SumRow || fault.BlockId != block.Id) {
      continue;
    }
    if (fault.What != Pending::Kind::Line || !fault.Uncertain || line != nullptr) {
      return false;  // a missing or repeated line, or a second line: the row cannot say
    }
    line = &fault;
  }
  if (line == nullptr) {
    return false;
  }
  Columns bytes = lack;  // an unread line holds what the columns lack
  if (line->BytesRead) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      bytes[i] = static_cast<std::uint8_t>(line->Bytes[i] + lack[i]);
    }
  }
  const std::optional<std::uint8_t> typed = line->TypedChecksum;
  std::string& text = line->Fault.Text;
  text.resize(line->FaultLength);
  if (line->BytesRead && bytes == line->Bytes) {
    const std::uint8_t sum = SumOfLine(line->Address, bytes);
    text += "; the column sums prove the bytes right: the checksum is " + text::HexDigits(sum, 2) +
            (typed ? ", not " + text::HexDigits(typed.value_or(0), 2) : std::string());
    return true;
  }
  if (typed && SumOfLine(line->Address, bytes) != *typed) {
    return false;  // two mistakes, or the row's own
  }
  std::vector<image::TypoFix> fitting;
  for (const image::TypoFix& fix : line->Fixes) {
    if (fix.Bytes == bytes) {
      fitting.push_back(fix);
    }
  }
  if (fitting.size() == 1) {
    text += "; by the sum row, " + fitting.front().Text;
  } else if (!fitting.empty()) {
    text += image::FixesText(fitting);
  } else if (line->BytesRead) {
    text += "; by the sum row";
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      if (bytes[i] != line->Bytes[i]) {
        text += (text.ends_with("row") ? ", " : ", and ") + ListingAddressText(line->Address + i) +
                " is " + text::HexDigits(bytes[i], 2) + ", not " +
                text::HexDigits(line->Bytes[i], 2);
      }
    }
  } else if (!text.ends_with("checks out")) {
    text += "; by the sum row it holds " + BytesText(bytes);
  }
  return true;
}

// Two columns that fail by opposite amounts while every line checks out: two bytes of one line
// exchanged. The line is named when only one line of the block fits.
std::string ListingCheck::ExchangedBytes(const Block& block, const std::vector<std::size_t>& wrong,
                                         const Columns& lack) const {
  if (wrong.size() != 2 || static_cast<std::uint8_t>(lack[wrong[0]] + lack[wrong[1]]) != 0 ||
      block.Kept.size() != block.Lines) {
    return "";
  }
  const std::size_t a = wrong[0];
  const std::size_t b = wrong[1];
  std::optional<std::pair<std::uint64_t, Columns>> found;
  for (const auto& [address, bytes] : block.Kept) {
    if (static_cast<std::uint8_t>(bytes[b] - bytes[a]) == lack[a]) {
      if (found) {
        return "";
      }
      found.emplace(address, bytes);
    }
  }
  if (!found) {
    return "";
  }
  const auto& [address, bytes] = *found;
  return "; perhaps " + ListingAddressText(address + a) + " and " +
         ListingAddressText(address + b) + " are " + text::HexDigits(bytes[b], 2) + " " +
         text::HexDigits(bytes[a], 2) + ", not " + text::HexDigits(bytes[a], 2) + " " +
         text::HexDigits(bytes[b], 2) + " (exchanged)";
}

// A sum row's own fault, or its columns against the block's. The row first settles what it can
// of the block's faults: the one line whose checksum fails or whose bytes could not be read, a
// line missing (its bytes are what the columns lack) or typed twice; it then says nothing more.
// Otherwise: a column that fails with exactly one line is the byte at their crossing; columns
// that fail while every line's sum and the total check out are bytes swapped within a line (a
// swap leaves the total as it was); columns that fail while the row's own total disagrees with
// them but agrees with the block are a mistyped sum row. A block holding a line whose bytes
// could not be read is otherwise not checked by columns.
void ListingCheck::CheckSumRow(const ListingLine& row) {
  ++sumRows_;
  // A sum row straight after one that fell short: no line came to show a gap.
  if (!inDoubt_) {
    Release(Pending::Waits::NextLine, std::nullopt, false, false);
  }
  const Block block = std::move(block_);
  block_ = Block{};
  block_.Id = block.Id + 1;
  if (inDoubt_ && reportsAfterDoubt_.size() >= 8) {
    ResolveDoubt(std::nullopt);  // a run of sum rows: the look-ahead is not worth the wait
  }
  JudgeSumRow(row, block);
  Release(Pending::Waits::SumRow, block.Id);
}

namespace {

// "SUM 0100-013F: ", or "SUM: " for a block with no address typed.
std::string SumRowPrefix(std::optional<std::uint64_t> first, std::uint64_t last) {
  if (!first) {
    return "SUM: ";
  }
  return "SUM " + ListingAddressText(*first) + "-" + ListingAddressText(last + 7) + ": ";
}

// "column +3 41 typed, 40 computed" for one or two columns, "columns +0, +3 and +7 wrong" for
// more.
std::string WrongColumnsText(const ListingLine& row, const std::array<std::uint8_t, 8>& sums,
                             const std::vector<std::size_t>& wrong) {
  std::string text;
  if (wrong.size() <= 2) {
    for (const std::size_t i : wrong) {
      text += (i == wrong.front() ? "column +" : ", column +") + std::to_string(i) + " " +
              text::HexDigits(row.Bytes[i], 2) + " typed, " + text::HexDigits(sums[i], 2) +
              " computed";
    }
    return text;
  }
  text += "columns";
  for (const std::size_t i : wrong) {
    text += (i == wrong.back() ? " and +" : i == wrong.front() ? " +" : ", +") + std::to_string(i);
  }
  return text + " wrong";
}

}  // namespace

// Everything a sum row says about its block, reported or settled; the faults that waited for
// the row are released after it.
void ListingCheck::JudgeSumRow(const ListingLine& row, const Block& block) {
  const bool rowRead = row.BytesRead && row.TypedChecksum;
  Columns lack{};
  std::vector<std::size_t> wrong;
  for (std::size_t i = 0; i < lack.size(); ++i) {
    lack[i] = static_cast<std::uint8_t>(row.Bytes[i] - block.Sums[i]);
    if (lack[i] != 0) {
      wrong.push_back(i);
    }
  }
  const bool sound = rowRead && row.Fault.empty() && block.Lines > 0;
  if (sound && block.Lines <= kLongestBlock && block.Faulty + block.Unread == 1 &&
      SettleByRow(block, lack)) {
    return;
  }
  if (sound && block.Faulty + block.Unread == 0 && !wrong.empty() &&
      SettleMissingOrRepeatedLine(block.Id, lack)) {
    return;
  }
  const std::string prefix = SumRowPrefix(block.First, block.Last);
  if (!rowRead || block.Lines == 0 || block.Unread > 0) {
    if (!row.Fault.empty()) {
      Report(lineNumber_, prefix + row.Fault);
    } else if (block.Lines == 0) {
      Report(lineNumber_, prefix + "no lines since the last sum row");
    }
    return;
  }
  if (wrong.empty()) {
    // The columns are right, so the total is the mistake: no column is to be suggested.
    if (!row.Fault.empty()) {
      Report(lineNumber_, prefix + "total " + text::HexDigits(*row.TypedChecksum, 2) + " typed, " +
                              text::HexDigits(image::LineSum(block.Sums), 2) + " computed");
    }
    return;
  }
  ReportWrongColumns(row, block, prefix + WrongColumnsText(row, block.Sums, wrong), wrong, lack);
}

// A block with no faulty line whose columns are off: a line missing (its fault gets the bytes
// the columns lack) or one typed twice, if such a fault waits for this row. False otherwise.
bool ListingCheck::SettleMissingOrRepeatedLine(std::uint64_t blockId, const Columns& lack) {
  for (Pending& fault : pending_) {
    if (fault.For != Pending::Waits::SumRow || fault.BlockId != blockId) {
      continue;
    }
    Columns twice{};
    for (std::size_t i = 0; i < twice.size(); ++i) {
      twice[i] = static_cast<std::uint8_t>(-fault.Bytes[i]);
    }
    if (fault.What == Pending::Kind::MissingLine) {
      fault.Fault.Text += "; by the sum row it holds " + BytesText(lack);
      return true;
    }
    if (fault.What == Pending::Kind::RepeatedLine && lack == twice) {
      return true;
    }
  }
  return false;
}

// The wrong columns in `text`, with what the row and its lines tell of the cause: a mistyped
// row, bytes swapped within a line, or (waiting for the next line) a line left out at an end.
void ListingCheck::ReportWrongColumns(const ListingLine& row, const Block& block, std::string text,
                                      const std::vector<std::size_t>& wrong, const Columns& lack) {
  Pending fault;
  if (!row.Fault.empty() && *row.TypedChecksum == image::LineSum(block.Sums)) {
    text += "; the total agrees with the lines, so the sum row is mistyped";
  } else if (block.Faulty == 0 && wrong.size() >= 2 && row.Fault.empty() &&
             *row.TypedChecksum == image::LineSum(block.Sums)) {
    const std::string exchanged = ExchangedBytes(block, wrong, lack);
    text += "; every line's sum checks out: " +
            (exchanged.empty() ? "bytes of a line swapped between these columns?"
                               : exchanged.substr(2));
  } else if (row.Fault.empty() && block.Faulty == 0) {
    // Sound lines that fall short by a line's worth: a line left out at either end of the
    // block, which the next line's address shows.
    fault.What = Pending::Kind::Shortfall;
    fault.For = Pending::Waits::NextLine;
    fault.BlockId = block.Id;
    fault.Bytes = lack;
    fault.First = block.First.value_or(0);
    fault.Last = block.Last;
  }
  fault.Fault = ListingFault{lineNumber_, std::move(text)};
  Report(std::move(fault));
}

// A sum row after the line in doubt whose columns fall short by a line's worth, near `address`:
// the listing's last line came after a line left out, not at a mistyped address.
bool ListingCheck::ShortByALine(std::uint64_t address) const {
  return std::any_of(reportsAfterDoubt_.begin(), reportsAfterDoubt_.end(), [&](const Pending& row) {
    return row.What == Pending::Kind::Shortfall && address + 8 >= row.First &&
           address <= row.Last + 8;
  });
}

bool ListingCheck::Holding() const {
  // A listing whose first lines bring no sum row has none, and a block longer than any that a
  // row settles has no row to wait for: nothing waits then, so memory stays flat.
  return (sumRows_ > 0 || lines_ <= kLongestBlock) && block_.Lines <= kLongestBlock;
}

void ListingCheck::NoteFault() {
  if (!faultFound_) {
    faultFound_ = true;
    bytes_.clear();
    bytes_.shrink_to_fit();
  }
}

void ListingCheck::Report(std::uint64_t lineNumber, std::string text) {
  Pending fault;
  fault.Fault = ListingFault{lineNumber, std::move(text)};
  Report(std::move(fault));
}

void ListingCheck::Report(Pending fault) {
  NoteFault();
  if (fault.What == Pending::Kind::Line && Holding()) {
    fault.For = Pending::Waits::SumRow;
  }
  if (inDoubt_) {
    reportsAfterDoubt_.push_back(std::move(fault));
  } else {
    Queue(std::move(fault));
  }
}

// A line missing, or typed twice, and a sum row off by what it holds are one mistake: the line's
// fault says what the row adds, and the row's goes. True when `fault` was taken into another.
bool ListingCheck::Merge(Pending& fault) {
  const auto explains = [](const Pending& line, const Pending& row) {
    if (line.Address + 8 < row.First || line.Address > row.Last + 8) {
      return false;
    }
    if (line.What == Pending::Kind::MissingLine) {
      return true;
    }
    Columns twice{};
    for (std::size_t i = 0; i < twice.size(); ++i) {
      twice[i] = static_cast<std::uint8_t>(-line.Bytes[i]);
    }
    return line.What == Pending::Kind::RepeatedLine && row.Bytes == twice;
  };
  const auto settle = [this](Pending& line, const Pending& row) {
    if (line.What == Pending::Kind::MissingLine) {
      line.Fault.Text += "; by the sum row it holds " + BytesText(row.Bytes);
    }
    Settle(line);
  };
  const bool isRow = fault.What == Pending::Kind::Shortfall;
  if (!isRow && fault.What != Pending::Kind::MissingLine &&
      fault.What != Pending::Kind::RepeatedLine) {
    return false;
  }
  for (Pending& other : pending_) {
    if (other.For == Pending::Waits::Nothing) {
      continue;
    }
    if (isRow &&
        (other.What == Pending::Kind::MissingLine || other.What == Pending::Kind::RepeatedLine) &&
        explains(other, fault)) {
      settle(other, fault);
      return true;
    }
    if (!isRow && other.What == Pending::Kind::Shortfall && explains(fault, other)) {
      settle(fault, other);
      Settle(other);  // the row's fault goes: the line's takes its place
      other = std::move(fault);
      return true;
    }
  }
  return false;
}

void ListingCheck::Queue(Pending fault) {
  if (Merge(fault)) {
    Flush();
    return;
  }
  if (pending_.empty() && fault.For == Pending::Waits::Nothing) {
    Output(fault.Fault);
    return;
  }
  if (fault.For == Pending::Waits::NextLine) {
    ++nextLineWaits_;
  }
  pending_.push_back(std::move(fault));
  Flush();
}

void ListingCheck::Release(Pending::Waits waits, std::optional<std::uint64_t> blockId, bool atEnd,
                           bool nameEdges) {
  // Most lines release nothing: the queue is walked only when something waits for them.
  if (waits == Pending::Waits::NextLine && nextLineWaits_ == 0) {
    return;
  }
  for (Pending& fault : pending_) {
    if (fault.For != waits || (blockId && fault.BlockId != *blockId)) {
      continue;
    }
    Settle(fault);
    if (fault.What == Pending::Kind::Shortfall && nameEdges) {
      NameEdgeLine(fault, atEnd);
    }
  }
  Flush();
}

void ListingCheck::Settle(Pending& fault) {
  if (fault.For == Pending::Waits::NextLine) {
    --nextLineWaits_;
  }
  fault.For = Pending::Waits::Nothing;
}

// A sum row short by a line's worth, its lines all sound and no gap in their addresses before or
// after it: the listing's first line or its last left out, which no address can show.
void ListingCheck::NameEdgeLine(Pending& row, bool atEnd) const {
  const bool first = row.BlockId == 0 && row.First >= 8;
  const bool last = atEnd && block_.Lines == 0 && row.BlockId + 1 == block_.Id;
  if (!first && !last) {
    return;
  }
  const std::string text = row.Fault.Text;
  const std::size_t colon = text.find(": ");
  row.Fault.Text = text.substr(0, colon + 2) + "line " +
                   (first ? ListingAddressText(row.First - 8) : std::string()) +
                   (first && last ? " or " : "") +
                   (last ? ListingAddressText(row.Last + 8) : std::string()) +
                   " missing; by the sum row it holds " + BytesText(row.Bytes);
}

void ListingCheck::Flush() {
  while (!pending_.empty() && pending_.front().For == Pending::Waits::Nothing) {
    Output(pending_.front().Fault);
    pending_.pop_front();
  }
}

void ListingCheck::Output(const ListingFault& fault) {
  ++faults_;
  if (report_) {
    report_(fault);
  }
}

}  // namespace lbe::listing
