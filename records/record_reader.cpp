// The names of the formats, RecordError and RecordReader.

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <vector>

#include "records/record_file.h"
#include "records/record_line.h"
#include "records/record_walk.h"
#include "text/hex_text.h"

namespace lbe::records {

namespace {

bool EndsWithNoCase(std::string_view name, std::string_view suffix) {
  if (name.size() < suffix.size()) {
    return false;
  }
  return std::equal(suffix.begin(), suffix.end(), name.end() - static_cast<long>(suffix.size()),
                    [](char a, char b) {
                      return std::tolower(static_cast<unsigned char>(a)) ==
                             std::tolower(static_cast<unsigned char>(b));
                    });
}

}  // namespace

FileFormat FormatOfName(std::string_view name) {
  for (std::string_view suffix : {".hex", ".ihx", ".ihex"}) {
    if (EndsWithNoCase(name, suffix)) {
      return FileFormat::IntelHex;
    }
  }
  for (std::string_view suffix : {".s19", ".s28", ".s37", ".srec", ".mot"}) {
    if (EndsWithNoCase(name, suffix)) {
      return FileFormat::SRecord;
    }
  }
  if (EndsWithNoCase(name, ".prg")) {
    return FileFormat::Prg;
  }
  return FileFormat::Raw;
}

std::optional<FileFormat> FormatNamed(std::string_view word) {
  if (word == "raw") {
    return FileFormat::Raw;
  }
  if (word == "ihex") {
    return FileFormat::IntelHex;
  }
  if (word == "srec") {
    return FileFormat::SRecord;
  }
  if (word == "prg") {
    return FileFormat::Prg;
  }
  return std::nullopt;
}

RecordError::RecordError(std::uint64_t line, const std::string& what)
    : std::runtime_error(what), line_(line) {}

struct RecordReader::State {
  std::uint64_t Base;
  WindowBytes Bytes;
  MarkedBytes& Marks;
  // The line that gave each marked byte, to name both lines of a contradiction.
  std::vector<std::uint32_t> LineOf;
  std::int32_t Lowest = -1;
  std::int32_t Highest = -1;
  RecordWalk Walk;

  State(FileFormat format, std::uint64_t base, WindowBytes bytes, MarkedBytes& marks)
      : Base(base),
        Bytes(bytes),
        Marks(marks),
        LineOf(kWindowSize),
        Walk(format, [this](const WalkedLine& line) {
          if (line.Parsed != nullptr && line.Parsed->Kind == RecordKind::Data) {
            Store(*line.Parsed, line.Address, line.Line.Number);
          }
        }) {}

  void Store(const Record& record, std::uint64_t address, std::uint64_t line) {
    if (address + record.Length <= Base || address >= Base + kWindowSize) {
      return;
    }
    const std::size_t first = address < Base ? static_cast<std::size_t>(Base - address) : 0;
    const std::size_t last = std::min<std::uint64_t>(record.Length, Base + kWindowSize - address);
    const auto lineNumber = static_cast<std::uint32_t>(std::min<std::uint64_t>(line, UINT32_MAX));
    const auto start = static_cast<std::size_t>(address + first - Base);
    for (std::size_t i = first, window = start; i < last; ++i, ++window) {
      auto mark = Marks[window];
      if (!mark) {
        mark = true;
      } else if (Bytes[window] != record.Data[i]) {
        const std::uint32_t earlier = LineOf[window];
        throw RecordError(line,
                          "address " + text::HexDigits(address + i, 4) + " is given " +
                              text::HexDigits(record.Data[i], 2) + " here and " +
                              text::HexDigits(Bytes[window], 2) +
                              (earlier == UINT32_MAX ? std::string(" on an earlier line")
                                                     : " on line " + std::to_string(earlier)));
      }
      Bytes[window] = record.Data[i];
      LineOf[window] = lineNumber;
    }
    if (first < last) {
      const auto low = static_cast<std::int32_t>(address + first - Base);
      const auto high = static_cast<std::int32_t>(address + last - 1 - Base);
      Lowest = Lowest < 0 ? low : std::min(Lowest, low);
      Highest = std::max(Highest, high);
    }
  }
};

RecordReader::RecordReader(FileFormat format, std::uint64_t base, WindowBytes bytes,
                           MarkedBytes& marks)
    : state_(std::make_unique<State>(format, base, bytes, marks)) {}

RecordReader::~RecordReader() = default;

void RecordReader::Feed(std::string_view chunk) {
  state_->Walk.Feed(chunk);
}

void RecordReader::Finish() {
  state_->Walk.Finish();
}

std::vector<std::string> RecordReader::Notes() const {
  return state_->Walk.Notes();
}

std::optional<std::uint64_t> RecordReader::StartAddress() const {
  return state_->Walk.StartAddress();
}

std::optional<std::int32_t> RecordReader::Lowest() const {
  return state_->Lowest < 0 ? std::nullopt : std::optional(state_->Lowest);
}

std::optional<std::int32_t> RecordReader::Highest() const {
  return state_->Highest < 0 ? std::nullopt : std::optional(state_->Highest);
}

RecordStyle RecordReader::Style() const {
  return state_->Walk.Style();
}

}  // namespace lbe::records
