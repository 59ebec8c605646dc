// RecordRewrite: a save into an existing record file, writing only the records whose bytes
// changed.

#include <algorithm>
#include <array>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "records/record_file.h"
#include "records/record_line.h"
#include "records/record_span.h"
#include "records/record_walk.h"

namespace lbe::records {

namespace {

constexpr std::size_t kWaitingKept = 1 << 16;

}  // namespace

// The rewrite reads the file twice. The survey learns which bytes of the span records already
// hold and, for the bytes typed where none did, the line they go beside. The second reading
// writes: a record whose bytes in the span all stand as they are is kept to the byte; one whose
// bytes changed is written again with its own address, length, type and look; one that lost
// bytes is cut into the runs it keeps; the bytes typed into gaps go after the record that ends
// nearest below them (else before the lowest record, else before the records that end the file).
struct RecordRewrite::State {
  FileFormat Format;
  std::uint64_t Base;
  ConstWindowBytes Bytes;
  const MarkedBytes& Marks;
  std::int32_t From;
  std::int32_t To;
  std::uint64_t SpanLow;
  std::uint64_t SpanHigh;
  std::optional<RecordStyle> GivenStyle;

  // The survey.
  std::unique_ptr<RecordWalk> Survey;
  MarkedBytes Covered;  // span bytes some record holds
  // Records that end inside the window at or below the span's end: (end, line).
  std::vector<std::pair<std::uint64_t, std::uint64_t>> EndsInWindow;
  std::optional<std::pair<std::uint64_t, std::uint64_t>> EndBelowWindow;  // the highest
  std::optional<std::pair<std::uint64_t, std::uint64_t>> LowestStart;     // (start, line)
  std::uint64_t TailLine = 0;  // first line of the run of lines after the last data record
  bool TailFixed = false;      // the end record was reached
  RecordStyle SurveyStyle;
  std::uint64_t SurveyLines = 0;

  // Where the typed gaps go: (line, 0 before it / 1 after it) to runs of window addresses.
  std::map<std::pair<std::uint64_t, int>, std::vector<std::pair<std::int32_t, std::int32_t>>>
      Insertions;

  // The second reading.
  std::unique_ptr<RecordWalk> Walk;
  std::uint64_t DataRecords = 0;  // in the new text before this point
  // The address state the new text is in where it differs from the file's: set back before the
  // next data record.
  std::optional<AddressState> Pending;
  bool LastLineEnded = true;
  std::uint64_t TextEnd = 0;

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

  State(FileFormat format, std::uint64_t base, ConstWindowBytes bytes, const MarkedBytes& marks,
        std::int32_t from, std::int32_t to, std::optional<RecordStyle> style)
      : Format(format),
        Base(base),
        Bytes(bytes),
        Marks(marks),
        From(std::max(from, 0)),
        To(std::min<std::int32_t>(to, kWindowSize - 1)),
        SpanLow(base + static_cast<std::uint64_t>(std::max(from, 0))),
        SpanHigh(base +
                 static_cast<std::uint64_t>(std::clamp<std::int32_t>(to, 0, kWindowSize - 1))),
        GivenStyle(style) {
    Survey = std::make_unique<RecordWalk>(format, [this](const WalkedLine& line) { Note(line); });
  }

  bool SpanEmpty() const { return From > To; }

  // The span bytes of a data record: [first, last] of its data, none when it misses the span.
  std::optional<std::pair<std::size_t, std::size_t>> InSpan(std::uint64_t address,
                                                            std::size_t length) const {
    if (SpanEmpty() || length == 0 || address > SpanHigh || address + length - 1 < SpanLow) {
      return std::nullopt;
    }
    const std::size_t first = address < SpanLow ? static_cast<std::size_t>(SpanLow - address) : 0;
    const std::size_t last = std::min<std::uint64_t>(length - 1, SpanHigh - address);
    return std::pair{first, last};
  }

  std::size_t Window(std::uint64_t address) const {
    return static_cast<std::size_t>(address - Base);
  }

  // ---- the survey

  void Note(const WalkedLine& walked) {
    const TextLine& line = walked.Line;
    SurveyLines = line.Number;
    const Record* record = walked.Parsed;
    if (record != nullptr && record->Kind == RecordKind::Header) {
      // Records added to a file of no data go after its header, not before it.
      if (!TailFixed) {
        TailLine = 0;
      }
      return;
    }
    if (record == nullptr || record->Kind != RecordKind::Data) {
      if (!TailFixed && TailLine == 0) {
        TailLine = line.Number;
      }
      if (record != nullptr && record->Kind == RecordKind::End && !TailFixed) {
        TailFixed = true;
      }
      return;
    }
    if (!TailFixed) {
      TailLine = 0;
    }
    if (record->Length == 0) {
      return;
    }
    const std::uint64_t start = walked.Address;
    const std::uint64_t end = start + record->Length - 1;
    if (!LowestStart || start < LowestStart->first) {
      LowestStart = std::pair{start, line.Number};
    }
    if (const auto span = InSpan(start, record->Length)) {
      for (std::size_t i = span->first; i <= span->second; ++i) {
        Covered.set(Window(start + i));
      }
    }
    if (end < Base) {
      if (!EndBelowWindow || end >= EndBelowWindow->first) {
        EndBelowWindow = std::pair{end, line.Number};
      }
    } else if (end <= SpanHigh) {
      EndsInWindow.emplace_back(end, line.Number);
    }
  }

  // Each run of marked span bytes that no record holds, with the line it goes beside.
  void PlaceGaps() {
    SurveyStyle = Survey->Style();
    std::sort(EndsInWindow.begin(), EndsInWindow.end());
    auto below = EndBelowWindow;
    std::size_t next = 0;
    for (std::int32_t w = From; !SpanEmpty() && w <= To; ++w) {
      const auto at = static_cast<std::size_t>(w);
      if (!Marks.test(at) || Covered.test(at)) {
        continue;
      }
      std::int32_t end = w;
      while (end < To && Marks.test(static_cast<std::size_t>(end) + 1) &&
             !Covered.test(static_cast<std::size_t>(end) + 1)) {
        ++end;
      }
      const std::uint64_t start = Base + static_cast<std::uint64_t>(w);
      while (next < EndsInWindow.size() && EndsInWindow[next].first < start) {
        below = EndsInWindow[next++];
      }
      std::pair<std::uint64_t, int> place;
      if (below) {
        place = {below->second, 1};
      } else if (LowestStart) {
        place = {LowestStart->second, 0};
      } else {
        place = {TailLine == 0 ? SurveyLines + 1 : TailLine, 0};
      }
      Insertions[place].emplace_back(w, end);
      w = end;
    }
  }

  // ---- the second reading

  void Take(const WalkedLine& walked) {
    const TextLine& line = walked.Line;
    const bool previousEnded = LastLineEnded;
    LastLineEnded = !line.Ending.empty();
    TextEnd = line.Start + line.Text.size() + line.Ending.size();
    const Record* record = walked.Parsed;
    const LineLook look = LookOf(line, record);
    std::string prefix;
    if (const auto before = Insertions.find({line.Number, 0}); before != Insertions.end()) {
      AppendGaps(prefix, before->second, walked, look);
      if (!previousEnded) {
        // After a record that a run of Ctrl-Z followed straight: the new lines go between them,
        // and the run still follows the last record straight.
        prefix.resize(prefix.size() - look.Ending.size());
        prefix.insert(0, look.Ending);
      }
    }
    const bool data = record != nullptr && record->Kind == RecordKind::Data;
    if (record != nullptr && (record->Kind == RecordKind::ExtendedLinear ||
                              record->Kind == RecordKind::ExtendedSegment)) {
      Pending.reset();  // the line sets its own
    }
    if (data && Pending) {
      AddressState back = walked.State;
      if (back.Type == 0) {
        back.Type = Pending->Type;
      }
      AppendPlace(prefix, back, look);
      Pending.reset();
    }
    std::optional<std::string> body;
    if (data) {
      body = DataBody(walked, look);
    } else if (record != nullptr && record->Kind == RecordKind::Count &&
               record->Address != DataRecords) {
      std::string text;
      const int type = record->Type == '5' && DataRecords <= 0xFFFF ? 5 : 6;
      AppendRecord(text, Format, type, DataRecords, nullptr, 0, look);
      body = Unended(std::move(text), line, look);
    }
    std::string suffix;
    if (const auto after = Insertions.find({line.Number, 1}); after != Insertions.end()) {
      AppendGaps(suffix, after->second, walked, look);
      if (line.Ending.empty()) {
        suffix = std::string(look.Ending) + Unended(std::move(suffix), line, look);
      }
    }
    if (prefix.empty() && suffix.empty() && !body) {
      Keep(line);
      return;
    }
    std::string text = std::move(prefix);
    text += body ? *body : std::string(line.Text) + std::string(line.Ending);
    text += suffix;
    Change(line, text);
  }

  // A record's text as the line had it: without a line end when the line had none.
  static std::string Unended(std::string text, const TextLine& line, const LineLook& look) {
    if (line.Ending.empty() && text.ends_with(look.Ending)) {
      text.resize(text.size() - look.Ending.size());
    }
    return text;
  }

  LineLook LookOf(const TextLine& line, const Record* record) const {
    const RecordStyle& style = GivenStyle ? *GivenStyle : SurveyStyle;
    LineLook look{style.LowerCase, LineEndText(style.Ending), style.LowerLetter};
    if (record != nullptr) {
      look.LowerCase = record->HasLetter ? record->LowerCase : style.LowerCase;
      look.LowerLetter = record->LowerLetter;
    }
    if (!line.Ending.empty()) {
      look.Ending = line.Ending;
    }
    return look;
  }

  // The data record's new text, or none when it stands as it is.
  std::optional<std::string> DataBody(const WalkedLine& walked, const LineLook& look) {
    const Record& record = *walked.Parsed;
    const auto span = InSpan(walked.Address, record.Length);
    if (!span) {
      ++DataRecords;
      return std::nullopt;
    }
    std::array<std::uint8_t, 255> data;
    std::copy_n(record.Data.begin(), record.Length, data.begin());
    std::array<bool, 255> kept;
    kept.fill(true);
    bool changed = false;
    bool cut = false;
    for (std::size_t i = span->first; i <= span->second; ++i) {
      const std::size_t w = Window(walked.Address + i);
      if (!Marks.test(w)) {
        kept[i] = false;
        cut = true;
      } else if (Bytes[w] != data[i]) {
        data[i] = Bytes[w];
        changed = true;
      }
    }
    if (!changed && !cut) {
      ++DataRecords;
      return std::nullopt;
    }
    const int type = Format == FileFormat::IntelHex ? 0 : record.Type - '0';
    std::string text;
    for (std::size_t i = 0; i < record.Length;) {
      if (!kept[i]) {
        ++i;
        continue;
      }
      std::size_t run = i;
      while (run < record.Length && kept[run]) {
        ++run;
      }
      AppendRecord(text, Format, type, record.Address + i, data.data() + i, run - i, look);
      ++DataRecords;
      i = run;
    }
    return Unended(std::move(text), walked.Line, look);
  }

  // The records of typed gaps, beside the line `walked`, in the address state the new text is in
  // there; the file's is set back before the data records that follow.
  void AppendGaps(std::string& text, const std::vector<std::pair<std::int32_t, std::int32_t>>& runs,
                  const WalkedLine& walked, const LineLook& look) {
    const RecordStyle& style = GivenStyle ? *GivenStyle : SurveyStyle;
    SpanLook spanLook;
    spanLook.BytesPerRecord = style.BytesPerRecord;
    spanLook.SegmentStyle = style.AddressBytes == 3;
    spanLook.AddressBytes = walked.Parsed != nullptr && walked.Parsed->Kind == RecordKind::Data
                                ? walked.Parsed->AddressBytes
                                : std::clamp(style.AddressBytes, 2, 4);
    spanLook.Look = look;
    const AddressState state = walked.State;
    AddressState place = Pending.value_or(state);
    for (const auto& [from, to] : runs) {
      const SpanWritten written =
          AppendSpan(text, Format, spanLook, Base, Bytes, Marks, from, to, place);
      DataRecords += written.Records;
    }
    if (place == state) {
      Pending.reset();
    } else {
      Pending = place;
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

  // Bytes typed where no record was, and nothing after the last record: they go at the end.
  void AtEnd() {
    const auto last = Insertions.find({Walk->LinesSeen() + 1, 0});
    if (last == Insertions.end()) {
      return;
    }
    const TextLine end{"", TextEnd, Walk->LinesSeen() + 1, ""};
    const RecordStyle& style = GivenStyle ? *GivenStyle : SurveyStyle;
    const LineLook look{style.LowerCase, LineEndText(style.Ending), style.LowerLetter};
    std::string text;
    AppendGaps(text, last->second, {end, nullptr, 0, Walk->State()}, look);
    if (!LastLineEnded) {
      // The file ended without a line end: so it still does.
      text = std::string(look.Ending) + Unended(std::move(text), end, look);
    }
    Change(end, text);
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
                             const MarkedBytes& marks, std::int32_t from, std::int32_t to,
                             std::optional<RecordStyle> style)
    : state_(std::make_unique<State>(format, base, bytes, marks, from, to, style)) {}

RecordRewrite::~RecordRewrite() = default;

void RecordRewrite::Survey(std::string_view chunk) {
  state_->Survey->Feed(chunk);
}

void RecordRewrite::FinishSurvey() {
  state_->Survey->Finish();
  state_->PlaceGaps();
  state_->Survey.reset();
  state_->Walk = std::make_unique<RecordWalk>(
      state_->Format, [this](const WalkedLine& line) { state_->Take(line); });
}

void RecordRewrite::Feed(std::string_view chunk) {
  state_->Walk->Feed(chunk);
}

void RecordRewrite::Finish() {
  state_->Walk->Finish();
  if (state_->Walk->LinesSeen() != state_->SurveyLines) {
    throw RecordError(state_->Walk->LinesSeen(), "the file changed while it was read");
  }
  state_->AtEnd();
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
