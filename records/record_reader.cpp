// The names of the formats, RecordError and RecordReader.

#include <algorithm>
#include <cctype>

#include "records/record_file.h"
#include "records/record_line.h"

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
  return std::nullopt;
}

RecordError::RecordError(std::uint64_t line, const std::string& what)
    : std::runtime_error(what), line_(line) {}

struct RecordReader::State {
  FileFormat Format;
  std::uint64_t Base;
  WindowBytes Bytes;
  HeldBytes& Held;
  LineSplitter Splitter;
  std::uint64_t ExtendedBase = 0;  // Intel HEX: what types 02 and 04 add to the offsets
  std::uint64_t DataRecords = 0;
  bool EndSeen = false;
  bool LetterSeen = false;
  bool EndingSeen = false;
  std::int32_t Lowest = -1;
  std::int32_t Highest = -1;
  RecordStyle Style;
  std::size_t LongestData = 0;

  State(FileFormat format, std::uint64_t base, WindowBytes bytes, HeldBytes& held)
      : Format(format),
        Base(base),
        Bytes(bytes),
        Held(held),
        Splitter([this](const TextLine& line) { Take(line); }) {}

  void Take(const TextLine& line) {
    if (!EndingSeen && !line.Ending.empty()) {
      EndingSeen = true;
      Style.CrLf = line.Ending.size() == 2;
    }
    if (line.Text.empty()) {
      return;
    }
    if (EndSeen) {
      CheckAfterEnd(line);
      return;
    }
    const Record record = ParseRecord(Format, line.Text, line.Number);
    if (record.HasLetter && !LetterSeen) {
      LetterSeen = true;
      Style.LowerCase = record.LowerCase;
    }
    switch (record.Kind) {
      case RecordKind::Data:
        Store(record);
        break;
      case RecordKind::ExtendedSegment:
        ExtendedBase = record.Address << 4;
        Style.AddressBytes = std::max(Style.AddressBytes, 3);
        break;
      case RecordKind::ExtendedLinear:
        ExtendedBase = record.Address << 16;
        Style.AddressBytes = 4;
        break;
      case RecordKind::Count:
        if (record.Address != DataRecords) {
          throw RecordError(line.Number, "the count record says " + std::to_string(record.Address) +
                                             " data records, the file has " +
                                             std::to_string(DataRecords) + " before it");
        }
        break;
      case RecordKind::End:
        EndSeen = true;
        break;
      case RecordKind::StartAddress:
      case RecordKind::Header:
        break;
    }
  }

  void Store(const Record& record) {
    ++DataRecords;
    LongestData = std::max(LongestData, record.Length);
    std::uint64_t address = record.Address;
    if (Format == FileFormat::IntelHex) {
      address += ExtendedBase;
    } else {
      Style.AddressBytes = std::max(Style.AddressBytes, record.AddressBytes);
    }
    if (record.Length > 0 && address >= Base && address - Base + record.Length <= kWindowSize) {
      const auto window = static_cast<std::size_t>(address - Base);
      std::copy_n(record.Data.begin(), record.Length, Bytes.begin() + window);
      for (std::size_t i = 0; i < record.Length; ++i) {
        Held.set(window + i);
      }
      const auto first = static_cast<std::int32_t>(window);
      Lowest = Lowest < 0 ? first : std::min(Lowest, first);
      Highest = std::max(Highest, first + static_cast<std::int32_t>(record.Length) - 1);
      return;
    }
    for (std::size_t i = 0; i < record.Length; ++i) {
      const std::uint64_t at = address + i;
      if (at < Base || at - Base >= kWindowSize) {
        continue;
      }
      const auto window = static_cast<std::int32_t>(at - Base);
      Bytes[static_cast<std::size_t>(window)] = record.Data[i];
      Held.set(static_cast<std::size_t>(window));
      Lowest = Lowest < 0 ? window : std::min(Lowest, window);
      Highest = std::max(Highest, window);
    }
  }
};

RecordReader::RecordReader(FileFormat format, std::uint64_t base, WindowBytes bytes,
                           HeldBytes& held)
    : state_(std::make_unique<State>(format, base, bytes, held)) {}

RecordReader::~RecordReader() = default;

void RecordReader::Feed(std::string_view chunk) {
  state_->Splitter.Feed(chunk);
}

void RecordReader::Finish() {
  state_->Splitter.Finish();
  if (!state_->EndSeen) {
    throw RecordError(std::max<std::uint64_t>(state_->Splitter.LinesSeen(), 1),
                      "the file ends without an end record");
  }
}

std::optional<std::int32_t> RecordReader::Lowest() const {
  return state_->Lowest < 0 ? std::nullopt : std::optional(state_->Lowest);
}

std::optional<std::int32_t> RecordReader::Highest() const {
  return state_->Highest < 0 ? std::nullopt : std::optional(state_->Highest);
}

RecordStyle RecordReader::Style() const {
  RecordStyle style = state_->Style;
  if (state_->LongestData > 0) {
    style.BytesPerRecord = state_->LongestData;
  }
  return style;
}

}  // namespace lbe::records
