#include "listing/listing.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "image/address_text.h"
#include "image/line_text.h"
#include "text/hex_text.h"
#include "text/utf8.h"
#include "text/visible_text.h"

namespace lbe::listing {

namespace {

constexpr std::size_t kLongestAddress = 8;
constexpr std::size_t kDataDigits = 16;
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::string_view kEndOfFileMark = "\x1A";

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\f' || c == '\v';
}

bool IsComment(char c) {
  return c == '#' || c == ';';
}

bool IsChecksumMark(char c) {
  return c == ':' || c == '-' || c == '=' || c == '|';
}

// 0 to 15 for a hex digit, -1 for any other byte: one load in the data loop instead of three
// range tests.
constexpr std::array<std::int8_t, 256> kDigitValues = [] {
  std::array<std::int8_t, 256> values{};
  values.fill(-1);
  for (int d = 0; d < 10; ++d) {
    values['0' + d] = static_cast<std::int8_t>(d);
  }
  for (int d = 0; d < 6; ++d) {
    values['a' + d] = static_cast<std::int8_t>(10 + d);
    values['A' + d] = static_cast<std::int8_t>(10 + d);
  }
  return values;
}();

int DigitValue(char c) {
  return kDigitValues[static_cast<unsigned char>(c)];
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
    for (; Index < Text.size() && DigitValue(Text[Index]) >= 0; ++Index) {
      value = (value << 4) | static_cast<std::uint32_t>(DigitValue(Text[Index]));
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
    int value = DigitValue(c);
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
        value = reader.AtEnd() ? -1 : DigitValue(reader.Next());
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
// the fault, unless exactly 16 digits remain.
bool TakeBytes(const DataDigits& data, ListingLine& line, std::optional<unsigned>& typedChecksum) {
  std::size_t digits = data.Digits;
  if (!data.Marked && data.Groups >= 2 && data.LastGroupDigits == 2) {
    digits -= 2;
    // Read only when 16 digits stand before the group, so that it fills the last pair.
    typedChecksum = data.Pairs[kDataDigits / 2];
  }
  if (digits % 2 != 0) {
    line.Fault = Count(digits, "hexadecimal digit", "hexadecimal digits") + ", 16 expected";
    return false;
  }
  if (digits != kDataDigits) {
    line.Fault = Count(digits / 2, "byte", "bytes") + ", 8 expected";
    return false;
  }
  std::copy_n(data.Pairs.begin(), line.Bytes.size(), line.Bytes.begin());
  return true;
}

// The 2 digits after a checksum mark, and nothing but blanks or a comment after them. Forced
// inline: GCC keeps it apart otherwise, and every line then parses some 10% slower.
[[gnu::always_inline]] inline bool ReadMarkedChecksum(LineReader reader, ListingLine& line,
                                                      std::optional<unsigned>& typedChecksum) {
  reader.SkipBlanks();
  std::uint32_t value = 0;
  const std::size_t checksumDigits = reader.ReadDigits(value);
  if (checksumDigits == 0) {
    line.Fault =
        reader.AtEnd() || IsComment(reader.Next()) ? "checksum missing" : NotADigit(reader.Rest());
    return false;
  }
  if (checksumDigits != 2) {
    line.Fault = "checksum of " + Count(checksumDigits, "digit", "digits") + ", 2 expected";
    return false;
  }
  typedChecksum = value;
  reader.SkipBlanks();
  if (!reader.AtEnd() && !IsComment(reader.Next())) {
    line.Fault = "unexpected " + QuotedCharacter(reader.Rest()) + " after the checksum";
    return false;
  }
  return true;
}

void CompareChecksum(std::optional<unsigned> typedChecksum, ListingLine& line) {
  if (!typedChecksum) {
    line.Fault = "checksum missing";
    return;
  }
  const std::uint8_t sum = image::LineSum(line.Bytes);
  if (sum != *typedChecksum) {
    line.Fault = "checksum " + text::HexDigits(*typedChecksum, 2) + " typed, " +
                 text::HexDigits(sum, 2) + " computed";
  }
}

}  // namespace

std::string ListingAddressText(std::uint64_t address) {
  return text::HexDigits(address, 4);
}

ListingLine ParseListingLine(std::string_view text) {
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
  if (ReadAddress(reader, line) && ReadData(reader, line, data) &&
      TakeBytes(data, line, typedChecksum) &&
      (!data.Marked || ReadMarkedChecksum(reader, line, typedChecksum))) {
    CompareChecksum(typedChecksum, line);
  }
  return line;
}

ListingCheck::ListingCheck(bool keepBytes, FaultReport report)
    : keepBytes_(keepBytes), report_(std::move(report)) {}

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
    line = ParseListingLine(text);
    if (line.Skipped) {
      return;
    }
  }
  ++lines_;
  // Made only for a fault: most lines have none.
  const auto prefix = [&] {
    return line.Address ? ListingAddressText(*line.Address) + ": " : std::string();
  };
  if (!line.Fault.empty()) {
    Report(prefix() + line.Fault);
  }
  if (line.Address) {
    if (expected_ && *expected_ != *line.Address) {
      Report(prefix() + "address " + ListingAddressText(*expected_) + " expected, " +
             ListingAddressText(*line.Address) + " found");
    }
    expected_ = std::uint64_t{*line.Address} + 8;
    if (!firstAddress_) {
      const std::uint64_t before = 8 * (lines_ - 1);
      firstAddress_ = *line.Address >= before ? *line.Address - before : 0;
    }
  } else if (expected_) {
    *expected_ += 8;
  }
  if (keepBytes_ && faults_ == 0) {
    bytes_.insert(bytes_.end(), line.Bytes.begin(), line.Bytes.end());
  }
}

void ListingCheck::Report(std::string text) {
  if (++faults_ == 1) {
    bytes_.clear();
    bytes_.shrink_to_fit();
  }
  if (report_) {
    report_(ListingFault{lineNumber_, std::move(text)});
  }
}

}  // namespace lbe::listing
