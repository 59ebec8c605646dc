// RecordWalk: each line of a record file parsed and checked against the lines before it.

#include "records/record_walk.h"

#include <algorithm>

#include "text/hex_text.h"

namespace lbe::records {

RecordWalk::RecordWalk(FileFormat format, std::function<void(const WalkedLine&)> onLine)
    : format_(format),
      onLine_(std::move(onLine)),
      splitter_([this](const TextLine& line) { Take(line); }) {}

void RecordWalk::Feed(std::string_view chunk) {
  splitter_.Feed(chunk);
}

void RecordWalk::Finish() {
  splitter_.Finish();
}

std::vector<std::string> RecordWalk::Notes() const {
  if (!endSeen_) {
    return {std::string(kNoEndRecordNote)};
  }
  return {};
}

RecordStyle RecordWalk::Style() const {
  RecordStyle style = style_;
  if (longestData_ > 0) {
    style.BytesPerRecord = longestData_;
  }
  return style;
}

void RecordWalk::Take(const TextLine& line) {
  if (!endingSeen_ && !line.Ending.empty()) {
    endingSeen_ = true;
    style_.Ending = line.Ending == "\r\n" ? LineEnd::CrLf
                    : line.Ending == "\r" ? LineEnd::Cr
                                          : LineEnd::Lf;
  }
  std::string_view text = line.Text;
  if (!paddingSeen_) {
    // A file that ends in Ctrl-Z without a line end before it: the record, then the run of
    // Ctrl-Z as a line of its own, and the lines after it numbered on from there.
    const std::size_t padding = text.find('\x1A');
    if (padding != std::string_view::npos && padding > 0 && IsPadding(text.substr(padding))) {
      Walk({text.substr(0, padding), line.Start, line.Number + shift_, ""}, line.Number);
      ++shift_;
      Walk({text.substr(padding), line.Start + padding, line.Number + shift_, line.Ending},
           line.Number);
      return;
    }
  }
  Walk({text, line.Start, line.Number + shift_, line.Ending}, line.Number);
}

void RecordWalk::Walk(const TextLine& line, std::uint64_t number) {
  linesSeen_ = line.Number;
  const std::string_view text = line.Text;
  if (text.empty()) {
    onLine_({line, nullptr, 0, state_});
    return;
  }
  if (IsPadding(text)) {
    paddingSeen_ = true;
    onLine_({line, nullptr, 0, state_});
    return;
  }
  if (paddingSeen_) {
    throw RecordError(number, "text after the end-of-file mark (Ctrl-Z)");
  }
  if (endSeen_) {
    throw RecordError(number, "text after the end record");
  }
  const Record record = ParseRecord(format_, text, number);
  const AddressState before = state_;
  Check(number, record);
  WalkedLine walked{line, &record, 0, before};
  if (record.Kind == RecordKind::Data) {
    walked.Address = record.Address + (format_ == FileFormat::IntelHex ? before.Base : 0);
  }
  onLine_(walked);
}

void RecordWalk::Check(std::uint64_t number, const Record& record) {
  if (!recordSeen_) {
    recordSeen_ = true;
    style_.LowerLetter = record.LowerLetter;
  }
  if (record.HasLetter && !letterSeen_) {
    letterSeen_ = true;
    style_.LowerCase = record.LowerCase;
  }
  switch (record.Kind) {
    case RecordKind::Data:
      ++dataRecords_;
      longestData_ = std::max(longestData_, record.Length);
      if (format_ == FileFormat::SRecord) {
        style_.AddressBytes = std::max(style_.AddressBytes, record.AddressBytes);
      }
      return;
    case RecordKind::ExtendedSegment:
      state_ = {record.Address << 4, 2, record.Address};
      style_.AddressBytes = std::max(style_.AddressBytes, 3);
      return;
    case RecordKind::ExtendedLinear:
      state_ = {record.Address << 16, 4, record.Address};
      style_.AddressBytes = 4;
      return;
    case RecordKind::Count:
      if (record.Address != dataRecords_) {
        throw RecordError(number, "the count record says " + std::to_string(record.Address) +
                                      " data records, the file has " +
                                      std::to_string(dataRecords_) + " before it");
      }
      return;
    case RecordKind::StartAddress:
      if (startLine_ > 0) {
        throw RecordError(number, "a second start address record; the first is on line " +
                                      std::to_string(startLine_));
      }
      startLine_ = number;
      start_ = static_cast<std::uint64_t>(record.Data[0]) << 24 |
               static_cast<std::uint64_t>(record.Data[1]) << 16 |
               static_cast<std::uint64_t>(record.Data[2]) << 8 | record.Data[3];
      return;
    case RecordKind::End:
      endSeen_ = true;
      if (format_ == FileFormat::SRecord) {
        start_ = record.Address;
      }
      return;
    case RecordKind::Header:
      return;
  }
}

}  // namespace lbe::records
