// The listing check on any text: the input is the listing; its last bytes (FuzzedDataProvider
// takes integers from the end) also give the sizes of the pieces it is fed in.
//
// Checked: the same faults, line count and bytes whether the listing comes in one piece or in
// the pieces given (a line end or a CR LF cut across pieces is still one); a fault count that
// matches the reports; with no fault, 8 bytes kept per line; no fault text longer than a line
// of the terminal or holding a control character; every line that parses as good reads back
// the same when its address and bytes are written again in the --list form with their sum.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "listing/listing.h"

namespace lbe::fuzzing {
namespace {

using listing::ListingCheck;
using listing::ListingFault;
using listing::ListingLine;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "listing_fuzz: %s\n", what);
  std::abort();
}

struct Outcome {
  std::vector<std::string> faults;
  std::uint64_t lines = 0;
  std::vector<std::uint8_t> bytes;
};

Outcome Check(std::string_view listing, const std::vector<std::size_t>& pieces) {
  Outcome outcome;
  ListingCheck check(true, [&](const ListingFault& fault) {
    outcome.faults.push_back(std::to_string(fault.LineNumber) + ":" + fault.Text);
  });
  std::size_t at = 0;
  for (const std::size_t piece : pieces) {
    check.Feed(listing.substr(at, piece));
    at += std::min(piece, listing.size() - at);
  }
  check.Feed(listing.substr(at));
  check.Finish();
  if (check.Faults() != outcome.faults.size()) {
    Fail("the fault count is not the number of faults reported");
  }
  if (check.Faults() == 0 && check.Bytes().size() != check.Lines() * 8) {
    Fail("without faults, not 8 bytes kept per line");
  }
  if (check.Faults() > 0 && !check.Bytes().empty()) {
    Fail("bytes kept after a fault");
  }
  for (const std::string& fault : outcome.faults) {
    for (const char c : fault) {
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
        Fail("a control character in a fault text");
      }
    }
    if (fault.size() > 100) {
      Fail("a fault text longer than a terminal line");
    }
  }
  outcome.lines = check.Lines();
  outcome.bytes = check.Bytes();
  return outcome;
}

void CheckLinesReadBack(std::string_view listing) {
  while (!listing.empty()) {
    const std::size_t end = listing.find_first_of("\r\n");
    const std::string_view text = listing.substr(0, end);
    listing.remove_prefix(end == std::string_view::npos ? listing.size() : end + 1);
    const ListingLine line = listing::ParseListingLine(text);
    if (line.Skipped || !line.Fault.empty()) {
      continue;
    }
    if (!line.Address) {
      Fail("a good line without its address");
    }
    unsigned sum = 0;
    char digits[64];
    int used = std::snprintf(digits, sizeof digits, "%s ",
                             listing::ListingAddressText(*line.Address).c_str());
    for (const std::uint8_t byte : line.Bytes) {
      sum += byte;
      used += std::snprintf(digits + used, sizeof digits - static_cast<std::size_t>(used), "%.2X",
                            byte);
    }
    std::snprintf(digits + used, sizeof digits - static_cast<std::size_t>(used), ":%.2X",
                  sum & 0xFFu);
    const ListingLine again = listing::ParseListingLine(digits);
    if (!again.Fault.empty() || again.Address != line.Address || again.Bytes != line.Bytes) {
      Fail("a good line does not read back in the --list form");
    }
  }
}

}  // namespace
}  // namespace lbe::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace lbe::fuzzing;
  FuzzedDataProvider provider(data, size);
  std::vector<std::size_t> pieces;
  const int count = provider.ConsumeIntegralInRange(0, 8);
  for (int i = 0; i < count; ++i) {
    pieces.push_back(provider.ConsumeIntegralInRange<std::size_t>(0, 64));
  }
  const std::string listing = provider.ConsumeRemainingBytesAsString();

  const Outcome whole = Check(listing, {});
  const Outcome cut = Check(listing, pieces);
  if (cut.faults != whole.faults || cut.lines != whole.lines || cut.bytes != whole.bytes) {
    Fail("the outcome depends on where the listing was cut");
  }
  CheckLinesReadBack(listing);
  return 0;
}
