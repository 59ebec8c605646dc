#include "files/edited_file.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>

#include "files/file_layer.h"
#include "files/rescue_copy.h"
#include "files/test_hooks.h"
#include "files/whole_file.h"
#include "image/address_text.h"
#include "image/edit_history.h"
#include "image/memory_image.h"
#include "text/hex_text.h"
#include "text/visible_text.h"

namespace lbe::files {

using image::Image;
using image::kImageSize;
using image::kLineBytes;
using image::Range;
using records::FileFormat;

std::string CurrentFileName;
FilePlacement Placement;
SavedState Saved;

namespace {

// The range and the image, by the files' checksum: a few microseconds at start-up, and a change
// to any one byte always shows.
std::uint64_t Fingerprint() {
  Checksum sum;
  const std::uint64_t range =
      static_cast<std::uint64_t>(static_cast<std::uint32_t>(Range.StartAddress)) << 32 |
      static_cast<std::uint32_t>(Range.EndLine);
  sum.Add(&range, sizeof range);
  sum.Add(Image.Bytes.data(), Image.Bytes.size());
  // A raw save writes the range whatever was typed; a record file's save writes the held bytes.
  if (FormatOf(CurrentFileName) != FileFormat::Raw) {
    for (std::size_t at = 0; at < Image.Marks.size(); at += 64) {
      std::uint64_t word = 0;
      for (std::size_t bit = 0; bit < 64; ++bit) {
        word |= static_cast<std::uint64_t>(Image.Marks[at + bit]) << bit;
      }
      sum.Add(&word, sizeof word);
    }
  }
  return sum.Value();
}

}  // namespace

FileFormat FormatOf(std::string_view name) {
  return Placement.FormatOverride.value_or(records::FormatOfName(name));
}

void MarkImageSaved() {
  Saved.Fingerprint = Fingerprint();
  image::KeepChangesOfMarks(FormatOf(CurrentFileName) != FileFormat::Raw);
}

bool ImageChangedSinceSaved() {
  return Fingerprint() != Saved.Fingerprint;
}

namespace {

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) {
    text += (text.empty() ? "" : "\n") + line;
  }
  return text;
}

// Record files are read in pieces of this size, so that memory stays flat in the file's length.
constexpr std::size_t kRecordPiece = std::size_t{256} << 10;

// A record file that does not parse, as the user sees it: the line, the fault and the file.
// Line 0 is none: a write of records that cannot hold the addresses.
FileError RecordFileError(const records::RecordError& error) {
  const std::string line = error.Line() > 0 ? "Line " + std::to_string(error.Line()) + ": " : "";
  return FileError(FileErrorKind::ReadError, line + error.what() + PathSuffix(CurrentFileName));
}

// A whole record file of the held bytes of the range, in the style the last load read.
std::string RecordFileOfRange(FileFormat format, const records::MarkedBytes& held) {
  try {
    return records::WriteRecordFile(format, Placement.Style.value_or(records::RecordStyle{}),
                                    Placement.Offset, Image.Bytes, held);
  } catch (const records::RecordError& error) {
    throw RecordFileError(error);
  }
}

// Feeds the whole of the file to `feed` in pieces; the file as the last piece found it, with the
// checksum of all of its text.
template <typename Feed>
FileState ReadInPieces(Feed feed) {
  Checksum sum;
  FileState state;
  for (std::uint64_t at = 0;;) {
    const FilePiece piece = ReadFilePiece(CurrentFileName, at, kRecordPiece);
    sum.Add(piece.Bytes.data(), piece.Bytes.size());
    feed(std::string_view(reinterpret_cast<const char*>(piece.Bytes.data()), piece.Bytes.size()));
    at += piece.Bytes.size();
    state = piece.State;
    if (piece.Bytes.size() < kRecordPiece) {
      break;
    }
  }
  state.StretchSum = sum.Value();
  return state;
}

// The range a record file's load leaves: from its lowest held line, or StartAddress when it was
// given, to its highest held line; empty (EndLine = StartLine - 1) when nothing in it is held.
void SetRangeOfRecords(std::optional<std::int32_t> lowest, std::optional<std::int32_t> highest) {
  if (!Placement.StartAddressGiven && lowest) {
    image::SetStartAddress(*lowest);
  }
  Range.EndLine =
      highest && *highest >= Range.StartAddress ? *highest / kLineBytes : Range.StartLine - 1;
}

// LoadFile for a record file that exists: read whole into a scratch image first, so that a file
// that does not parse leaves the image, its marks and the range alone. Returns what the file
// lacks but loads without, one line each.
std::vector<std::string> LoadRecordFile(FileFormat format) {
  auto bytes = std::make_unique<std::array<std::uint8_t, records::kWindowSize>>();
  auto held = std::make_unique<records::MarkedBytes>();
  records::RecordReader reader(format, Placement.Offset, *bytes, *held);
  FileState state;
  try {
    state = ReadInPieces([&](std::string_view piece) { reader.Feed(piece); });
    // An empty file holds nothing yet: the first save writes its records.
    if (state.Size > 0) {
      reader.Finish();
    }
  } catch (const records::RecordError& error) {
    throw RecordFileError(error);
  }
  Image.Bytes = *bytes;
  Image.Marks = *held;
  SetRangeOfRecords(reader.Lowest(), reader.Highest());
  image::ClearHistory();  // a load replaces what the changes were made to
  Placement.Style = state.Size > 0 ? std::optional(reader.Style()) : std::nullopt;
  Placement.Stretch = FileStretch{0, state.Size, true};
  Placement.Known = state;
  Placement.KnownName = CurrentFileName;
  std::vector<std::string> notes;
  if (state.Size > 0) {
    for (const std::string& note : reader.Notes()) {
      notes.push_back(text::VisibleText(CurrentFileName) + ": " + note);
    }
  }
  return notes;
}

constexpr std::uint64_t kProgramHeader = records::kProgramHeaderSize;
constexpr std::uint64_t kLastAddress = records::kLastProgramAddress;

// A .prg file that cannot be loaded as it is, as the user sees it.
FileError ProgramFileError(FileErrorKind kind, const std::string& what) {
  return FileError(kind, what + PathSuffix(CurrentFileName));
}

// Where a .prg's load address stands (and every later load of one, by the F command, too); a
// file of another format has none and no shift.
void SetLoadAddress(std::optional<std::uint16_t> load) {
  Placement.LoadAddress = load;
  Placement.AddressShift =
      load && Placement.LinesFromLoadAddress ? static_cast<std::int32_t>(*load % kLineBytes) : 0;
  Placement.LoadAddressGiven = false;
}

// Before a .prg is read, or anything settled: what the options ask that it cannot do.
void CheckProgramOptions() {
  if (Placement.Offset != 0 || Placement.Length != kAsMuchAsFits) {
    throw ProgramFileError(FileErrorKind::NotSupported,
                           "--offset and --length are not for a .prg file: it is loaded whole, at "
                           "the load address in its header.");
  }
}

// LoadFile for a .prg that is missing or empty: nothing to load, only its load address to settle,
// which --address gives, else the last .prg's, so that F to a new name saves the same program
// again, else the start address.
void StartNewProgramFile() {
  const bool given = Placement.LoadAddressGiven;
  const auto load = Placement.LoadAddress.value_or(static_cast<std::uint16_t>(Range.StartAddress));
  SetLoadAddress(load);
  if (given && !Placement.StartAddressGiven) {
    image::SetStartAddress(load - Placement.AddressShift);
  }
}

// LoadFile for a .prg that exists: read whole and checked before the image is touched.
void LoadProgramFile() {
  const FilePiece read = ReadFilePiece(CurrentFileName, 0, kProgramHeader + kImageSize + 1);
  if (read.FileSize == 0) {
    // Nothing to load, as an empty record file: a cleared image and an empty range.
    Image = {};
    StartNewProgramFile();
    Range.EndLine = Range.StartLine - 1;
    image::ClearHistory();
    Placement.Stretch = FileStretch{0, 0, true};
    Placement.Known = read.State;
    Placement.KnownName = CurrentFileName;
    Placement.Style.reset();
    return;
  }
  if (read.FileSize < kProgramHeader) {
    throw ProgramFileError(FileErrorKind::ReadError,
                           "The file holds 1 byte: a .prg file starts with a 2-byte load address.");
  }
  const auto load = static_cast<std::uint16_t>(read.Bytes[0] | read.Bytes[1] << 8);
  if (Placement.LoadAddressGiven) {
    throw FileError(FileErrorKind::NotSupported,
                    "--address is for a new .prg file: " + text::VisibleText(CurrentFileName) +
                        " has its load address, " + text::HexDigits(load, 4) + ", in its header.");
  }
  const std::uint64_t count = read.FileSize - kProgramHeader;
  if (count > 0 && load + count - 1 > kLastAddress) {
    throw ProgramFileError(FileErrorKind::ReadError,
                           "Its " + std::to_string(count) + " bytes from load address " +
                               text::HexDigits(load, 4) + " run to " +
                               text::HexDigits(load + count - 1, 4) + ", past FFFF.");
  }
  SetLoadAddress(load);
  const std::int32_t at = load - Placement.AddressShift;
  Image = {};
  std::copy(read.Bytes.begin() + kProgramHeader, read.Bytes.end(), Image.Bytes.begin() + at);
  for (std::uint64_t i = 0; i < count; ++i) {
    Image.Marks[static_cast<std::size_t>(at) + i] = true;
  }
  if (!Placement.StartAddressGiven) {
    image::SetStartAddress(at);
  }
  SetRangeOfRecords(std::nullopt, count > 0
                                      ? std::optional(at + static_cast<std::int32_t>(count) - 1)
                                      : std::nullopt);
  image::ClearHistory();  // a load replaces what the changes were made to
  Placement.Stretch = FileStretch{0, read.FileSize, true};
  Placement.Known = read.State;
  Placement.KnownName = CurrentFileName;
  Placement.Style.reset();
}

}  // namespace

namespace {

// Settles what a save of the current file left behind (file_journal.h), saying so in `lines`;
// true when the load must stop there: an interrupted save a read-only load cannot settle.
bool SettledBeforeLoad(bool readOnly, std::vector<std::string>& lines) {
  if (CurrentFileName.empty()) {
    return false;
  }
  const JournalReport report = SettleJournals(CurrentFileName, readOnly);
  if (report.RolledBack) {
    lines.push_back("The last save of " + text::VisibleText(CurrentFileName) + " was interrupted.");
    lines.push_back("The file has been put back as it was before that save.");
  }
  lines.insert(lines.end(), report.Lines.begin(), report.Lines.end());
  return report.Interrupted || (readOnly && report.Unsettled);
}

// No file at the name: nothing is loaded, and the next save writes the range at the offset.
void LoadNoFile(bool program) {
  Placement.Stretch = FileStretch{Placement.Offset, 0, true};
  Placement.Known = CurrentFileName.empty() ? std::nullopt : std::optional(FileState{});
  Placement.KnownName = CurrentFileName;
  Placement.Style.reset();
  if (program) {
    StartNewProgramFile();
  } else {
    SetLoadAddress(std::nullopt);
  }
  image::KeepChangesOfMarks(FormatOf(CurrentFileName) != FileFormat::Raw);
}

// A raw file, from Placement.Offset on, into the image at the start address.
void LoadRawFile() {
  // Read into a scratch buffer first, so that a failed read leaves the image and range alone.
  const std::uint64_t space = kImageSize - Range.StartAddress;
  const FilePiece read = ReadFilePiece(CurrentFileName, Placement.Offset,
                                       static_cast<std::size_t>(std::min(space, Placement.Length)));
  const auto count = static_cast<std::int32_t>(read.Bytes.size());
  std::copy(read.Bytes.begin(), read.Bytes.end(), Image.Bytes.begin() + Range.StartAddress);
  // What the file held: a later save into a record file of another name writes these bytes.
  for (std::int32_t at = 0; at < count; ++at) {
    Image.Marks[static_cast<std::size_t>(Range.StartAddress + at)] = true;
  }
  const std::int32_t whole = count % kLineBytes == 0 ? count : (count & 0xFFF8) + kLineBytes;
  Range.EndLine = Range.StartLine + whole / kLineBytes - 1;
  image::ClearHistory();  // a load replaces what the changes were made to
  Placement.Stretch = FileStretch{Placement.Offset, read.Bytes.size(),
                                  Placement.Offset + read.Bytes.size() >= read.FileSize};
  Placement.Known = read.State;
  Placement.KnownName = CurrentFileName;
  Placement.Style.reset();
  SetLoadAddress(std::nullopt);
}

}  // namespace

LoadOutcome LoadFile(bool readOnly) {
  const bool program = FormatOf(CurrentFileName) == FileFormat::Prg;
  if (program) {
    CheckProgramOptions();
  }
  LoadOutcome outcome;
  std::vector<std::string> lines;
  outcome.Interrupted = SettledBeforeLoad(readOnly, lines);
  outcome.Notice = Joined(lines);
  if (outcome.Interrupted) {
    return outcome;
  }
  if (CurrentFileName.empty() || !IsFileOtherThanFolder(CurrentFileName)) {
    LoadNoFile(program);
    return outcome;
  }
  if (program) {
    LoadProgramFile();
  } else if (const FileFormat format = FormatOf(CurrentFileName); records::IsRecordFormat(format)) {
    lines = LoadRecordFile(format);
    SetLoadAddress(std::nullopt);
    if (!lines.empty()) {
      outcome.Notice += (outcome.Notice.empty() ? "" : "\n") + Joined(lines);
    }
  } else {
    LoadRawFile();
  }
  MarkImageSaved();
  return outcome;
}

namespace {

// The held bytes of the range: those a save into a record file writes.
records::MarkedBytes MarkedInRange() {
  if (Range.EndLine < Range.StartLine) {
    return {};
  }
  const auto first = static_cast<std::size_t>(Range.StartAddress);
  const auto count = static_cast<std::size_t>(image::RangeBytes().size());
  const records::MarkedBytes all = ~records::MarkedBytes{};
  const records::MarkedBytes range = (all >> (all.size() - count)) << first;
  return Image.Marks & range;
}

// The text a save of the range writes into `format`'s records: the stretch of the current file
// it replaces, and the checksum of that stretch as it was read, for the question whether the
// file changed since it was loaded.
struct RecordSave {
  FileStretch Stretch{0, 0, true};
  std::string Text;
  std::uint64_t FormerSum = 0;
  bool ChangedSinceKnown = false;
};

RecordSave PlanRecordSave(FileFormat format, const std::optional<FileState>& expected) {
  RecordSave save;
  save.FormerSum = StretchChecksum({});
  const records::MarkedBytes held = MarkedInRange();
  struct stat info {};
  if (::stat(CurrentFileName.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size == 0) {
    // A new, missing or empty file: written whole, afresh.
    save.Text = RecordFileOfRange(format, held);
    return save;
  }
  const auto count = static_cast<std::int32_t>(image::RangeBytes().size());
  if (count == 0) {
    // An empty range writes nothing: the file stays as it is.
    const FileState read = ReadInPieces([](std::string_view) {});
    save.ChangedSinceKnown = expected && read.StretchSum != expected->StretchSum;
    save.Stretch = FileStretch{0, 0, false};
    return save;
  }
  records::RecordRewrite rewrite(
      format, Placement.Offset, Image.Bytes, held, Range.StartAddress,
      Range.StartAddress + count - 1,
      Placement.KnownName == CurrentFileName ? Placement.Style : std::nullopt);
  // The text after the last change is read back when a later line changes, not kept.
  rewrite.ReadBackWith([](std::uint64_t offset, std::size_t length) {
    const FilePiece piece = ReadFilePiece(CurrentFileName, offset, length);
    return std::string(piece.Bytes.begin(), piece.Bytes.end());
  });
  FileState read;
  try {
    const FileState surveyed = ReadInPieces([&](std::string_view piece) { rewrite.Survey(piece); });
    rewrite.FinishSurvey();
    PauseAt("records");
    read = ReadInPieces([&](std::string_view piece) { rewrite.Feed(piece); });
    rewrite.Finish();
    if (read.StretchSum != surveyed.StretchSum || read.Size != surveyed.Size) {
      throw records::RecordError(0, "the file changed while it was read");
    }
  } catch (const records::RecordError& recordError) {
    throw RecordFileError(recordError);
  }
  save.ChangedSinceKnown = expected && read.StretchSum != expected->StretchSum;
  save.Stretch = FileStretch{rewrite.ReplaceOffset(), rewrite.ReplaceLength(), false};
  save.Text = rewrite.NewText();
  const FilePiece former = ReadFilePiece(CurrentFileName, save.Stretch.Offset, save.Stretch.Length);
  save.FormerSum = StretchChecksum(former.Bytes);
  return save;
}

// SaveRange for a record file.
bool SaveRecords(FileFormat format, const SaveQuestion& ask, const SaveProgress& progress,
                 std::vector<std::string>* notes) {
  const std::optional<FileState> known =
      Placement.KnownName == CurrentFileName ? Placement.Known : std::nullopt;
  const RecordSave save =
      PlanRecordSave(format, known && known->Exists ? known : std::optional<FileState>());

  SaveRequest request;
  request.Stretch = save.Stretch;
  request.Bytes =
      std::span(reinterpret_cast<const std::uint8_t*>(save.Text.data()), save.Text.size());
  // The save compares the stretch it replaces; the whole file was compared while it was read.
  if (known && known->Exists) {
    request.Expected = *known;
    request.Expected->StretchSum = save.ChangedSinceKnown ? ~save.FormerSum : save.FormerSum;
  } else {
    request.Expected = known;
  }
  // Records before the end record move with any change of length: that is no news to the user.
  request.Ask = [&ask](const SaveConcern& concern) {
    return concern.What == SaveConcern::MovesRest || !ask || ask(concern);
  };
  request.Progress = progress;
  const SaveResult result = ReplaceStretch(CurrentFileName, request);
  if (notes != nullptr) {
    *notes = result.Notes;
  }
  if (!result.Saved) {
    return false;
  }
  // The file as the save left it, checksummed whole for the next save's question.
  const FileState now = ReadInPieces([](std::string_view) {});
  Placement.Stretch = FileStretch{0, now.Size, true};
  Placement.Known = now;
  Placement.KnownName = CurrentFileName;
  MarkImageSaved();
  return true;
}

// The bytes a raw save writes: the range, whole lines, unless the stretch it replaces ends
// inside the range's last line with more of the file after it, which only --length does (the
// 64 KiB space ends on a line), and no byte past that end was typed: then the loaded bytes
// alone, so that the file keeps its length and nothing after the stretch moves.
std::span<const std::uint8_t> RawBytesToSave() {
  const std::span<const std::uint8_t> range = image::RangeBytes();
  const FileStretch& loaded = Placement.Stretch;
  if (loaded.ToEnd || loaded.Length >= range.size() ||
      range.size() - loaded.Length >= static_cast<std::size_t>(kLineBytes)) {
    return range;
  }
  const auto cut = static_cast<std::size_t>(Range.StartAddress) + loaded.Length;
  for (std::size_t at = cut; at < static_cast<std::size_t>(Range.StartAddress) + range.size();
       ++at) {
    if (Image.Marks[at]) {
      return range;
    }
  }
  return range.first(static_cast<std::size_t>(loaded.Length));
}

// Where a .prg's bytes stand in the image: from its load address (less the shift of the New MLX
// type-in mode) to FFFF as the file counts, `Last`.
struct ProgramSpan {
  std::uint16_t Load = 0;
  std::int32_t From = 0;
  std::int32_t Last = 0;
};
ProgramSpan ProgramSpanOfImage() {
  ProgramSpan span;
  span.Load = Placement.LoadAddress.value_or(static_cast<std::uint16_t>(Range.StartAddress));
  const std::int32_t shift = Placement.LoadAddress ? Placement.AddressShift : 0;
  span.From = span.Load - shift;
  span.Last = static_cast<std::int32_t>(kLastAddress) - shift;
  return span;
}

// The image's held bytes from `from` on, up to `last`, after the load address `load`: a .prg.
std::vector<std::uint8_t> ProgramFileOf(std::uint16_t load, std::int32_t from, std::int32_t last) {
  std::int32_t to = from - 1;
  for (std::int32_t at = last; at >= from; --at) {
    if (Image.Marks[static_cast<std::size_t>(at)]) {
      to = at;
      break;
    }
  }
  const auto count = static_cast<std::size_t>(std::max(to - from + 1, 0));
  std::vector<std::uint8_t> file(kProgramHeader + count);
  const auto header = records::ProgramHeader(load);
  std::copy(header.begin(), header.end(), file.begin());
  std::copy_n(Image.Bytes.begin() + from, count, file.begin() + kProgramHeader);
  return file;
}

// What a .prg save writes: the load address, then the bytes from there to the last byte the file
// held or that was typed, so that a save with nothing changed leaves the file as it was, whatever
// its length, and a range grown past the program (T, Tab, /A) adds no zeros to it.
std::vector<std::uint8_t> ProgramFileOfRange() {
  const ProgramSpan span = ProgramSpanOfImage();
  return ProgramFileOf(span.Load, span.From, span.Last);
}

// Why the save of a .prg cannot hold what was typed: bytes below its load address (typed there,
// or moved there by Delete) or past FFFF. Empty when it can.
std::string ProgramSaveProblem() {
  const ProgramSpan span = ProgramSpanOfImage();
  const std::int32_t shift = span.Load - span.From;
  for (std::int32_t at = 0; at < kImageSize; ++at) {
    if (!Image.Marks[static_cast<std::size_t>(at)] || (at >= span.From && at <= span.Last)) {
      continue;
    }
    const bool below = at < span.From;
    std::int32_t count = 0;
    for (std::int32_t next = at; next < (below ? span.From : kImageSize); ++next) {
      count += Image.Marks[static_cast<std::size_t>(next)] ? 1 : 0;
    }
    return "Not saved: " + std::to_string(count) + (count == 1 ? " byte from " : " bytes from ") +
           text::HexDigits(static_cast<std::uint32_t>(at + shift), 4) +
           (below ? " lies below the load address " + text::HexDigits(span.Load, 4)
                  : " lies past FFFF") +
           ", where a .prg holds none. Undo it (U), or delete it.";
  }
  return "";
}

// A rescue copy holds every byte typed: from the lowest held byte, below the load address too.
std::vector<std::uint8_t> ProgramRescueOfRange() {
  const ProgramSpan span = ProgramSpanOfImage();
  std::int32_t from = span.From;
  for (std::int32_t at = 0; at < span.From; ++at) {
    if (Image.Marks[static_cast<std::size_t>(at)]) {
      from = at;
      break;
    }
  }
  return ProgramFileOf(static_cast<std::uint16_t>(span.Load - (span.From - from)), from, span.Last);
}

}  // namespace

bool SaveRange(const SaveQuestion& ask, const SaveProgress& progress,
               std::vector<std::string>* notes) {
  const FileFormat format = FormatOf(CurrentFileName);
  if (records::IsRecordFormat(format)) {
    return SaveRecords(format, ask, progress, notes);
  }
  std::vector<std::uint8_t> programFile;
  if (format == FileFormat::Prg) {
    if (const std::string problem = ProgramSaveProblem(); !problem.empty()) {
      throw FileError(FileErrorKind::NotSupported, problem);
    }
    programFile = ProgramFileOfRange();
  }
  const std::span<const std::uint8_t> bytes =
      format == FileFormat::Prg ? std::span<const std::uint8_t>(programFile) : RawBytesToSave();
  SaveRequest request;
  // A .prg is written whole, header and all, and compared whole with the file as loaded.
  request.Stretch =
      format == FileFormat::Prg ? FileStretch{0, kAsMuchAsFits, true} : Placement.Stretch;
  request.Bytes = bytes;
  request.Expected = Placement.KnownName == CurrentFileName ? Placement.Known : std::nullopt;
  request.Ask = ask;
  request.Progress = progress;
  const SaveResult result = ReplaceStretch(CurrentFileName, request);
  if (notes != nullptr) {
    *notes = result.Notes;
  }
  if (!result.Saved) {
    return false;
  }
  Placement.Stretch = result.Written;
  Placement.Known = result.Now;
  Placement.KnownName = CurrentFileName;
  if (format == FileFormat::Prg && !Placement.LoadAddress) {
    // Named at S, never loaded: the next save keeps the load address this one wrote.
    SetLoadAddress(static_cast<std::uint16_t>(programFile[0] | programFile[1] << 8));
  }
  MarkImageSaved();
  return true;
}

LoadOutcome LoadStartImage(const StartFile& start, bool readOnly) {
  Image = {};
  image::SetStartAddress(start.AddressText ? image::ParseAddressText(*start.AddressText, 0) : 0);
  CurrentFileName = start.Name;
  Placement = {};
  Placement.Offset = start.Offset;
  Placement.Length = start.Length;
  Placement.FormatOverride = start.Format;
  Placement.StartAddressGiven = start.AddressText.has_value();
  Placement.LinesFromLoadAddress = start.LinesFromLoadAddress;
  if (start.LoadAddress) {
    if (*start.LoadAddress > kLastAddress) {
      throw FileError(FileErrorKind::NotSupported,
                      "--address=" + text::HexDigits(*start.LoadAddress, 4) +
                          " is past FFFF, the last address a .prg file can load at.");
    }
    Placement.LoadAddress = static_cast<std::uint16_t>(*start.LoadAddress);
    Placement.LoadAddressGiven = true;
  }
  const LoadOutcome outcome = LoadFile(readOnly);
  MarkImageSaved();
  return outcome;
}

std::string WriteRescueOfRange() {
  const FileFormat format = FormatOf(CurrentFileName);
  if (format == FileFormat::Raw) {
    return WriteRescueCopy(CurrentFileName, image::RangeBytes());
  }
  if (format == FileFormat::Prg) {
    return WriteRescueCopy(CurrentFileName, ProgramRescueOfRange(), ".prg");
  }
  const std::string text = RecordFileOfRange(format, MarkedInRange());
  return WriteRescueCopy(CurrentFileName,
                         std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()),
                         format == FileFormat::IntelHex ? ".hex" : ".srec");
}

}  // namespace lbe::files
