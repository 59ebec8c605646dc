#pragma once
// The command-line modes that end without taking over the terminal: --list prints the lines in
// use as the list view shows them, --check checks a typed listing and may write its bytes.
// Both read `Options`; neither touches the console.

#include <cstdio>

namespace lbe::screens {

// Loads the file as start-up does and writes one line per 8 bytes of the range in use to
// `out` ("0100 3E00D3FE21000011:A5"). Errors go to `err` as "lbe: " and the message. Returns
// the exit status: 0, or 1 when the file cannot be read or `out` cannot be written.
int ListMode(std::FILE* out, std::FILE* err);

// Checks the listing named by Options.FileName line by line: each fault as one line
// "LISTING:LINE: message" on `err`, then "N lines, M faults". With Options.OutputName and no
// fault, writes the bytes there by the editor's safe save. Returns the exit status: 0 when
// every line checks out, 1 when a fault was found, 2 when the listing cannot be read or the
// output cannot be written.
int CheckMode(std::FILE* err);

}  // namespace lbe::screens
