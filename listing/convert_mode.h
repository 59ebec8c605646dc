#pragma once
// lbe --convert: a file in another format, without a terminal. Raw bytes, Intel HEX, S-record
// and .prg, each way; the whole file streamed in flat memory, or the 64 KiB window --offset or
// --length names. None touches the console.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "files/edited_file.h"
#include "records/record_file.h"

namespace lbe::listing {

// What --convert reads and writes.
struct Conversion {
  // The file to read, in the format its name says: its name, /A, --offset and --length.
  files::StartFile Input;
  // Without --offset and --length the whole file is converted; with either, the 64 KiB window
  // the editor would load.
  bool WholeFile = true;
  std::string OutputName;
  std::optional<records::FileFormat> OutputFormat;  // --format; else by the output's name
  std::uint8_t Fill = 0;  // --fill: what a raw output holds where the input held nothing
  // --address: where a raw input's first byte goes in a record output, exactly (/A is rounded
  // down to a line).
  std::optional<std::uint64_t> Address;
  // --record-length: data bytes a record of the output; by default the input's longest record,
  // 16 for a raw input.
  std::optional<std::size_t> RecordLength;
  // --start-address: the output's execution start address; by default the input's own.
  std::optional<std::uint64_t> StartAddress;
};

// Converts the input to the output. A raw input's bytes go out from --address, else from /A (a
// multiple of 8), else from 0; a record input's bytes keep their addresses, those below /A (from
// --offset on in a window) left out. A raw output holds every byte from the lowest one converted
// (or /A) to the highest, gaps filled with Fill, and standard error says which address it starts
// at; a record output holds the input's data records in their order, each cut to RecordLength
// bytes (a raw input's bytes in records of that length), with the extended address records they
// need and the start address. A .prg input's bytes stand at its load address, as a raw input's
// at --address; a .prg output is a raw one with its lowest address in front, and holds nothing
// past FFFF. Errors go to
// `err` as "lbe: " and the message (a record file's with its line).
//
// The output is never the input, and is written only once all of it is ready: a new one is linked
// in whole, one that is there is saved in place, journalled, as the editor saves. An input
// with bytes none of which lie in the window or range asked for writes nothing; an input with no
// bytes at all gives an empty output (a record file of its end record). Two records that give one
// address different values stop a conversion to raw, naming both lines.
//
// Returns 0; 1 when the input cannot be read, does not parse or has nothing in the window, or the
// output cannot be written; 2 when the options do not fit the files (the output is the input,
// --address with a record input, --record-length beyond what the output's records hold, a record
// option with a raw or .prg output, --address, /A, --offset or --length with a .prg input).
int ConvertMode(const Conversion& conversion, std::FILE* err);

}  // namespace lbe::listing
