#include "listing/listing_modes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "files/edited_file.h"
#include "files/file_layer.h"
#include "files/new_file.h"
#include "files/safe_open.h"
#include "files/whole_file.h"
#include "image/address_text.h"
#include "image/line_text.h"
#include "image/memory_image.h"
#include "listing/listing.h"
#include "records/record_file.h"
#include "records/record_line.h"
#include "records/record_stream.h"
#include "text/hex_text.h"
#include "text/visible_text.h"

namespace lbe::listing {

namespace {

constexpr std::size_t kReadChunk = 1 << 16;

void ReportError(std::FILE* err, std::string_view message) {
  std::fprintf(err, "lbe: %s\n", files::WithLineFeeds(message).c_str());
}

std::string Count(std::uint64_t count, std::string_view word) {
  return std::to_string(count) + " " + std::string(word) + (count == 1 ? "" : "s");
}

bool OutputPathUsable(const std::string& outputName, std::FILE* err) {
  try {
    files::CheckPath(outputName, false);
  } catch (const files::FileError& error) {
    ReportError(err, error.what());
    return false;
  }
  return true;
}

// True when `outputName` names the file open on `listingFd`, under whatever path.
bool OutputIsListing(int listingFd, const std::string& outputName) {
  struct stat listing {};
  struct stat output {};
  return ::fstat(listingFd, &listing) == 0 && ::stat(outputName.c_str(), &output) == 0 &&
         listing.st_dev == output.st_dev && listing.st_ino == output.st_ino;
}

// Feeds the whole listing to `check`, then finishes it. False, reported, on a read error or a
// UTF-16 listing.
bool StreamListing(int fd, const std::string& shownName, listing::ListingCheck& check,
                   std::FILE* err) {
  std::vector<char> buffer(kReadChunk);
  bool first = true;
  for (;;) {
    const ssize_t got = ::read(fd, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      ReportError(err, shownName + ": " + files::PlatformErrorText(errno));
      return false;
    }
    if (got == 0) {
      break;
    }
    const std::string_view chunk(buffer.data(), static_cast<std::size_t>(got));
    if (first && (chunk.starts_with("\xFF\xFE") || chunk.starts_with("\xFE\xFF"))) {
      ReportError(err, shownName + ": UTF-16 text; save the listing as ASCII or UTF-8");
      return false;
    }
    first = false;
    check.Feed(chunk);
  }
  check.Finish();
  return true;
}

// A text's bytes, for the file layer's writes.
std::span<const std::uint8_t> BytesOf(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// False, with the reason on `err`, when the output is a .prg (by `format`) whose load address,
// `first`, or last byte lies past FFFF, which its 2-byte header cannot reach.
bool ProgramFileFits(std::uint64_t first, std::uint64_t length, const std::string& outputName,
                     records::FileFormat format, std::FILE* err) {
  if (format != records::FileFormat::Prg) {
    return true;
  }
  const std::uint64_t last = first + std::max<std::uint64_t>(length, 1) - 1;
  if (last <= records::kLastProgramAddress) {
    return true;
  }
  ReportError(err, "the bytes run from " + text::HexDigits(first, 4) + " to " +
                       text::HexDigits(last, 4) + ", past FFFF, where a .prg file ends; nothing " +
                       "written to " + text::VisibleText(outputName));
  return false;
}

// The exit status when the `length` bytes of the checked listing are not to be written, said on
// `err`: 1 when it has faults, 2 when they do not fit the output's format; nullopt when they are.
std::optional<int> NotWritten(const ListingCheck& check, const std::string& outputName,
                              records::FileFormat format, std::uint64_t length, std::FILE* err) {
  if (check.Faults() > 0) {
    ReportError(err, "nothing written to " + text::VisibleText(outputName));
    return 1;
  }
  if (!ProgramFileFits(check.FirstAddress(), length, outputName, format, err)) {
    return 2;
  }
  return std::nullopt;
}

// Most lines fail but check out in the other form: it is the other form (a line of lbe's own
// passes as New MLX about one time in 255, so a few such lines prove nothing).
void NoteOtherStyle(const ListingCheck& check, ListingStyle style, std::FILE* err) {
  if (check.OtherStyleLines() * 2 > check.Lines()) {
    ReportError(
        err,
        std::to_string(check.OtherStyleLines()) + " of " + Count(check.Lines(), "line") +
            (style == ListingStyle::Lbe ? " check out as New MLX only: check it with --style=mlx"
                                        : " check out as lbe's own listing only: check it without "
                                          "--style=mlx"));
  }
}

// Prints the line and fault counts; `status` is the exit status.
int Summed(const ListingCheck& check, int status, std::FILE* err) {
  const std::string sumRows =
      check.SumRows() > 0 ? Count(check.SumRows(), "sum row") + ", " : std::string();
  std::fprintf(err, "%s, %s%s\n", Count(check.Lines(), "line").c_str(), sumRows.c_str(),
               Count(check.Faults(), "fault").c_str());
  return status;
}

// The bytes of a clean listing written into an output file in its format as they come: raw as
// they are, a .prg's after its 2-byte header (written last: the first line's address), Intel HEX
// and S-records at the listing's addresses, in records of 16 bytes. A byte no record can hold
// stops the records, not the check: Finish throws its RecordError.
class BytesOut {
 public:
  // `addressBytes`: the S-records' address width, which the highest address sets.
  BytesOut(const files::OutputFile& out, records::FileFormat format, const ListingCheck& check,
           int addressBytes)
      : out_(out), format_(format), check_(check) {
    if (records::IsRecordFormat(format)) {
      records::StreamLayout layout;
      layout.AddressBytes = addressBytes;
      stream_ =
          std::make_unique<records::RecordStream>(format, layout, [this](std::string_view text) {
            out_.WriteAt(textAt_, BytesOf(text));
            textAt_ += text.size();
          });
    }
  }

  BytesOut(const BytesOut&) = delete;
  BytesOut& operator=(const BytesOut&) = delete;

  void Add(std::span<const std::uint8_t> bytes) {
    if (!stream_) {
      out_.WriteAt(Header() + length_, bytes);
    } else if (!refused_) {
      try {
        stream_->Add(check_.FirstAddress() + length_, bytes);
      } catch (const records::RecordError& error) {
        refused_ = error;
      }
    }
    length_ += bytes.size();
  }

  std::uint64_t Length() const { return length_; }

  void Finish() {
    if (refused_) {
      throw *refused_;
    }
    if (stream_) {
      stream_->Finish();
    } else if (Header() > 0) {
      out_.WriteAt(0, records::ProgramHeader(check_.FirstAddress()));
    }
  }

 private:
  std::uint64_t Header() const {
    return format_ == records::FileFormat::Prg ? records::kProgramHeaderSize : 0;
  }

  const files::OutputFile& out_;
  records::FileFormat format_;
  const ListingCheck& check_;
  std::unique_ptr<records::RecordStream> stream_;  // none for raw and .prg
  std::optional<records::RecordError> refused_;
  std::uint64_t length_ = 0;  // bytes added
  std::uint64_t textAt_ = 0;
};

// What ended the writing of an output before it was complete: the exit status.
struct Unwritten {
  int Status = 2;
};

// Checks the listing open as `fd` with its bytes going straight into the output in `format` as the
// check hands them on, so that a new output's bytes are written once; a listing with faults
// leaves no output, and one that is there as it was. The exit status; nullopt, with nothing read
// and nothing said, when the output could not be begun (its error is then the write's to tell,
// after the check).
std::optional<int> CheckIntoOutput(int fd, const std::string& shownName, ListingCheck& check,
                                   const std::string& outputName, records::FileFormat format,
                                   ListingStyle style, std::FILE* err) {
  bool begun = false;
  bool checked = false;
  int status = 0;
  try {
    files::WriteWholeFile(outputName, [&](const files::OutputFile& out) {
      begun = true;
      BytesOut bytes(out, format, check, 2);
      check.SendBytesTo([&](std::span<const std::uint8_t> piece) { bytes.Add(piece); });
      if (!StreamListing(fd, shownName, check, err)) {
        throw Unwritten{2};
      }
      checked = true;
      NoteOtherStyle(check, style, err);
      if (const auto refused = NotWritten(check, outputName, format, bytes.Length(), err)) {
        throw Unwritten{*refused};
      }
      bytes.Finish();
    });
  } catch (const Unwritten& unwritten) {
    status = unwritten.Status;
  } catch (const files::FileError& error) {
    if (!begun) {
      return std::nullopt;
    }
    ReportError(err, error.what());
    status = 2;
  } catch (const records::RecordError& error) {
    ReportError(err, text::VisibleText(outputName) + ": " + error.what());
    status = 2;
  }
  // A listing that could not be read through, or bytes that could not be put down as it was
  // read, stops without the counts.
  return checked ? Summed(check, status, err) : 2;
}

// Checks the listing open as `fd` with its bytes held in a scratch file until it checks out, then
// writes them to the output in `format`: for S-records, whose address width the last line's
// address sets, and an output that could not be begun before the check. The exit status.
int CheckThenWrite(int fd, const std::string& shownName, ListingCheck& check,
                   const std::string& outputName, records::FileFormat format, ListingStyle style,
                   std::FILE* err) {
  std::optional<files::FileDescriptor> scratch;
  std::optional<files::OutputFile> held;
  std::uint64_t heldLength = 0;
  try {
    scratch.emplace(files::OpenScratchFile(outputName));
    held.emplace(scratch->Get());
    check.SendBytesTo([&](std::span<const std::uint8_t> bytes) {
      held->WriteAt(heldLength, bytes);
      heldLength += bytes.size();
    });
    if (!StreamListing(fd, shownName, check, err)) {
      return 2;
    }
  } catch (const files::FileError& error) {
    ReportError(err, error.what());
    return 2;
  }
  NoteOtherStyle(check, style, err);
  if (const auto refused = NotWritten(check, outputName, format, heldLength, err)) {
    return Summed(check, *refused, err);
  }
  int status = 0;
  try {
    files::WriteWholeFile(outputName, [&](const files::OutputFile& out) {
      const std::uint64_t highest =
          check.FirstAddress() + std::max<std::uint64_t>(heldLength, 1) - 1;
      BytesOut bytes(out, format, check, records::SWidthFor(highest));
      // The bytes come back from the scratch file a piece at a time, so memory stays flat.
      std::vector<std::uint8_t> piece;
      for (std::uint64_t at = 0; at < heldLength; at += piece.size()) {
        piece.resize(
            static_cast<std::size_t>(std::min<std::uint64_t>(kReadChunk, heldLength - at)));
        held->ReadAt(at, piece);
        bytes.Add(piece);
      }
      bytes.Finish();
    });
  } catch (const files::FileError& error) {
    ReportError(err, error.what());
    status = 2;
  } catch (const records::RecordError& error) {
    ReportError(err, text::VisibleText(outputName) + ": " + error.what());
    status = 2;
  }
  return Summed(check, status, err);
}

// Prints a load's notice, one "lbe: " line per line of it.
void ReportNotice(std::string_view notice, std::FILE* err) {
  while (!notice.empty()) {
    const std::size_t lineEnd = std::min(notice.find('\n'), notice.size());
    ReportError(err, notice.substr(0, lineEnd));
    notice.remove_prefix(std::min(lineEnd + 1, notice.size()));
  }
}

}  // namespace

namespace {

// The New MLX lines of the range: from a .prg's load address, else the range's start, to the
// last byte the file held or that was typed (a .prg), else the range's end.
std::string MlxLines() {
  std::int32_t from = image::Range.StartAddress;
  std::int32_t to = (image::Range.EndLine + 1) * image::kLineBytes;
  if (files::Placement.LoadAddress) {
    from = std::max<std::int32_t>(from, *files::Placement.LoadAddress);
    while (to > from && !image::Image.Marks[static_cast<std::size_t>(to - 1)]) {
      --to;
    }
  }
  std::string text;
  for (std::int32_t address = from; address < to; address += image::kLineBytes) {
    std::array<std::uint8_t, image::kLineBytes> bytes{};
    for (std::int32_t i = 0; i < image::kLineBytes && address + i < to; ++i) {
      bytes[static_cast<std::size_t>(i)] = image::Image[address + i];
    }
    text += image::HexText(address, 4) + ":";
    for (const std::uint8_t byte : bytes) {
      text += " " + image::HexText(byte, 2);
    }
    text += " " + image::HexText(image::MlxLineSum(static_cast<std::uint16_t>(address), bytes), 2) +
            "\n";
  }
  return text;
}

}  // namespace

int ListMode(const files::StartFile& start, std::FILE* out, std::FILE* err,
             std::uint32_t sumRowEvery, ListingStyle style) {
  files::LoadOutcome outcome;
  try {
    // Start-up passes over a missing file; a listing of nothing would hide the mistake.
    files::CheckPath(start.Name, true);
    outcome = files::LoadStartImage(start, true);
  } catch (const files::FileError& error) {
    ReportError(err, error.what());
    return 1;
  }
  // A listing writes nothing: a file whose last save was interrupted is left for the editor to
  // put back, and listing its half-written bytes would mislead.
  ReportNotice(outcome.Notice, err);
  if (outcome.Interrupted) {
    return 1;
  }
  std::string text = style == ListingStyle::NewMlx ? MlxLines() : std::string();
  std::array<std::uint8_t, image::kLineBytes> columnSums{};
  std::uint32_t blockLines = 0;
  for (std::int32_t line = image::Range.StartLine;
       style == ListingStyle::Lbe && line <= image::Range.EndLine; ++line) {
    const std::int32_t address = line * image::kLineBytes;
    text += image::LineDumpText(address);
    text += image::HexText(image::LineChecksum(address), 2);
    text += '\n';
    if (sumRowEvery == 0) {
      continue;
    }
    for (std::size_t i = 0; i < columnSums.size(); ++i) {
      columnSums[i] = static_cast<std::uint8_t>(
          columnSums[i] + image::Image[address + static_cast<std::int32_t>(i)]);
    }
    if (++blockLines == sumRowEvery || line == image::Range.EndLine) {
      // Under the lines' digits: "SUM" and two blanks take the place of the address and its.
      text += "SUM  ";
      for (const std::uint8_t sum : columnSums) {
        text += image::HexText(sum, 2);
      }
      text += ":" + image::HexText(image::LineSum(columnSums), 2) + "\n";
      columnSums.fill(0);
      blockLines = 0;
    }
  }
  if (std::fwrite(text.data(), 1, text.size(), out) != text.size() || std::fflush(out) != 0) {
    ReportError(err, std::string("standard output: ") + files::PlatformErrorText(errno));
    return 1;
  }
  return 0;
}

int CheckMode(const std::string& listingName, const std::optional<std::string>& outputName,
              std::FILE* err, std::optional<records::FileFormat> outputFormat, ListingStyle style) {
  const std::string& name = listingName;
  const std::string shownName = text::VisibleText(name);
  // Before the listing is read: a million lines checked for nothing would be a waste.
  if (outputName && !OutputPathUsable(*outputName, err)) {
    return 2;
  }
  // Checked and opened by the file layer's rules, and its message for a listing it cannot open;
  // not only a regular file: a listing may come through a pipe.
  files::OpenedName opened;
  try {
    files::CheckPath(name, true);
    std::string refusedLink;
    if (!files::OpenName(name, O_RDONLY | O_CLOEXEC | O_NOCTTY, 0, opened, &refusedLink)) {
      throw refusedLink.empty() ? files::OpenError(name, errno)
                                : files::RefusedLinkError(refusedLink);
    }
  } catch (const files::FileError& error) {
    ReportError(err, error.what());
    return 2;
  }
  const files::FileDescriptor file = std::move(opened.File);
  if (outputName && OutputIsListing(file.Get(), *outputName)) {
    // The bytes would replace the very text they were typed as.
    ReportError(err, "the output file is the listing itself: " + shownName);
    return 2;
  }
  listing::ListingCheck check(
      outputName.has_value(),
      [&](const listing::ListingFault& fault) {
        std::fprintf(err, "%s:%llu: %s\n", shownName.c_str(),
                     static_cast<unsigned long long>(fault.LineNumber), fault.Text.c_str());
      },
      style);
  if (!outputName) {
    if (!StreamListing(file.Get(), shownName, check, err)) {
      return 2;
    }
    NoteOtherStyle(check, style, err);
    return Summed(check, check.Faults() == 0 ? 0 : 1, err);
  }
  const records::FileFormat format = outputFormat.value_or(records::FormatOfName(*outputName));
  if (format != records::FileFormat::SRecord) {
    if (const auto status =
            CheckIntoOutput(file.Get(), shownName, check, *outputName, format, style, err)) {
      return *status;
    }
  }
  return CheckThenWrite(file.Get(), shownName, check, *outputName, format, style, err);
}

}  // namespace lbe::listing
