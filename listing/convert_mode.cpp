// ConvertMode: the input read in pieces, a record file walked twice (first for its addresses and
// how it writes its records, then for its bytes), the output put together in a file of its own
// and put in place whole.

#include "listing/convert_mode.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "files/file_journal.h"
#include "files/file_layer.h"
#include "files/new_file.h"
#include "files/plain_io.h"
#include "files/whole_file.h"
#include "image/address_text.h"
#include "listing/raw_placement.h"
#include "records/record_line.h"
#include "records/record_stream.h"
#include "records/record_walk.h"
#include "text/hex_text.h"
#include "text/visible_text.h"

namespace lbe::listing {

namespace {

using records::FileFormat;

// The input is read in pieces of this size.
constexpr std::size_t kPiece = std::size_t{256} << 10;
constexpr std::uint64_t kNoLimit = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kHighestRecordAddress = 0xFFFFFFFF;
// The longest raw output written from records: far more than any one memory they describe.
constexpr std::uint64_t kLongestRawOutput = std::uint64_t{256} << 20;

// Why a conversion stops: the exit status and the message.
struct Stop {
  int Status = 1;
  std::string Message;
};

void Report(std::FILE* err, std::string_view message) {
  std::fprintf(err, "lbe: %s\n", files::WithLineFeeds(message).c_str());
}

std::string Shown(const std::string& name) {
  return text::VisibleText(name);
}

std::span<const std::uint8_t> BytesOf(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// The input, open and locked while the conversion runs, read in pieces. A file that another
// program changes meanwhile stops the conversion before anything is written.
class Input {
 public:
  explicit Input(const std::string& name) : name_(name), file_(files::OpenForReading(name)) {
    if (::fstat(file_.Get(), &info_) != 0) {
      throw files::ReadError(errno);
    }
    buffer_.resize(kPiece);
  }

  const struct stat& Info() const { return info_; }
  std::uint64_t Size() const { return static_cast<std::uint64_t>(info_.st_size); }

  // Hands `feed` the bytes from `from` up to `to` in order, with the offset of each piece.
  template <typename Feed>
  void Read(std::uint64_t from, std::uint64_t to, Feed feed) {
    for (std::uint64_t at = from; at < to;) {
      const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, to - at));
      const bool read = files::MoveAll(count, [&](std::size_t done) {
        return ::pread(file_.Get(), buffer_.data() + done, count - done,
                       static_cast<off_t>(at + done));
      });
      if (!read && errno != 0) {
        throw files::ReadError(errno);
      }
      if (!read) {
        throw Changed();
      }
      feed(at, std::span<const std::uint8_t>(buffer_.data(), count));
      at += count;
    }
    struct stat now {};
    if (::fstat(file_.Get(), &now) != 0 || now.st_size != info_.st_size ||
        now.st_mtim.tv_sec != info_.st_mtim.tv_sec ||
        now.st_mtim.tv_nsec != info_.st_mtim.tv_nsec) {
      throw Changed();
    }
  }

  // Walks the whole file as a record file. A later walk that reads other text than the first
  // stops the conversion: a file rewritten with its length and time kept shows only there.
  void Walk(records::RecordWalk& walk) {
    files::Checksum sum;
    Read(0, Size(), [&](std::uint64_t, std::span<const std::uint8_t> piece) {
      sum.Add(piece.data(), piece.size());
      walk.Feed({reinterpret_cast<const char*>(piece.data()), piece.size()});
    });
    if (firstWalk_ && *firstWalk_ != sum.Value()) {
      throw Changed();
    }
    firstWalk_ = sum.Value();
    walk.Finish();
  }

  Stop Changed() const {
    return {1, Shown(name_) + ": the file changed while it was read; nothing was written"};
  }

 private:
  std::string name_;
  files::FileDescriptor file_;
  struct stat info_ {};
  std::vector<std::uint8_t> buffer_;
  std::optional<std::uint64_t> firstWalk_;  // the checksum of the text the first walk read
};

// What the first walk of a record input finds.
struct RecordSurvey {
  std::uint64_t BytesInFile = 0;
  // The lowest and highest address of a byte between From and To.
  std::optional<std::uint64_t> Lowest;
  std::uint64_t Highest = 0;
  records::RecordStyle Style;
  std::optional<std::uint64_t> Start;
  bool StartIsSegment = false;  // an Intel HEX type 03 record: CS:IP
  bool SegmentRecords = false;  // Intel HEX type 02
  bool LinearRecords = false;   // Intel HEX type 04
  std::vector<std::string> Notes;
};

// The part of the input that is converted. A record input: the bytes at addresses From to To,
// and the raw output starts at Origin. A raw input: Count bytes from file offset From, which go
// to addresses from Origin on.
struct Part {
  std::uint64_t From = 0;
  std::uint64_t To = kNoLimit;
  std::uint64_t Count = 0;
  std::uint64_t Origin = 0;
};

// The part of the data record `record` at `address` that lies between from and to: its first
// index and the count.
std::pair<std::size_t, std::size_t> Clipped(const records::Record& record, std::uint64_t address,
                                            std::uint64_t from, std::uint64_t to) {
  if (record.Length == 0 || address > to || address + record.Length - 1 < from) {
    return {0, 0};
  }
  const auto first = static_cast<std::size_t>(address < from ? from - address : 0);
  const auto last =
      static_cast<std::size_t>(std::min<std::uint64_t>(record.Length - 1, to - address));
  return {first, last + 1 - first};
}

RecordSurvey Survey(Input& input, FileFormat format, const Part& part) {
  RecordSurvey survey;
  records::RecordWalk walk(format, [&](const records::WalkedLine& line) {
    if (line.Parsed == nullptr) {
      return;
    }
    const records::Record& record = *line.Parsed;
    if (record.Kind == records::RecordKind::Data) {
      survey.BytesInFile += record.Length;
      const auto [first, count] = Clipped(record, line.Address, part.From, part.To);
      if (count > 0) {
        const std::uint64_t low = line.Address + first;
        survey.Lowest = std::min(survey.Lowest.value_or(low), low);
        survey.Highest = std::max(survey.Highest, low + count - 1);
      }
    } else if (record.Kind == records::RecordKind::ExtendedSegment) {
      survey.SegmentRecords = true;
    } else if (record.Kind == records::RecordKind::ExtendedLinear) {
      survey.LinearRecords = true;
    } else if (record.Kind == records::RecordKind::StartAddress) {
      survey.StartIsSegment = record.Type == '3';
    }
  });
  input.Walk(walk);
  survey.Style = walk.Style();
  survey.Start = walk.StartAddress();
  // An S-record end record always has an address; 0 is the one of a file that gives none.
  if (format == FileFormat::SRecord && survey.Start == 0) {
    survey.Start.reset();
  }
  if (input.Size() > 0) {
    survey.Notes = walk.Notes();
  }
  return survey;
}

// The line of the first data record before `line` that gives `address` a byte.
std::uint64_t EarlierLine(Input& input, FileFormat format, std::uint64_t address,
                          std::uint64_t line) {
  std::uint64_t found = 0;
  records::RecordWalk walk(format, [&](const records::WalkedLine& walked) {
    if (found == 0 && walked.Line.Number < line && walked.Parsed != nullptr &&
        walked.Parsed->Kind == records::RecordKind::Data && walked.Address <= address &&
        address - walked.Address < walked.Parsed->Length) {
      found = walked.Line.Number;
    }
  });
  input.Walk(walk);
  return found;
}

// The address /A gives: a line's, as the editor takes it.
std::optional<std::uint64_t> LineAddress(const files::StartFile& input) {
  if (!input.AddressText) {
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(image::ParseAddressText(*input.AddressText, 0) & 0xFFF8);
}

// The execution start address in a record output, and whether it is written as CS:IP.
struct StartAddress {
  std::optional<std::uint64_t> Value;
  bool IsSegment = false;
};

// `start` (CS:IP when `isSegment`) for an output of `format` that uses segment addresses or not:
// CS:IP only there, and then for any address up to FFFFF.
StartAddress StartFor(std::uint64_t start, bool isSegment, FileFormat format,
                      bool segmentAddresses) {
  if (format == FileFormat::IntelHex && segmentAddresses) {
    if (isSegment) {
      return {start, true};
    }
    if (start <= 0xFFFFF) {
      return {((start >> 4) & 0xF000) << 16 | (start & 0xFFFF), true};
    }
  }
  const std::uint64_t linear = isSegment ? ((start >> 16) << 4) + (start & 0xFFFF) : start;
  return {linear, false};
}

std::string RecordName(FileFormat format, int addressBytes) {
  return format == FileFormat::IntelHex ? "an Intel HEX record"
                                        : "an S" + std::to_string(addressBytes - 1) + " record";
}

// How the output writes its records: the input's look, the record length asked for or the input's
// own, the address width its addresses and start address need, and the start address.
records::StreamLayout LayoutOf(const Conversion& conversion, FileFormat inputFormat,
                               FileFormat outputFormat, const RecordSurvey* survey,
                               std::uint64_t highest) {
  records::StreamLayout layout;
  if (survey != nullptr) {
    layout.BytesPerRecord = survey->Style.BytesPerRecord;
    layout.LowerCase = survey->Style.LowerCase;
    layout.Ending = survey->Style.Ending;
    layout.LowerLetter = survey->Style.LowerLetter;
  }
  layout.SegmentAddresses = inputFormat == FileFormat::IntelHex && survey != nullptr &&
                            (survey->SegmentRecords || survey->StartIsSegment) &&
                            !survey->LinearRecords && highest <= 0xFFFFF;
  StartAddress start;
  if (conversion.StartAddress) {
    start = StartFor(*conversion.StartAddress, false, outputFormat, layout.SegmentAddresses);
  } else if (survey != nullptr && survey->Start) {
    start = StartFor(*survey->Start, survey->StartIsSegment, outputFormat, layout.SegmentAddresses);
  }
  layout.StartAddress = start.Value;
  layout.StartIsSegment = start.IsSegment;
  if (outputFormat == FileFormat::SRecord) {
    layout.AddressBytes =
        std::max(records::SWidthFor(highest), records::SWidthFor(start.Value.value_or(0)));
    if (inputFormat == FileFormat::SRecord && survey != nullptr) {
      layout.AddressBytes = std::max(layout.AddressBytes, survey->Style.AddressBytes);
    }
  }
  const std::size_t most = records::MostDataBytes(outputFormat, layout.AddressBytes);
  if (conversion.RecordLength) {
    if (*conversion.RecordLength > most) {
      throw Stop{2, "--record-length=" + std::to_string(*conversion.RecordLength) +
                        " is more than " + RecordName(outputFormat, layout.AddressBytes) +
                        " holds (" + std::to_string(most) + ")"};
    }
    layout.BytesPerRecord = *conversion.RecordLength;
  }
  layout.BytesPerRecord = std::min(layout.BytesPerRecord, most);
  return layout;
}

// Appends the text a record stream emits to the output file.
class TextOut {
 public:
  explicit TextOut(const files::OutputFile& file) : file_(file) {}
  void operator()(std::string_view text) {
    file_.WriteAt(at_, BytesOf(text));
    at_ += text.size();
  }

 private:
  const files::OutputFile& file_;
  std::uint64_t at_ = 0;
};

// Why the options cannot be followed with these formats; empty when they can.
std::string OptionsProblem(const Conversion& conversion, FileFormat inputFormat,
                           FileFormat outputFormat) {
  if (conversion.Address && records::IsRecordFormat(inputFormat)) {
    return "--address goes with a raw input; the records of " + Shown(conversion.Input.Name) +
           " give their own addresses";
  }
  if (inputFormat == FileFormat::Prg) {
    if (conversion.Address || conversion.Input.AddressText) {
      return std::string(conversion.Address ? "--address" : "/A") + " goes with a raw input; " +
             Shown(conversion.Input.Name) + " gives its load address in its header";
    }
    if (!conversion.WholeFile) {
      return "--offset and --length go with a raw or record input; " +
             Shown(conversion.Input.Name) + ", a .prg file, is converted whole";
    }
  }
  if (!records::IsRecordFormat(outputFormat)) {
    const bool raw = outputFormat == FileFormat::Raw;
    for (const auto& [given, name] :
         {std::pair{raw && conversion.Address.has_value(), "--address"},
          std::pair{conversion.RecordLength.has_value(), "--record-length"},
          std::pair{conversion.StartAddress.has_value(), "--start-address"}}) {
      if (given) {
        return std::string(name) + " goes with a record output; " + Shown(conversion.OutputName) +
               (raw ? " is raw" : " is a .prg file");
      }
    }
  }
  return "";
}

using records::kLastProgramAddress;
using records::kProgramHeaderSize;
using records::ProgramHeader;

// True when the output's name leads to the file open as the input.
bool OutputIsInput(const Input& input, const std::string& outputName) {
  struct stat output {};
  return ::stat(outputName.c_str(), &output) == 0 && output.st_dev == input.Info().st_dev &&
         output.st_ino == input.Info().st_ino;
}

// Stops when an interrupted save of the input waits to be put back: its bytes may be half old,
// half new.
void CheckJournals(const std::string& name, std::FILE* err) {
  const files::JournalReport report = files::SettleJournals(name, true);
  for (const std::string& line : report.Lines) {
    Report(err, line);
  }
  if (report.Interrupted || report.Unsettled) {
    throw Stop{1, "nothing converted"};
  }
}

class Converter {
 public:
  Converter(const Conversion& conversion, std::FILE* err, Input& input)
      : conversion_(conversion),
        err_(err),
        input_(input),
        inputFormat_(records::FormatOfName(conversion.Input.Name)),
        outputFormat_(
            conversion.OutputFormat.value_or(records::FormatOfName(conversion.OutputName))) {}

  int Run() {
    if (inputFormat_ == FileFormat::Raw) {
      return FromRaw();
    }
    if (inputFormat_ == FileFormat::Prg) {
      return FromProgram();
    }
    return FromRecords();
  }

 private:
  int FromRaw() {
    const Conversion& c = conversion_;
    const std::uint64_t lineAddress = LineAddress(c.Input).value_or(0);
    Part part;
    part.From = c.WholeFile ? 0 : c.Input.Offset;
    const std::uint64_t available = input_.Size() > part.From ? input_.Size() - part.From : 0;
    part.Origin = c.Address.value_or(lineAddress);
    // A window: no more than fit below the end of the 64 KiB its first address lies in.
    part.Count = c.WholeFile
                     ? available
                     : std::min({available, c.Input.Length, 0x10000 - part.Origin % 0x10000});
    if (part.Count == 0 && input_.Size() > 0) {
      throw Stop{1, Shown(c.Input.Name) + ": no bytes at offset " + text::HexDigits(part.From, 4) +
                        (c.Input.Length == 0 ? " in a length of 0" : " or after") +
                        "; nothing written to " + Shown(c.OutputName)};
    }
    return FromBytes(part);
  }

  // A .prg input: its bytes, after the header, from its load address on.
  int FromProgram() {
    const Conversion& c = conversion_;
    if (input_.Size() < kProgramHeaderSize) {
      throw Stop{1, Shown(c.Input.Name) + ": it holds " + std::to_string(input_.Size()) +
                        (input_.Size() == 1 ? " byte" : " bytes") +
                        ", and a .prg file starts with a 2-byte load address; nothing written "
                        "to " +
                        Shown(c.OutputName)};
    }
    Part part;
    input_.Read(0, kProgramHeaderSize, [&](std::uint64_t, std::span<const std::uint8_t> header) {
      part.Origin = header[0] | std::uint64_t{header[1]} << 8;
    });
    part.From = kProgramHeaderSize;
    part.Count = input_.Size() - kProgramHeaderSize;
    if (part.Count > 0 && part.Origin + part.Count - 1 > kLastProgramAddress) {
      throw Stop{1, Shown(c.Input.Name) + ": its " + std::to_string(part.Count) +
                        " bytes from load address " + text::HexDigits(part.Origin, 4) + " run to " +
                        text::HexDigits(part.Origin + part.Count - 1, 4) +
                        ", past FFFF; nothing written to " + Shown(c.OutputName)};
    }
    const int status = FromBytes(part);
    if (outputFormat_ == FileFormat::Raw && part.Count > 0) {
      Report(err_, Shown(c.OutputName) + " starts at address " + text::HexDigits(part.Origin, 4));
    }
    return status;
  }

  // Stops when a .prg output would hold a byte past FFFF, which its header cannot reach.
  void CheckProgramOutput(std::uint64_t highest) const {
    if (outputFormat_ == FileFormat::Prg && highest > kLastProgramAddress) {
      throw Stop{1, Shown(conversion_.Input.Name) + ": its last byte would go to address " +
                        text::HexDigits(highest, 4) + ", past FFFF, which a .prg file cannot " +
                        "hold; nothing written to " + Shown(conversion_.OutputName)};
    }
  }

  // The output of a run of bytes of the input: `part.Count` from `part.From`, which go to
  // addresses from `part.Origin` on.
  int FromBytes(const Part& part) {
    const Conversion& c = conversion_;
    const std::uint64_t highest = part.Origin + (part.Count > 0 ? part.Count - 1 : 0);
    if (!records::IsRecordFormat(outputFormat_)) {
      CheckProgramOutput(highest);
      const std::uint64_t header = outputFormat_ == FileFormat::Prg ? kProgramHeaderSize : 0;
      files::WriteWholeFile(c.OutputName, [&](const files::OutputFile& out) {
        if (header > 0) {
          out.WriteAt(0, ProgramHeader(part.Origin));
        }
        input_.Read(part.From, part.From + part.Count,
                    [&](std::uint64_t at, std::span<const std::uint8_t> piece) {
                      out.WriteAt(header + at - part.From, piece);
                    });
      });
      return 0;
    }
    if (highest > kHighestRecordAddress) {
      throw Stop{1, Shown(c.Input.Name) + ": its last byte would go to address " +
                        text::HexDigits(highest, 8) + ", past FFFFFFFF, which no record " +
                        "file can hold; nothing written to " + Shown(c.OutputName)};
    }
    const records::StreamLayout layout = LayoutOf(c, inputFormat_, outputFormat_, nullptr, highest);
    files::WriteWholeFile(c.OutputName, [&](const files::OutputFile& out) {
      TextOut text(out);
      records::RecordStream stream(outputFormat_, layout, std::ref(text));
      input_.Read(part.From, part.From + part.Count,
                  [&](std::uint64_t at, std::span<const std::uint8_t> piece) {
                    stream.Add(part.Origin + (at - part.From), piece);
                  });
      stream.Finish();
    });
    return 0;
  }

  int FromRecords() {
    const Conversion& c = conversion_;
    const std::optional<std::uint64_t> lineAddress = LineAddress(c.Input);
    Part part;
    if (c.WholeFile) {
      part.From = lineAddress.value_or(0);
    } else {
      part.From = c.Input.Offset + lineAddress.value_or(0);
      part.To = c.Input.Offset + records::kWindowSize - 1;
    }
    const RecordSurvey survey = Survey(input_, inputFormat_, part);
    for (const std::string& note : survey.Notes) {
      Report(err_, Shown(c.Input.Name) + ": " + note);
    }
    if (!survey.Lowest && survey.BytesInFile > 0) {
      // Most likely a file for another part of the address space: --offset picks it.
      throw Stop{1, Shown(c.Input.Name) + ": no bytes at addresses " +
                        text::HexDigits(part.From, 4) + " to " +
                        text::HexDigits(std::min(part.To, kHighestRecordAddress), 4) +
                        "; nothing written to " + Shown(c.OutputName)};
    }
    part.Origin = lineAddress ? part.From : survey.Lowest.value_or(0);
    CheckProgramOutput(survey.Lowest ? survey.Highest : part.Origin);
    if (outputFormat_ == FileFormat::Raw && survey.Lowest &&
        survey.Highest - part.Origin >= kLongestRawOutput) {
      // Most likely bytes for two memories in one file, such as flash and a boot vector.
      throw Stop{1, Shown(c.Input.Name) + ": its bytes run from " +
                        text::HexDigits(part.Origin, 4) + " to " +
                        text::HexDigits(survey.Highest, 4) + ", more than the " +
                        std::to_string(kLongestRawOutput >> 20) +
                        " MiB a raw output may hold; nothing written to " + Shown(c.OutputName)};
    }
    if (!records::IsRecordFormat(outputFormat_)) {
      return ToRaw(part, survey);
    }
    const records::StreamLayout layout =
        LayoutOf(c, inputFormat_, outputFormat_, &survey, survey.Lowest ? survey.Highest : 0);
    files::WriteWholeFile(c.OutputName, [&](const files::OutputFile& out) {
      TextOut text(out);
      records::RecordStream stream(outputFormat_, layout, std::ref(text));
      records::RecordWalk walk(inputFormat_, [&](const records::WalkedLine& line) {
        if (line.Parsed != nullptr && line.Parsed->Kind == records::RecordKind::Data) {
          const auto [first, count] = Clipped(*line.Parsed, line.Address, part.From, part.To);
          stream.Add(line.Address + first, {line.Parsed->Data.data() + first, count});
          stream.EndRecord();
        }
      });
      input_.Walk(walk);
      stream.Finish();
    });
    return 0;
  }

  void WriteRaw(const Part& part, const RecordSurvey& survey) {
    const Conversion& c = conversion_;
    const std::uint64_t length = survey.Lowest ? survey.Highest - part.Origin + 1 : 0;
    const std::uint64_t header = outputFormat_ == FileFormat::Prg ? kProgramHeaderSize : 0;
    files::WriteWholeFile(c.OutputName, [&](const files::OutputFile& out) {
      if (header > 0) {
        out.WriteAt(0, ProgramHeader(part.Origin));
      }
      if (length == 0) {
        return;
      }
      const files::FileDescriptor scratch = files::OpenScratchFile(c.OutputName);
      RawPlacement placement(out, files::OutputFile(scratch.Get()), length, c.Fill, header);
      records::RecordWalk walk(inputFormat_, [&](const records::WalkedLine& line) {
        if (line.Parsed == nullptr || line.Parsed->Kind != records::RecordKind::Data) {
          return;
        }
        const auto [first, count] = Clipped(*line.Parsed, line.Address, part.From, part.To);
        const std::uint64_t address = line.Address + first;
        if (count > 0 && (address < part.Origin || address - part.Origin + count > length)) {
          throw input_.Changed();  // a byte the first reading did not find
        }
        if (auto conflict =
                placement.Put(address - part.Origin, {line.Parsed->Data.data() + first, count})) {
          conflict->Line = line.Line.Number;
          conflict->Offset += part.Origin;
          throw *conflict;
        }
      });
      input_.Walk(walk);
      placement.Finish();
    });
  }

  // A raw output (or a .prg, its header first) of the records from part.Origin on, or a stop
  // naming the two lines that give an address different values.
  int ToRaw(const Part& part, const RecordSurvey& survey) {
    std::optional<RawConflict> conflict;
    try {
      WriteRaw(part, survey);
    } catch (const RawConflict& found) {
      conflict = found;  // named once the output is gone
    }
    if (conflict) {
      const std::uint64_t earlier =
          EarlierLine(input_, inputFormat_, conflict->Offset, conflict->Line);
      throw records::RecordError(conflict->Line,
                                 "address " + text::HexDigits(conflict->Offset, 4) + " is given " +
                                     text::HexDigits(conflict->Given, 2) + " here and " +
                                     text::HexDigits(conflict->Held, 2) + " on line " +
                                     std::to_string(earlier));
    }
    if (survey.Lowest && outputFormat_ == FileFormat::Raw) {
      Report(err_, Shown(conversion_.OutputName) + " starts at address " +
                       text::HexDigits(part.Origin, 4));
    }
    return 0;
  }

  const Conversion& conversion_;
  std::FILE* err_;
  Input& input_;
  FileFormat inputFormat_;
  FileFormat outputFormat_;
};

int Convert(const Conversion& conversion, std::FILE* err) {
  const auto inputFormat = records::FormatOfName(conversion.Input.Name);
  const auto outputFormat =
      conversion.OutputFormat.value_or(records::FormatOfName(conversion.OutputName));
  if (std::string problem = OptionsProblem(conversion, inputFormat, outputFormat);
      !problem.empty()) {
    throw Stop{2, problem};
  }
  files::CheckPath(conversion.OutputName, false);
  files::CheckPath(conversion.Input.Name, true);
  CheckJournals(conversion.Input.Name, err);
  Input input(conversion.Input.Name);
  if (OutputIsInput(input, conversion.OutputName)) {
    throw Stop{2, "the output file is the input itself: " + Shown(conversion.Input.Name)};
  }
  try {
    return Converter(conversion, err, input).Run();
  } catch (const records::RecordError& error) {
    if (error.Line() == 0) {
      throw Stop{1, Shown(conversion.OutputName) + ": " + error.what()};
    }
    throw Stop{1, "Line " + std::to_string(error.Line()) + ": " + error.what() +
                      files::PathSuffix(conversion.Input.Name)};
  }
}

}  // namespace

int ConvertMode(const Conversion& conversion, std::FILE* err) {
  try {
    return Convert(conversion, err);
  } catch (const Stop& stop) {
    Report(err, stop.Message);
    return stop.Status;
  } catch (const files::FileError& error) {
    Report(err, error.what());
    return 1;
  }
}

}  // namespace lbe::listing
