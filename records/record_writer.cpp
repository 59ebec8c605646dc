// WriteRecordFile and RecordRewrite: records written afresh, and written into an existing file
// in place of the records that held the saved span.

#include <algorithm>
#include <array>
#include <functional>
#include <memory>
#include <vector>

#include "records/record_file.h"
#include "records/record_line.h"
#include "text/hex_text.h"

namespace lbe::records {

namespace {

constexpr std::size_t kWaitingKept = 1 << 16;

// Where Intel HEX data offsets count from: what the last extended address record set.
struct IntelPlace {
  std::uint64_t Base = 0;
  int Type = 0;  // 0 before any extended address record, else 2 or 4
  std::uint64_t Value = 0;
  bool operator==(const IntelPlace&) const = default;
};

struct SpanLook {
  std::size_t BytesPerRecord = 16;
  bool SegmentStyle = false;  // Intel HEX: extended segment records where they reach
  int AddressBytes = 2;       // S-record: the least width of the data records
  LineLook Look;
};

void AppendPlace(std::string& out, const IntelPlace& place, const LineLook& look) {
  const std::uint8_t value[2] = {static_cast<std::uint8_t>(place.Value >> 8),
                                 static_cast<std::uint8_t>(place.Value)};
  AppendRecord(out, FileFormat::IntelHex, place.Type, 0, value, 2, look);
}

struct SpanWritten {
  std::uint64_t Records = 0;
  int AddressBytes = 0;  // S-record: the width used
};

// Appends the bytes of window addresses from..to that `held` marks, at file address base + w,
// as data records (Intel HEX: with the extended address records they need, `place` following).
SpanWritten AppendSpan(std::string& out, FileFormat format, const SpanLook& look,
                       std::uint64_t base, ConstWindowBytes bytes, const HeldBytes& held,
                       std::int32_t from, std::int32_t to, IntelPlace& place) {
  SpanWritten written;
  std::int32_t highest = -1;
  for (std::int32_t w = to; w >= from; --w) {
    if (held.test(static_cast<std::size_t>(w))) {
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
    if (!held[static_cast<std::size_t>(w)]) {
      ++w;
      continue;
    }
    std::int32_t run = w;
    while (run <= highest && held[static_cast<std::size_t>(run)] &&
           static_cast<std::size_t>(run - w) < perRecord) {
      ++run;
    }
    std::size_t length = static_cast<std::size_t>(run - w);
    const std::uint64_t address = base + static_cast<std::uint64_t>(w);
    const std::uint8_t* data = bytes.data() + w;
    if (format == FileFormat::IntelHex) {
      if (address < place.Base || address - place.Base > 0xFFFF) {
        const std::uint64_t upper = address >> 16;
        place = look.SegmentStyle && upper <= 0xF ? IntelPlace{upper << 16, 2, upper << 12}
                                                  : IntelPlace{upper << 16, 4, upper};
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

}  // namespace

std::string WriteRecordFile(FileFormat format, const RecordStyle& style, std::uint64_t base,
                            ConstWindowBytes bytes, const HeldBytes& held) {
  const LineLook look{style.LowerCase, LineEndText(style.Ending), style.LowerLetter};
  const SpanLook spanLook{style.BytesPerRecord, style.AddressBytes == 3, style.AddressBytes, look};
  std::string out;
  out.reserve(kWindowSize * 3);
  IntelPlace place;
  if (format == FileFormat::IntelHex) {
    AppendSpan(out, format, spanLook, base, bytes, held, 0, kWindowSize - 1, place);
    AppendRecord(out, format, 1, 0, nullptr, 0, look);
  } else {
    AppendRecord(out, format, 0, 0, nullptr, 0, look);
    const SpanWritten written =
        AppendSpan(out, format, spanLook, base, bytes, held, 0, kWindowSize - 1, place);
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
  IntelPlace place;
  int width = std::clamp(style.AddressBytes, 2, 4);
  if (format == FileFormat::SRecord) {
    AppendRecord(out, format, 0, 0, nullptr, 0, look);
    if (!bytes.empty()) {
      width = std::max(width, SWidthFor(address + bytes.size() - 1));
    }
  }
  auto window = std::make_unique<std::array<std::uint8_t, kWindowSize>>();
  HeldBytes held;
  for (std::size_t at = 0; at < bytes.size(); at += kWindowSize) {
    const std::size_t length = std::min(kWindowSize, bytes.size() - at);
    std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(at), length, window->begin());
    held.reset();
    for (std::size_t i = 0; i < length; ++i) {
      held.set(i);
    }
    SpanLook piece = spanLook;
    piece.AddressBytes = width;
    AppendSpan(out, format, piece, address + at, *window, held, 0,
               static_cast<std::int32_t>(length) - 1, place);
  }
  AppendRecord(out, format, format == FileFormat::IntelHex ? 1 : SEndType(width), 0, nullptr, 0,
               look);
  return out;
}

struct RecordRewrite::State {
  FileFormat Format;
  std::uint64_t Base;
  ConstWindowBytes Bytes;
  const HeldBytes& Held;
  std::int32_t From;
  std::int32_t To;
  std::uint64_t SpanLow;
  std::uint64_t SpanHigh;
  LineSplitter Splitter;

  // What the lines read so far say: where Intel HEX offsets count from and how many data
  // records the new text holds before this point.
  struct Point {
    IntelPlace Place;
    std::uint64_t DataRecords = 0;
  };
  Point Now;

  // The file's style as far as read.
  bool LetterSeen = false;
  bool LowerCase = false;
  bool EndingSeen = false;
  std::string_view Ending = "\n";
  std::size_t LongestData = 0;
  int AddressBytes = 2;

  bool Placed = false;
  bool EndSeen = false;
  int WrittenWidth = 0;

  // The stretch: from the first line that changes to the end of the last one so far. Lines
  // read since that last change wait in Waiting until a later change takes them in.
  bool Changing = false;
  std::uint64_t StretchStart = 0;
  std::uint64_t StretchEnd = 0;
  std::string NewText;
  std::string OldText;
  std::string Waiting;
  // With a way to read the file back, Waiting keeps no more than kWaitingKept: the rest is
  // read back if a later line changes, so memory stays flat whatever follows the window.
  std::function<std::string(std::uint64_t, std::size_t)> ReadBack;
  bool WaitingDropped = false;

  // The records other than data records since the last data record: the new records go before
  // them when no record held the span, so that they come before a count or start record.
  struct HeldLine {
    std::string Text;
    std::string Ending;
    std::uint64_t Start;
    std::uint64_t Number;
  };
  std::vector<HeldLine> Tail;
  Point TailPoint;

  std::optional<RecordStyle> GivenStyle;

  State(FileFormat format, std::uint64_t base, ConstWindowBytes bytes, const HeldBytes& held,
        std::int32_t from, std::int32_t to, std::optional<RecordStyle> style)
      : Format(format),
        Base(base),
        Bytes(bytes),
        Held(held),
        From(std::max(from, 0)),
        To(std::min<std::int32_t>(to, kWindowSize - 1)),
        SpanLow(base + static_cast<std::uint64_t>(std::max(from, 0))),
        SpanHigh(base +
                 static_cast<std::uint64_t>(std::clamp<std::int32_t>(to, 0, kWindowSize - 1))),
        Splitter([this](const TextLine& line) { Take(line); }),
        GivenStyle(style) {}

  bool SpanEmpty() const { return From > To; }

  void Take(const TextLine& line) {
    if (!EndingSeen && !line.Ending.empty()) {
      EndingSeen = true;
      Ending = line.Ending.size() == 2 ? "\r\n" : "\n";
    }
    if (EndSeen && !line.Text.empty() && !IsPadding(line.Text)) {
      throw RecordError(line.Number, "text after the end record");
    }
    std::optional<Record> record;
    if (!line.Text.empty() && !EndSeen) {
      record = ParseRecord(Format, line.Text, line.Number);
      NoteStyle(*record);
    }
    if (!Placed &&
        (!record || (record->Kind != RecordKind::Data && record->Kind != RecordKind::End))) {
      if (Tail.empty()) {
        TailPoint = Now;
      }
      Tail.push_back({std::string(line.Text), std::string(line.Ending), line.Start, line.Number});
    }
    if (!record) {
      Keep(line);
      return;
    }
    if (record->Kind == RecordKind::Data && !Placed) {
      Tail.clear();
    }
    if (record->Kind == RecordKind::End && !Placed) {
      PlaceBeforeTail(line.Start);
    }
    Process(line, *record);
  }

  void NoteStyle(const Record& record) {
    if (record.HasLetter && !LetterSeen) {
      LetterSeen = true;
      LowerCase = record.LowerCase;
    }
    if (record.Kind == RecordKind::Data) {
      LongestData = std::max(LongestData, record.Length);
      if (Format == FileFormat::SRecord) {
        AddressBytes = std::max(AddressBytes, record.AddressBytes);
      }
    } else if (record.Kind == RecordKind::ExtendedSegment) {
      AddressBytes = std::max(AddressBytes, 3);
    } else if (record.Kind == RecordKind::ExtendedLinear) {
      AddressBytes = 4;
    }
  }

  void Process(const TextLine& line, const Record& record) {
    switch (record.Kind) {
      case RecordKind::Data: {
        const std::uint64_t address =
            record.Address + (Format == FileFormat::IntelHex ? Now.Place.Base : 0);
        if (!SpanEmpty() && record.Length > 0 && address <= SpanHigh &&
            address + record.Length - 1 >= SpanLow) {
          Replace(line, record, address);
        } else {
          ++Now.DataRecords;
          Keep(line);
        }
        return;
      }
      case RecordKind::ExtendedSegment:
        Now.Place = {record.Address << 4, 2, record.Address};
        Keep(line);
        return;
      case RecordKind::ExtendedLinear:
        Now.Place = {record.Address << 16, 4, record.Address};
        Keep(line);
        return;
      case RecordKind::Count:
        if (record.Address == Now.DataRecords) {
          Keep(line);
        } else {
          std::string text;
          const int type = record.Type == '5' && Now.DataRecords <= 0xFFFF ? 5 : 6;
          AppendRecord(text, Format, type, Now.DataRecords, nullptr, 0, LookOf(line, record));
          Change(line, text);
        }
        return;
      case RecordKind::End:
        EndSeen = true;
        if (Format == FileFormat::SRecord && WrittenWidth > record.AddressBytes) {
          std::string text;
          AppendRecord(text, Format, SEndType(WrittenWidth), record.Address, nullptr, 0,
                       LookOf(line, record));
          Change(line, text);
        } else {
          Keep(line);
        }
        return;
      case RecordKind::StartAddress:
      case RecordKind::Header:
        Keep(line);
        return;
    }
  }

  LineLook LookOf(const TextLine& line, const Record& record) const {
    return {record.HasLetter ? record.LowerCase : LowerCase,
            line.Ending.empty() ? Ending : line.Ending};
  }

  // The data record at `address` holds bytes of the span: its bytes outside the span stay in
  // records of their own, and the first such record makes room for the whole span.
  void Replace(const TextLine& line, const Record& record, std::uint64_t address) {
    const LineLook look = LookOf(line, record);
    const int type = Format == FileFormat::IntelHex ? 0 : record.Type - '0';
    std::string text;
    if (address < SpanLow) {
      AppendRecord(text, Format, type, record.Address, record.Data.data(), SpanLow - address, look);
      ++Now.DataRecords;
    }
    if (!Placed) {
      Placed = true;
      Tail.clear();
      AppendNewRecords(text);
    }
    const std::uint64_t last = address + record.Length - 1;
    if (last > SpanHigh) {
      const std::size_t skip = SpanHigh + 1 - address;
      AppendRecord(text, Format, type, record.Address + skip, record.Data.data() + skip,
                   record.Length - skip, look);
      ++Now.DataRecords;
    }
    if (line.Ending.empty() && !text.empty()) {
      text.resize(text.size() - look.Ending.size());
    }
    Change(line, text);
  }

  // No record held the span: the new records go before the records that end the file.
  void PlaceBeforeTail(std::uint64_t endStart) {
    Placed = true;
    std::uint64_t start = endStart;
    if (!Tail.empty()) {
      Now = TailPoint;
      start = Tail.front().Start;
    }
    std::string text;
    AppendNewRecords(text);
    if (!text.empty()) {
      Changing = true;
      StretchStart = StretchEnd = start;
      NewText = std::move(text);
    }
    std::vector<HeldLine> tail = std::move(Tail);
    Tail.clear();
    for (const HeldLine& held : tail) {
      const TextLine line{held.Text, held.Start, held.Number, held.Ending};
      if (held.Text.empty()) {
        Keep(line);
      } else {
        Process(line, ParseRecord(Format, held.Text, held.Number));
      }
    }
  }

  void AppendNewRecords(std::string& text) {
    SpanLook look;
    look.BytesPerRecord = LongestData > 0 ? LongestData : 16;
    look.SegmentStyle = AddressBytes == 3;
    look.AddressBytes = AddressBytes;
    look.Look = {LowerCase, Ending};
    if (GivenStyle) {
      look.BytesPerRecord = GivenStyle->BytesPerRecord;
      look.SegmentStyle = GivenStyle->AddressBytes == 3;
      look.AddressBytes = std::max(GivenStyle->AddressBytes, AddressBytes);
      look.Look = {GivenStyle->LowerCase, LineEndText(GivenStyle->Ending), GivenStyle->LowerLetter};
    }
    IntelPlace place = Now.Place;
    const SpanWritten written = AppendSpan(text, Format, look, Base, Bytes, Held, From, To, place);
    if (written.Records == 0) {
      return;
    }
    Now.DataRecords += written.Records;
    WrittenWidth = std::max(WrittenWidth, written.AddressBytes);
    if (!(place == Now.Place)) {
      IntelPlace back = Now.Place;
      if (back.Type == 0) {
        back.Type = look.SegmentStyle ? 2 : 4;
      }
      AppendPlace(text, back, look.Look);
    }
  }

  void Keep(const TextLine& line) {
    if (!Changing || WaitingDropped) {
      return;
    }
    if (ReadBack && Waiting.size() + line.Text.size() > kWaitingKept) {
      WaitingDropped = true;
      Waiting.clear();
      Waiting.shrink_to_fit();
      return;
    }
    Waiting.append(line.Text);
    Waiting.append(line.Ending);
  }

  void Change(const TextLine& line, const std::string& text) {
    if (!Changing) {
      Changing = true;
      StretchStart = line.Start;
    } else {
      if (WaitingDropped) {
        const auto length = static_cast<std::size_t>(line.Start - StretchEnd);
        Waiting = ReadBack(StretchEnd, length);
        if (Waiting.size() != length) {
          throw RecordError(line.Number, "the file changed while it was read");
        }
        WaitingDropped = false;
      }
      NewText += Waiting;
      OldText += Waiting;
      Waiting.clear();
    }
    NewText += text;
    OldText.append(line.Text);
    OldText.append(line.Ending);
    StretchEnd = line.Start + line.Text.size() + line.Ending.size();
  }

  // Leaves out of the stretch what the new text leaves as it was at its two ends.
  void Trim() {
    std::size_t same = 0;
    while (same < NewText.size() && same < OldText.size() && NewText[same] == OldText[same]) {
      ++same;
    }
    std::size_t sameEnd = 0;
    while (sameEnd < NewText.size() - same && sameEnd < OldText.size() - same &&
           NewText[NewText.size() - 1 - sameEnd] == OldText[OldText.size() - 1 - sameEnd]) {
      ++sameEnd;
    }
    StretchStart += same;
    StretchEnd -= sameEnd;
    NewText = NewText.substr(same, NewText.size() - same - sameEnd);
    OldText.clear();
    Waiting.clear();
  }
};

RecordRewrite::RecordRewrite(FileFormat format, std::uint64_t base, ConstWindowBytes bytes,
                             const HeldBytes& held, std::int32_t from, std::int32_t to,
                             std::optional<RecordStyle> style)
    : state_(std::make_unique<State>(format, base, bytes, held, from, to, style)) {}

RecordRewrite::~RecordRewrite() = default;

void RecordRewrite::Feed(std::string_view chunk) {
  state_->Splitter.Feed(chunk);
}

void RecordRewrite::Finish() {
  state_->Splitter.Finish();
  if (!state_->EndSeen) {
    throw RecordError(std::max<std::uint64_t>(state_->Splitter.LinesSeen(), 1),
                      "the file ends without an end record");
  }
  if (state_->Changing) {
    state_->Trim();
  }
}

void RecordRewrite::ReadBackWith(std::function<std::string(std::uint64_t, std::size_t)> read) {
  state_->ReadBack = std::move(read);
}

std::uint64_t RecordRewrite::ReplaceOffset() const {
  return state_->Changing ? state_->StretchStart : 0;
}

std::uint64_t RecordRewrite::ReplaceLength() const {
  return state_->Changing ? state_->StretchEnd - state_->StretchStart : 0;
}

const std::string& RecordRewrite::NewText() const {
  return state_->NewText;
}

}  // namespace lbe::records
