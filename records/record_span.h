#pragma once
// A run of a window's marked bytes written as data records, with the extended address records
// they need: shared by the records written afresh and by a save's new records.

#include <cstdint>
#include <string>

#include "records/record_file.h"
#include "records/record_line.h"
#include "records/record_walk.h"

namespace lbe::records {

struct SpanLook {
  std::size_t BytesPerRecord = 16;
  bool SegmentStyle = false;  // Intel HEX: extended segment records where they reach
  int AddressBytes = 2;       // S-record: the least width of the data records
  LineLook Look;
};

struct SpanWritten {
  std::uint64_t Records = 0;
  int AddressBytes = 0;  // S-record: the width used
};

// An Intel HEX extended address record that sets `place`.
void AppendPlace(std::string& out, const AddressState& place, const LineLook& look);

// Appends the bytes of window addresses from..to that `marks` sets, at file address base + w,
// as data records (Intel HEX: with the extended address records they need, `place` following).
// Throws RecordError (line 0) when an address passes FFFFFFFF.
SpanWritten AppendSpan(std::string& out, FileFormat format, const SpanLook& look,
                       std::uint64_t base, ConstWindowBytes bytes, const MarkedBytes& marks,
                       std::int32_t from, std::int32_t to, AddressState& place);

}  // namespace lbe::records
