#pragma once
// One line of a record file: splitting fed text into lines, parsing a record with every check,
// and writing one. Shared by the reader, the writer and the rewrite of records/record_file.h.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "records/record_file.h"

namespace lbe::records {

enum class RecordKind { Data, End, ExtendedSegment, ExtendedLinear, StartAddress, Header, Count };

struct Record {
  RecordKind Kind = RecordKind::Data;
  char Type = '0';  // the type as typed: Intel '0'..'5', S-record '0'..'9'
  // Data: Intel HEX the 16-bit offset, S-record the whole address. Count: the count. Extended
  // address records: their 16-bit value. End and start records: the start address.
  std::uint64_t Address = 0;
  int AddressBytes = 2;                // S-record: 2, 3 or 4 by the type; Intel HEX: 2
  std::array<std::uint8_t, 255> Data;  // the first Length bytes
  std::size_t Length = 0;
  bool HasLetter = false;    // any hex digit A-F in the line
  bool LowerCase = false;    // its first such digit in lower case
  bool LowerLetter = false;  // S-record: the line starts with 's'
};

// A line as the splitter hands it: the text without its line end, where the line starts in the
// file, and the line end itself ("\n", "\r\n" or "" for a last line without one).
struct TextLine {
  std::string_view Text;
  std::uint64_t Start = 0;
  std::uint64_t Number = 0;  // 1-based
  std::string_view Ending;
};

// Cuts text fed in pieces of any size into lines. A partial line is kept until its end arrives;
// one longer than any record could be is an error at once, so memory stays bounded.
class LineSplitter {
 public:
  explicit LineSplitter(std::function<void(const TextLine&)> onLine) : onLine_(std::move(onLine)) {}
  void Feed(std::string_view chunk);
  void Finish();
  std::uint64_t LinesSeen() const { return number_; }

 private:
  void Deliver(std::string_view line, std::string_view ending);
  std::function<void(const TextLine&)> onLine_;
  std::string partial_;
  bool crPending_ = false;    // partial_ ended at a CR that may yet be followed by LF
  std::uint64_t offset_ = 0;  // where partial_ (or the next line) starts
  std::uint64_t number_ = 0;
};

// True for a line of nothing but Ctrl-Z: the end-of-file mark that DOS and CP/M tools end a text
// file with, or pad its last 128-byte sector with.
bool IsPadding(std::string_view text);

// Parses one non-empty line (without its line end), checking digits, length, type, checksum and
// that data stays within its address field. Throws RecordError naming `lineNumber`.
Record ParseRecord(FileFormat format, std::string_view text, std::uint64_t lineNumber);

// How a written record looks.
struct LineLook {
  bool LowerCase = false;
  std::string_view Ending = "\n";
  bool LowerLetter = false;  // S-record: 's'
};

// Appends one record: Intel HEX `type` 0..5 with a 16-bit `address`; S-record `type` 0..9 with
// the address width of its type. `length` must fit the one-byte count (255 data bytes for Intel
// HEX, less the address and checksum for S-record).
void AppendRecord(std::string& out, FileFormat format, int type, std::uint64_t address,
                  const std::uint8_t* data, std::size_t length, const LineLook& look);

// The S-record data type (1, 2, 3) and end type (9, 8, 7) of an address width of 2, 3 or 4.
int SDataType(int addressBytes);
int SEndType(int addressBytes);
// The address bytes an S-record address needs (2, 3 or 4).
int SWidthFor(std::uint64_t highestAddress);

}  // namespace lbe::records
