// Records written afresh: a window's or a run of bytes' records, and the spans of records that a
// save's new records share.

#include <algorithm>
#include <array>
#include <memory>

#include "records/record_file.h"
#include "records/record_line.h"
#include "records/record_span.h"
#include "text/hex_text.h"

namespace lbe::records {

void AppendPlace(std::string& out, const AddressState& place, const LineLook& look) {
  const std::uint8_t value[2] = {static_cast<std::uint8_t>(place.Value >> 8),
                                 static_cast<std::uint8_t>(place.Value)};
  AppendRecord(out, FileFormat::IntelHex, place.Type, 0, value, 2, look);
}

SpanWritten AppendSpan(std::string& out, FileFormat format, const SpanLook& look,
                       std::uint64_t base, ConstWindowBytes bytes, const MarkedBytes& marks,
                       std::int32_t from, std::int32_t to, AddressState& place) {
  SpanWritten written;
  std::int32_t highest = -1;
  for (std::int32_t w = to; w >= from; --w) {
    if (marks.test(static_cast<std::size_t>(w))) {
      highest = w;
      break;
    }
  }
  if (highest < 0) {
    return written;
  }
  if (base + static_cast<std::uint64_t>(highest) > 0xFFFFFFFF) {
    throw RecordError(0, "address " +
                             text::HexDigits(base + static_cast<std::uint64_t>(highest), 8) +
                             " does not fit in a record file");
  }
  written.AddressBytes =
      std::max(look.AddressBytes, SWidthFor(base + static_cast<std::uint64_t>(highest)));
  // A record's length is one byte: Intel HEX counts the data, S-record address and checksum too.
  const std::size_t longest =
      format == FileFormat::IntelHex ? 255 : 254 - static_cast<std::size_t>(written.AddressBytes);
  const std::size_t perRecord = std::clamp<std::size_t>(look.BytesPerRecord, 1, longest);
  std::int32_t w = from;
  while (w <= highest) {
    if (!marks[static_cast<std::size_t>(w)]) {
      ++w;
      continue;
    }
    std::int32_t run = w;
    while (run <= highest && marks[static_cast<std::size_t>(run)] &&
           static_cast<std::size_t>(run - w) < perRecord) {
      ++run;
    }
    std::size_t length = static_cast<std::size_t>(run - w);
    const std::uint64_t address = base + static_cast<std::uint64_t>(w);
    const std::uint8_t* data = bytes.data() + w;
    if (format == FileFormat::IntelHex) {
      if (address < place.Base || address - place.Base > 0xFFFF) {
        const std::uint64_t upper = address >> 16;
        place = look.SegmentStyle && upper <= 0xF ? AddressState{upper << 16, 2, upper << 12}
                                                  : AddressState{upper << 16, 4, upper};
        AppendPlace(out, place, look.Look);
      }
      length = std::min<std::size_t>(length, 0x10000 - (address - place.Base));
      AppendRecord(out, format, 0, address - place.Base, data, length, look.Look);
    } else {
      AppendRecord(out, format, SDataType(written.AddressBytes), address, data, length, look.Look);
    }
    ++written.Records;
    w += static_cast<std::int32_t>(length);
  }
  return written;
}

std::string WriteRecordFile(FileFormat format, const RecordStyle& style, std::uint64_t base,
                            ConstWindowBytes bytes, const MarkedBytes& marks) {
  const LineLook look{style.LowerCase, LineEndText(style.Ending), style.LowerLetter};
  const SpanLook spanLook{style.BytesPerRecord, style.AddressBytes == 3, style.AddressBytes, look};
  std::string out;
  out.reserve(kWindowSize * 3);
  AddressState place;
  if (format == FileFormat::IntelHex) {
    AppendSpan(out, format, spanLook, base, bytes, marks, 0, kWindowSize - 1, place);
    AppendRecord(out, format, 1, 0, nullptr, 0, look);
  } else {
    AppendRecord(out, format, 0, 0, nullptr, 0, look);
    const SpanWritten written =
        AppendSpan(out, format, spanLook, base, bytes, marks, 0, kWindowSize - 1, place);
    const int width = std::max(written.AddressBytes, std::clamp(style.AddressBytes, 2, 4));
    AppendRecord(out, format, SEndType(width), 0, nullptr, 0, look);
  }
  return out;
}

std::string WriteRecordBytes(FileFormat format, const RecordStyle& style, std::uint64_t address,
                             std::span<const std::uint8_t> bytes) {
  const LineLook look{style.LowerCase, LineEndText(style.Ending), style.LowerLetter};
  const SpanLook spanLook{style.BytesPerRecord, style.AddressBytes == 3, style.AddressBytes, look};
  std::string out;
  AddressState place;
  int width = std::clamp(style.AddressBytes, 2, 4);
  if (format == FileFormat::SRecord) {
    AppendRecord(out, format, 0, 0, nullptr, 0, look);
    if (!bytes.empty()) {
      width = std::max(width, SWidthFor(address + bytes.size() - 1));
    }
  }
  auto window = std::make_unique<std::array<std::uint8_t, kWindowSize>>();
  MarkedBytes marks;
  for (std::size_t at = 0; at < bytes.size(); at += kWindowSize) {
    const std::size_t length = std::min(kWindowSize, bytes.size() - at);
    std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(at), length, window->begin());
    marks.reset();
    for (std::size_t i = 0; i < length; ++i) {
      marks.set(i);
    }
    SpanLook piece = spanLook;
    piece.AddressBytes = width;
    AppendSpan(out, format, piece, address + at, *window, marks, 0,
               static_cast<std::int32_t>(length) - 1, place);
  }
  AppendRecord(out, format, format == FileFormat::IntelHex ? 1 : SEndType(width), 0, nullptr, 0,
               look);
  return out;
}

}  // namespace lbe::records
