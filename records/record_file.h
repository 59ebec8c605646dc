#pragma once
// Intel HEX and S-record files: the text formats that firmware for small machines is shipped
// in. Reading a whole file fed in pieces (every record checked, the data of one 64 KiB window
// kept), writing one afresh, and rewriting the part of an existing one that holds the window's
// addresses while keeping every other record to the byte. Pure: no files, no console.

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace lbe::records {

inline constexpr std::size_t kWindowSize = 0x10000;
using WindowBytes = std::span<std::uint8_t, kWindowSize>;
using ConstWindowBytes = std::span<const std::uint8_t, kWindowSize>;
// Which bytes of the window a record file holds (or, for a save, which are to be written).
using MarkedBytes = std::bitset<kWindowSize>;

// Prg: a Commodore program file, a 2-byte little-endian load address and the bytes from there
// on. It carries one address, not records: only Intel HEX and S-record are record files.
enum class FileFormat { Raw, IntelHex, SRecord, Prg };

inline bool IsRecordFormat(FileFormat format) {
  return format == FileFormat::IntelHex || format == FileFormat::SRecord;
}

// A .prg file: its 2-byte little-endian load address, then its bytes from there on, up to FFFF.
inline constexpr std::uint64_t kProgramHeaderSize = 2;
inline constexpr std::uint64_t kLastProgramAddress = 0xFFFF;
inline std::array<std::uint8_t, kProgramHeaderSize> ProgramHeader(std::uint64_t load) {
  return {static_cast<std::uint8_t>(load & 0xFF), static_cast<std::uint8_t>(load >> 8 & 0xFF)};
}

// By the name's suffix, in any case: .hex .ihx .ihex are Intel HEX; .s19 .s28 .s37 .srec .mot
// are S-record; .prg is a program file; anything else is raw.
FileFormat FormatOfName(std::string_view name);
// "raw", "ihex", "srec" or "prg" (as --format takes them); nullopt for anything else.
std::optional<FileFormat> FormatNamed(std::string_view word);

// A record file that does not parse: the 1-based line and what is wrong, in English
// ("checksum 3C typed, 3D computed").
class RecordError : public std::runtime_error {
 public:
  RecordError(std::uint64_t line, const std::string& what);
  std::uint64_t Line() const { return line_; }

 private:
  std::uint64_t line_;
};

// How the lines of a file end.
enum class LineEnd { Lf, CrLf, Cr };
std::string_view LineEndText(LineEnd end);

// How a file writes its records, so that a save writes new ones the same way.
struct RecordStyle {
  std::size_t BytesPerRecord = 16;  // the length of the file's longest data record
  bool LowerCase = false;           // hex digits in lower case
  LineEnd Ending = LineEnd::Lf;     // how its first line ends
  bool LowerLetter = false;         // S-record: the record letter is a lower-case 's'
  // S-record: the address width of the data records (2 = S1, 3 = S2, 4 = S3). Intel HEX: 2 for
  // none, 3 when the file uses extended segment addresses (type 02), 4 for extended linear
  // addresses (type 04). A write widens it when an address needs more.
  int AddressBytes = 2;

  bool operator==(const RecordStyle&) const = default;
};

// Reads a whole record file of `format` (not Raw) fed in pieces of any size, checking the
// length, type and checksum of every record and the records around it (record_walk.h). The
// data bytes whose file address A lies in [base, base + kWindowSize) go to bytes[A - base] and
// are marked in `marks`; the rest are checked and passed over, so memory stays flat whatever the
// file's length. Two records that give one window address different values are a fault naming
// both lines. Feed and Finish throw RecordError at the first fault; what was written to `bytes`
// and `marks` by then is to be thrown away by the caller.
class RecordReader {
 public:
  RecordReader(FileFormat format, std::uint64_t base, WindowBytes bytes, MarkedBytes& marks);
  ~RecordReader();
  RecordReader(const RecordReader&) = delete;
  RecordReader& operator=(const RecordReader&) = delete;

  void Feed(std::string_view chunk);
  void Finish();

  // The lowest and highest window addresses marked; nullopt when the window holds nothing.
  std::optional<std::int32_t> Lowest() const;
  std::optional<std::int32_t> Highest() const;
  RecordStyle Style() const;
  // After Finish: what the file lacks but loads without, one line each.
  std::vector<std::string> Notes() const;
  // The execution start address the file gives, if any.
  std::optional<std::uint64_t> StartAddress() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// A whole record file of `format` (not Raw): the bytes marked in `marks`, at file address
// base + their window address, in records of `style`, with the extended address records they
// need and the end record (S-record: after an empty S0 header). Throws RecordError (line 0)
// when a byte's address passes FFFFFFFF, which neither format can write.
std::string WriteRecordFile(FileFormat format, const RecordStyle& style, std::uint64_t base,
                            ConstWindowBytes bytes, const MarkedBytes& marks);
// The same for `bytes` of any length, all marked, from file address `address` on.
std::string WriteRecordBytes(FileFormat format, const RecordStyle& style, std::uint64_t address,
                             std::span<const std::uint8_t> bytes);

// A save into an existing record file of the bytes of window addresses from..to, fed the file's
// text twice in pieces of any size: first to Survey, then to Feed. Only what changed is
// written: a record whose bytes in the span stand as `bytes` and `marks` say is kept to the byte;
// one whose bytes changed is written again with its own address, length, type, case and line
// end; one that lost marked bytes is cut into the runs it keeps. Marked bytes that no record holds
// go in new records after the record that ends nearest below them, else before the lowest
// record, else before the records that end the file, in the style of that neighbour (`style`
// when given, the longest record the file has, the neighbour's type, case and line end), with
// the extended address records they need and the file's address state set back for the data
// records after them. A count record (S5/S6) is made to agree; the end record, the header, the
// start address and everything outside the span are kept to the byte, and a save of what the
// file already says changes nothing. Throws RecordError when the text does not parse or the
// two readings differ. The text read after the last line that changes may yet belong to the
// stretch, if a later line changes: it is kept until then, unless ReadBackWith gave a way to
// read it back from the file.
class RecordRewrite {
 public:
  RecordRewrite(FileFormat format, std::uint64_t base, ConstWindowBytes bytes,
                const MarkedBytes& marks, std::int32_t from, std::int32_t to,
                std::optional<RecordStyle> style = std::nullopt);
  ~RecordRewrite();
  RecordRewrite(const RecordRewrite&) = delete;
  RecordRewrite& operator=(const RecordRewrite&) = delete;

  void Survey(std::string_view chunk);
  void FinishSurvey();
  void Feed(std::string_view chunk);
  void Finish();

  // Called before the first Feed: `read(offset, length)` returns that much of the text being
  // fed from `offset` on. The rewrite then keeps at most 64 KiB of the text after the last
  // line that changed and reads the rest back when a later line changes, so that its memory
  // stays flat whatever follows the window's records. A read that returns another length
  // than asked throws RecordError ("the file changed while it was read").
  void ReadBackWith(std::function<std::string(std::uint64_t offset, std::size_t length)> read);

  // After Finish: the stretch of the old text to replace, and the text to put there. The
  // stretch runs from the first line that changes to the end of the last, so that a patch near
  // the start of a long file does not hold the whole file in memory; it is empty (and the text
  // too) when the file already says what the save would write.
  std::uint64_t ReplaceOffset() const;
  std::uint64_t ReplaceLength() const;
  const std::string& NewText() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace lbe::records
