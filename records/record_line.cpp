#include "records/record_line.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "text/hex_text.h"

namespace lbe::records {

namespace {

// The longest record either format allows (Intel: 1 + 2 + 4 + 2 + 510 + 2 characters;
// S-record: 2 + 2 + 510), with room to spare for a line end.
constexpr std::size_t kLongestLine = 530;

std::string Hex2(unsigned value) {
  return text::HexDigits(value & 0xFF, 2);
}

std::string ShownCharacter(char c) {
  const auto code = static_cast<unsigned char>(c);
  if (code >= 0x21 && code < 0x7F) {
    return std::string("'") + c + "'";
  }
  return "byte " + Hex2(code);
}

// Reads the digits after the record mark into bytes, checking that each is a hex digit and
// that they pair up. A file is mostly digits: one pass converts them, and only a line that
// fails is looked at again for the message.
std::size_t ReadBytes(std::string_view digits, std::size_t column, std::uint64_t line,
                      std::array<std::uint8_t, 264>& bytes, Record& record) {
  const std::size_t count = std::min(digits.size() / 2, bytes.size());
  int invalid = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const int high = text::HexDigitValue(digits[2 * i]);
    const int low = text::HexDigitValue(digits[2 * i + 1]);
    invalid |= high | low;
    bytes[i] = static_cast<std::uint8_t>(high << 4 | (low & 0xF));
  }
  if (invalid < 0 || digits.size() % 2 != 0) {
    for (std::size_t i = 0; i < digits.size(); ++i) {
      if (text::HexDigitValue(digits[i]) < 0) {
        throw RecordError(line, ShownCharacter(digits[i]) + " in column " +
                                    std::to_string(column + i + 1) + " is not a hexadecimal digit");
      }
    }
    throw RecordError(
        line, "an odd number of hexadecimal digits (" + std::to_string(digits.size()) + ")");
  }
  for (const char c : digits) {
    if (text::HexDigitValue(c) >= 10) {
      record.HasLetter = true;
      record.LowerCase = c >= 'a';
      break;
    }
  }
  return count;
}

void CheckLength(std::size_t have, std::size_t want, std::uint64_t line) {
  if (have < want) {
    throw RecordError(line, "the line is too short: its length field says " + std::to_string(want) +
                                " bytes, it holds " + std::to_string(have));
  }
  if (have > want) {
    throw RecordError(line, "the line is too long: its length field says " + std::to_string(want) +
                                " bytes, it holds " + std::to_string(have));
  }
}

void CheckSum(unsigned typed, unsigned computed, std::uint64_t line) {
  if (typed != computed) {
    throw RecordError(line, "checksum " + Hex2(typed) + " typed, " + Hex2(computed) + " computed");
  }
}

void CheckDataLength(const Record& record, std::size_t want, std::uint64_t line) {
  if (record.Length != want) {
    throw RecordError(line, "a record of type " + std::string(1, record.Type) + " holds " +
                                std::to_string(want) + " data bytes, this one " +
                                std::to_string(record.Length));
  }
}

Record ParseIntel(std::string_view text, std::uint64_t line) {
  Record record;
  if (text[0] != ':') {
    throw RecordError(line, "the line does not start with ':'");
  }
  std::array<std::uint8_t, 264> bytes;
  const std::size_t count = ReadBytes(text.substr(1), 1, line, bytes, record);
  if (count < 5) {
    throw RecordError(line, "the line is too short for a record");
  }
  const std::size_t length = bytes[0];
  CheckLength(count - 5, length, line);
  unsigned sum = 0;
  for (std::size_t i = 0; i < count - 1; ++i) {
    sum += bytes[i];
  }
  CheckSum(bytes[count - 1], (0x100 - (sum & 0xFF)) & 0xFF, line);
  const int type = bytes[3];
  record.Type = static_cast<char>('0' + std::min(type, 9));
  record.Address = static_cast<std::uint64_t>(bytes[1]) << 8 | bytes[2];
  record.Length = length;
  std::copy_n(bytes.begin() + 4, length, record.Data.begin());
  if (type >= 2 && type <= 5 && record.Address != 0) {
    throw RecordError(line, "the address field of a type " + Hex2(static_cast<unsigned>(type)) +
                                " record is " + text::HexDigits(record.Address, 4) +
                                "; it must be 0000");
  }
  switch (type) {
    case 0:
      record.Kind = RecordKind::Data;
      if (record.Address + length > 0x10000) {
        throw RecordError(line, "the data runs past address FFFF");
      }
      return record;
    case 1:
      record.Kind = RecordKind::End;
      CheckDataLength(record, 0, line);
      return record;
    case 2:
    case 4:
      record.Kind = type == 2 ? RecordKind::ExtendedSegment : RecordKind::ExtendedLinear;
      CheckDataLength(record, 2, line);
      record.Address = static_cast<std::uint64_t>(record.Data[0]) << 8 | record.Data[1];
      return record;
    case 3:
    case 5:
      record.Kind = RecordKind::StartAddress;
      CheckDataLength(record, 4, line);
      return record;
    default:
      throw RecordError(line, "unknown record type " + Hex2(static_cast<unsigned>(type)));
  }
}

// The record type after the 'S' (of either case): a digit, 4 excepted.
int SRecordType(std::string_view text, std::uint64_t line) {
  if (text[0] != 'S' && text[0] != 's') {
    throw RecordError(line, "the line does not start with 'S'");
  }
  if (text.size() < 2) {
    throw RecordError(line, "the line is too short for a record");
  }
  if (text[1] < '0' || text[1] > '9' || text[1] == '4') {
    const auto code = static_cast<unsigned char>(text[1]);
    throw RecordError(line, code > 0x20 && code < 0x7F
                                ? "unknown record type S" + std::string(1, text[1])
                                : "unknown record type: " + ShownCharacter(text[1]) + " after 'S'");
  }
  return text[1] - '0';
}

Record ParseS(std::string_view text, std::uint64_t line) {
  const int type = SRecordType(text, line);
  Record record;
  record.Type = text[1];
  record.LowerLetter = text[0] == 's';
  static constexpr int kWidth[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
  record.AddressBytes = kWidth[type];
  std::array<std::uint8_t, 264> bytes;
  const std::size_t count = ReadBytes(text.substr(2), 2, line, bytes, record);
  const auto width = static_cast<std::size_t>(record.AddressBytes);
  if (count < width + 2) {
    throw RecordError(line, "the line is too short for a record");
  }
  CheckLength(count - 1, bytes[0], line);  // the count covers address, data and checksum
  unsigned sum = 0;
  for (std::size_t i = 0; i < count - 1; ++i) {
    sum += bytes[i];
  }
  CheckSum(bytes[count - 1], ~sum & 0xFF, line);
  for (std::size_t i = 0; i < width; ++i) {
    record.Address = record.Address << 8 | bytes[1 + i];
  }
  record.Length = count - 2 - width;
  std::copy_n(bytes.begin() + 1 + static_cast<std::ptrdiff_t>(width), record.Length,
              record.Data.begin());
  switch (type) {
    case 0:
      record.Kind = RecordKind::Header;
      return record;
    case 1:
    case 2:
    case 3:
      record.Kind = RecordKind::Data;
      if (record.Address + record.Length > (std::uint64_t{1} << (8 * width))) {
        throw RecordError(line, "the data runs past address " +
                                    text::HexDigits((std::uint64_t{1} << (8 * width)) - 1, 4));
      }
      return record;
    case 5:
    case 6:
      record.Kind = RecordKind::Count;
      CheckDataLength(record, 0, line);
      return record;
    default:
      record.Kind = RecordKind::End;
      CheckDataLength(record, 0, line);
      return record;
  }
}

}  // namespace

namespace {

// The first `c` in text[from, to), or npos.
std::size_t Find(std::string_view text, char c, std::size_t from, std::size_t to) {
  const void* found = std::memchr(text.data() + from, c, to - from);
  return found == nullptr ? std::string_view::npos
                          : static_cast<std::size_t>(static_cast<const char*>(found) - text.data());
}

}  // namespace

void LineSplitter::Feed(std::string_view chunk) {
  if (crPending_ && !chunk.empty()) {
    // The CR that ended the last piece: CR LF, or a line of a file whose lines end in CR alone.
    crPending_ = false;
    const bool lineFeed = chunk.front() == '\n';
    std::string line = std::move(partial_);
    partial_.clear();
    Deliver(line, lineFeed ? "\r\n" : "\r");
    if (lineFeed) {
      chunk.remove_prefix(1);
    }
  }
  // The next LF is looked for once a piece and again only when passed, a CR only up to it: two
  // memchr passes over the text, whatever its line ends.
  std::size_t lineFeed = Find(chunk, '\n', 0, chunk.size());
  while (!chunk.empty()) {
    const std::size_t limit = lineFeed == std::string_view::npos ? chunk.size() : lineFeed;
    const std::size_t carriage = Find(chunk, '\r', 0, limit);
    const std::size_t end = carriage != std::string_view::npos ? carriage : lineFeed;
    if (end == std::string_view::npos) {
      partial_.append(chunk);
      if (partial_.size() > kLongestLine) {
        throw RecordError(number_ + 1, "the line is longer than any record");
      }
      return;
    }
    std::string_view line = chunk.substr(0, end);
    if (!partial_.empty()) {
      partial_.append(line);
      line = partial_;
    }
    if (line.size() > kLongestLine) {
      throw RecordError(number_ + 1, "the line is longer than any record");
    }
    if (chunk[end] == '\r' && end + 1 == chunk.size()) {
      // Whether an LF follows is for the next piece to say.
      if (partial_.empty()) {
        partial_.assign(line);
      }
      crPending_ = true;
      return;
    }
    const bool crLf = chunk[end] == '\r' && chunk[end + 1] == '\n';
    const std::string_view ending = chunk[end] == '\n' ? "\n" : crLf ? "\r\n" : "\r";
    Deliver(line, ending);
    partial_.clear();
    const std::size_t used = end + ending.size();
    chunk.remove_prefix(used);
    if (lineFeed != std::string_view::npos) {
      lineFeed = lineFeed >= used ? lineFeed - used : Find(chunk, '\n', 0, chunk.size());
    }
  }
}

void LineSplitter::Finish() {
  if (crPending_) {
    crPending_ = false;
    std::string last = std::move(partial_);
    partial_.clear();
    Deliver(last, "\r");
  } else if (!partial_.empty()) {
    std::string last = std::move(partial_);
    partial_.clear();
    Deliver(last, "");
  }
}

void LineSplitter::Deliver(std::string_view line, std::string_view ending) {
  ++number_;
  const TextLine textLine{line, offset_, number_, ending};
  offset_ += line.size() + ending.size();
  onLine_(textLine);
}

bool IsPadding(std::string_view text) {
  return !text.empty() && text.find_first_not_of('\x1A') == std::string_view::npos;
}

Record ParseRecord(FileFormat format, std::string_view text, std::uint64_t lineNumber) {
  return format == FileFormat::IntelHex ? ParseIntel(text, lineNumber) : ParseS(text, lineNumber);
}

void AppendRecord(std::string& out, FileFormat format, int type, std::uint64_t address,
                  const std::uint8_t* data, std::size_t length, const LineLook& look) {
  const char* digits = look.LowerCase ? "0123456789abcdef" : "0123456789ABCDEF";
  // Made in a buffer of the longest record and appended at once: a save writes thousands.
  char line[kLongestLine];
  std::size_t used = 0;
  unsigned sum = 0;
  const auto put = [&](unsigned byte) {
    line[used] = digits[(byte >> 4) & 0xF];
    line[used + 1] = digits[byte & 0xF];
    used += 2;
    sum += byte;
  };
  if (format == FileFormat::IntelHex) {
    line[used++] = ':';
    put(static_cast<unsigned>(length));
    put(static_cast<unsigned>(address >> 8) & 0xFF);
    put(static_cast<unsigned>(address) & 0xFF);
    put(static_cast<unsigned>(type));
    for (std::size_t i = 0; i < length; ++i) {
      put(data[i]);
    }
    put((0x100 - (sum & 0xFF)) & 0xFF);
  } else {
    static constexpr int kWidth[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
    const int width = kWidth[type];
    line[used++] = look.LowerLetter ? 's' : 'S';
    line[used++] = static_cast<char>('0' + type);
    put(static_cast<unsigned>(length) + static_cast<unsigned>(width) + 1);
    for (int i = width - 1; i >= 0; --i) {
      put(static_cast<unsigned>(address >> (8 * i)) & 0xFF);
    }
    for (std::size_t i = 0; i < length; ++i) {
      put(data[i]);
    }
    put(~sum & 0xFF);
  }
  out.append(line, used);
  out += look.Ending;
}

std::string_view LineEndText(LineEnd end) {
  return end == LineEnd::CrLf ? "\r\n" : end == LineEnd::Cr ? "\r" : "\n";
}

int SDataType(int addressBytes) {
  return addressBytes - 1;
}
int SEndType(int addressBytes) {
  return 11 - addressBytes;
}
int SWidthFor(std::uint64_t highestAddress) {
  return highestAddress <= 0xFFFF ? 2 : highestAddress <= 0xFFFFFF ? 3 : 4;
}

}  // namespace lbe::records
