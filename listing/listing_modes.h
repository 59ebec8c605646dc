#pragma once
// The command-line modes that end without taking over the terminal: --list prints the lines in
// use as the list view shows them, --check checks a typed listing and may write its bytes
// (--convert is convert_mode.h). None touches the console.

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "files/edited_file.h"
#include "listing/listing.h"
#include "records/record_file.h"

namespace lbe::listing {

// Loads the file `start` names as start-up does, writing nothing, and writes one line per 8
// bytes of the range in use to `out` ("0100 3E00D3FE21000011:A5"), and with `sumRowEvery` a row
// of column sums after every that many lines and after the last ("SUM  ...:total"). Errors go to
// `err` as "lbe: " and the message. Returns the exit status: 0, or 1 when the file cannot be
// read, a save of it was interrupted, or `out` cannot be written.
// In the New MLX style each line is "0801: 0B 08 0A 00 9E 32 33 30 2E", from a .prg's load
// address exactly, else from the range's start, and a last line short of 8 bytes is filled
// with 00 as the magazines printed it.
int ListMode(const files::StartFile& start, std::FILE* out, std::FILE* err,
             std::uint32_t sumRowEvery = 0, ListingStyle style = ListingStyle::Lbe);

// Checks the listing `listingName` line by line: each fault as one line "LISTING:LINE: message"
// on `err`, then "N lines, M faults" ("N lines, K sum rows, M faults" when it has sum rows). With
// `outputName` and no fault, writes the bytes there by the editor's safe save. Returns the exit
// status: 0 when every line checks out, 1 when a fault was found, 2 when the listing cannot be read
// or the output cannot be written.
// The bytes go out in the format `outputFormat` names, else the one the output's name says:
// raw as they are, Intel HEX or S-record at the addresses the listing gives them, .prg with the
// first line's address as its load address (status 2, nothing written, for a byte past FFFF).
// A listing most of whose lines fail as `style` reads them but check out in the other style gets
// one more line that says so.
int CheckMode(const std::string& listingName, const std::optional<std::string>& outputName,
              std::FILE* err, std::optional<records::FileFormat> outputFormat = std::nullopt,
              ListingStyle style = ListingStyle::Lbe);

}  // namespace lbe::listing
