#pragma once
// A record file written as its bytes arrive: data in pieces at any addresses in, text in pieces
// out, so that an image of any size is converted in flat memory. Pure: no files.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "records/record_file.h"

namespace lbe::records {

// The most data bytes one record can hold: 255 in Intel HEX; 252, 251 and 250 in S1, S2 and S3
// records (`addressBytes` 2, 3, 4), whose one-byte count takes in the address and checksum.
std::size_t MostDataBytes(FileFormat format, int addressBytes);

// How a streamed record file writes its records.
struct StreamLayout {
  std::size_t BytesPerRecord = 16;  // 1 to MostDataBytes
  bool LowerCase = false;
  LineEnd Ending = LineEnd::Lf;
  bool LowerLetter = false;  // S-record: 's'
  // S-record: the address width of every data record (2, 3 or 4: S1, S2, S3) and the end record.
  int AddressBytes = 2;
  // Intel HEX: extended segment address records (02) for addresses up to FFFFF, extended linear
  // ones (04) above; without it, extended linear ones throughout.
  bool SegmentAddresses = false;
  // The execution start address. Intel HEX: a type 05 record, or with StartIsSegment a type 03
  // record whose value is CS in the upper 16 bits and IP in the lower; written before the end
  // record. S-record: the end record's address (0 when none).
  std::optional<std::uint64_t> StartAddress;
  bool StartIsSegment = false;
};

// Writes records of `format` (not Raw) as bytes are added. Bytes that follow on from the last ones
// added join their record until it holds BytesPerRecord; any other address starts a new one, with
// the extended address record it needs (Intel HEX, where a record also ends at a 64 KiB boundary).
// `emit` is handed the text in order, in pieces of some tens of KiB: an S-record file starts with
// an empty S0 header, and Finish writes the start address and the end record.
class RecordStream {
 public:
  RecordStream(FileFormat format, const StreamLayout& layout,
               std::function<void(std::string_view)> emit);
  RecordStream(const RecordStream&) = delete;
  RecordStream& operator=(const RecordStream&) = delete;

  // Throws RecordError (line 0) when a byte's address passes FFFFFFFF, or the S-record address
  // width.
  void Add(std::uint64_t address, std::span<const std::uint8_t> bytes);
  // Ends the record being filled: the next bytes start one of their own, even where they follow
  // on (a record file's records written again one by one).
  void EndRecord();
  void Finish();

  std::uint64_t DataRecords() const { return records_; }

 private:
  void WriteRecord();
  void WritePlace(std::uint64_t address);
  void Flush(bool all);

  FileFormat format_;
  StreamLayout layout_;
  std::function<void(std::string_view)> emit_;
  std::string text_;
  std::uint64_t highestAddress_;  // the last address a data record may hold
  std::uint64_t recordAddress_ = 0;
  std::array<std::uint8_t, 255> record_{};
  std::size_t recordLength_ = 0;
  std::uint64_t placeBase_ = 0;  // Intel HEX: where the data records' offsets count from
  std::uint64_t records_ = 0;
};

}  // namespace lbe::records
