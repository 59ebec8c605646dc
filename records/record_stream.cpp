#include "records/record_stream.h"

#include <algorithm>

#include "records/record_line.h"
#include "text/hex_text.h"

namespace lbe::records {

namespace {

// The text goes out once it passes this size: a few thousand records at a time.
constexpr std::size_t kEmitted = std::size_t{64} << 10;

LineLook LookOf(const StreamLayout& layout) {
  return {layout.LowerCase, LineEndText(layout.Ending), layout.LowerLetter};
}

}  // namespace

std::size_t MostDataBytes(FileFormat format, int addressBytes) {
  return format == FileFormat::IntelHex ? 255 : 254 - static_cast<std::size_t>(addressBytes);
}

RecordStream::RecordStream(FileFormat format, const StreamLayout& layout,
                           std::function<void(std::string_view)> emit)
    : format_(format),
      layout_(layout),
      emit_(std::move(emit)),
      highestAddress_(format == FileFormat::SRecord
                          ? (std::uint64_t{1} << (8 * layout.AddressBytes)) - 1
                          : 0xFFFFFFFFu) {
  layout_.BytesPerRecord =
      std::clamp<std::size_t>(layout.BytesPerRecord, 1, MostDataBytes(format, layout.AddressBytes));
  if (format_ == FileFormat::SRecord) {
    AppendRecord(text_, format_, 0, 0, nullptr, 0, LookOf(layout_));
  }
}

void RecordStream::Add(std::uint64_t address, std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) {
    return;
  }
  if (address > highestAddress_ || bytes.size() - 1 > highestAddress_ - address) {
    const std::uint64_t past = std::max(address, highestAddress_ + 1);
    throw RecordError(0, "address " + text::HexDigits(past, 4) + " does not fit in " +
                             (format_ == FileFormat::SRecord && highestAddress_ < 0xFFFFFFFFu
                                  ? "S" + std::to_string(layout_.AddressBytes - 1) + " records"
                                  : std::string("a record file")));
  }
  if (recordLength_ > 0 && address != recordAddress_ + recordLength_) {
    WriteRecord();
  }
  for (const std::uint8_t byte : bytes) {
    if (recordLength_ == 0) {
      recordAddress_ = address;
    }
    record_[recordLength_++] = byte;
    ++address;
    // Intel HEX offsets are 16 bits: a record never runs over a 64 KiB boundary.
    if (recordLength_ == layout_.BytesPerRecord ||
        (format_ == FileFormat::IntelHex && (address & 0xFFFF) == 0)) {
      WriteRecord();
    }
  }
  Flush(false);
}

void RecordStream::EndRecord() {
  if (recordLength_ > 0) {
    WriteRecord();
  }
}

void RecordStream::Finish() {
  EndRecord();
  const LineLook look = LookOf(layout_);
  const std::uint64_t start = layout_.StartAddress.value_or(0);
  if (format_ == FileFormat::IntelHex) {
    if (layout_.StartAddress) {
      const std::uint8_t value[4] = {
          static_cast<std::uint8_t>(start >> 24), static_cast<std::uint8_t>(start >> 16),
          static_cast<std::uint8_t>(start >> 8), static_cast<std::uint8_t>(start)};
      AppendRecord(text_, format_, layout_.StartIsSegment ? 3 : 5, 0, value, 4, look);
    }
    AppendRecord(text_, format_, 1, 0, nullptr, 0, look);
  } else {
    if (start > highestAddress_) {
      throw RecordError(0, "start address " + text::HexDigits(start, 4) + " does not fit in an S" +
                               std::to_string(SEndType(layout_.AddressBytes)) + " record");
    }
    AppendRecord(text_, format_, SEndType(layout_.AddressBytes), start, nullptr, 0, look);
  }
  Flush(true);
}

void RecordStream::WriteRecord() {
  const LineLook look = LookOf(layout_);
  if (format_ == FileFormat::IntelHex) {
    WritePlace(recordAddress_);
    AppendRecord(text_, format_, 0, recordAddress_ - placeBase_, record_.data(), recordLength_,
                 look);
  } else {
    AppendRecord(text_, format_, SDataType(layout_.AddressBytes), recordAddress_, record_.data(),
                 recordLength_, look);
  }
  ++records_;
  recordLength_ = 0;
}

void RecordStream::WritePlace(std::uint64_t address) {
  if (address >= placeBase_ && address - placeBase_ <= 0xFFFF) {
    return;
  }
  const std::uint64_t upper = address >> 16;
  placeBase_ = upper << 16;
  const bool segment = layout_.SegmentAddresses && upper <= 0xF;
  const std::uint64_t value = segment ? upper << 12 : upper;
  const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(value >> 8),
                                 static_cast<std::uint8_t>(value)};
  AppendRecord(text_, format_, segment ? 2 : 4, 0, bytes, 2, LookOf(layout_));
}

void RecordStream::Flush(bool all) {
  if (!text_.empty() && (all || text_.size() >= kEmitted)) {
    emit_(text_);
    text_.clear();
  }
}

}  // namespace lbe::records
