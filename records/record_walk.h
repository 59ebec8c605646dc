#pragma once
// A record file walked line by line: every record parsed and checked against the file around it
// (the Intel HEX address records in effect, the count records, one start address, the end
// record and what may follow it), each line handed on with what it means. The reader of one
// window, the rewrite of a save and the whole-file conversion all walk a file this way.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "records/record_file.h"
#include "records/record_line.h"

namespace lbe::records {

// Where Intel HEX data offsets count from: what the last extended address record set.
struct AddressState {
  std::uint64_t Base = 0;
  int Type = 0;  // 0 before any extended address record, else 2 or 4
  std::uint64_t Value = 0;
  bool operator==(const AddressState&) const = default;
};

// One line as the walk hands it on.
struct WalkedLine {
  const TextLine& Line;
  // Null for a blank line and for the Ctrl-Z run that pads the end of a DOS or CP/M file.
  const Record* Parsed = nullptr;
  // A data record's first byte in the file's address space (Intel HEX: with its address state).
  std::uint64_t Address = 0;
  // The address state in effect before this line (Intel HEX): the one a data record is read in.
  AddressState State;
};

// The note a file without an end record loads with.
inline constexpr std::string_view kNoEndRecordNote =
    "no end record: the file may have been cut short";

class RecordWalk {
 public:
  RecordWalk(FileFormat format, std::function<void(const WalkedLine&)> onLine);
  RecordWalk(const RecordWalk&) = delete;
  RecordWalk& operator=(const RecordWalk&) = delete;

  // Throw RecordError at the first fault.
  void Feed(std::string_view chunk);
  void Finish();

  bool EndSeen() const { return endSeen_; }
  // After Finish: what the file lacks but loads without ("no end record: ...").
  std::vector<std::string> Notes() const;
  // How the file writes its records, as far as walked.
  RecordStyle Style() const;
  // The execution start address the file gives (Intel HEX 03/05, S-record end record), if any.
  std::optional<std::uint64_t> StartAddress() const { return start_; }
  std::uint64_t DataRecords() const { return dataRecords_; }
  // The lines handed on so far (a run of Ctrl-Z straight after the last record counts as one).
  std::uint64_t LinesSeen() const { return linesSeen_; }
  // The address state in effect after the lines walked so far.
  const AddressState& State() const { return state_; }

 private:
  void Take(const TextLine& line);
  // `line` as handed on; `number` its line in the file, for the messages.
  void Walk(const TextLine& line, std::uint64_t number);
  void Check(std::uint64_t number, const Record& record);

  FileFormat format_;
  std::function<void(const WalkedLine&)> onLine_;
  LineSplitter splitter_;
  AddressState state_;
  std::uint64_t dataRecords_ = 0;
  bool endSeen_ = false;
  bool paddingSeen_ = false;
  std::uint64_t startLine_ = 0;
  std::optional<std::uint64_t> start_;
  bool letterSeen_ = false;
  bool endingSeen_ = false;
  bool recordSeen_ = false;
  std::uint64_t linesSeen_ = 0;
  std::uint64_t shift_ = 0;  // 1 after a run of Ctrl-Z was cut from its record's line
  std::size_t longestData_ = 0;
  RecordStyle style_;
};

}  // namespace lbe::records
