// The listing check on any text, and on listings as lbe --list --sums prints them with one typo
// made in them. The input's last bytes (FuzzedDataProvider takes integers from the end) give
// the sizes of the pieces the listing is fed in and which of the two it is; for a printed
// listing also its block length and its typo (a digit changed, two digits swapped, a line
// dropped, repeated or swapped with the next), the rest being its bytes.
//
// Checked: the same faults, line count and bytes whether the listing comes in one piece or in
// the pieces given (a line end or a CR LF cut across pieces is still one), in either listing form
// (lbe's own or New MLX, as the input says); a fault count that
// matches the reports; with no fault, 8 bytes kept per line; no fault text longer than three
// lines of the terminal or holding a control character; every line that parses as good reads
// back the same when its address and bytes are written again in the --list form with their
// sum (New MLX: in that form with its checksum). A printed listing checks out as printed and reads
// its bytes, never its sum rows; with a digit changed or two digits swapped it has a fault, and at
// most two (its line or sum row, and the sum row of its block).

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "image/line_text.h"
#include "listing/listing.h"

namespace lbe::fuzzing {
namespace {

using listing::ListingCheck;
using listing::ListingFault;
using listing::ListingLine;
using listing::ListingStyle;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "listing_fuzz: %s\n", what);
  std::abort();
}

struct Outcome {
  std::vector<std::string> faults;
  std::uint64_t lines = 0;
  std::vector<std::uint8_t> bytes;
};

Outcome Check(std::string_view listing, const std::vector<std::size_t>& pieces,
              ListingStyle style = ListingStyle::Lbe) {
  Outcome outcome;
  ListingCheck check(
      true,
      [&](const ListingFault& fault) {
        outcome.faults.push_back(std::to_string(fault.LineNumber) + ":" + fault.Text);
      },
      style);
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
    // The longest are a line's with three likely fixes, each naming two 8-digit addresses.
    if (fault.size() > 320) {
      Fail("a fault text longer than four terminal lines");
    }
  }
  outcome.lines = check.Lines();
  outcome.bytes = check.Bytes();
  return outcome;
}

// The checksum a line of `style` carries.
std::uint8_t SumOf(ListingStyle style, std::uint64_t address,
                   const std::array<std::uint8_t, 8>& bytes) {
  return style == ListingStyle::NewMlx
             ? image::MlxLineSum(static_cast<std::uint16_t>(address), bytes)
             : image::LineSum(bytes);
}

void CheckLinesReadBack(std::string_view listing, ListingStyle style) {
  while (!listing.empty()) {
    const std::size_t end = listing.find_first_of("\r\n");
    const std::string_view text = listing.substr(0, end);
    listing.remove_prefix(end == std::string_view::npos ? listing.size() : end + 1);
    const ListingLine line = listing::ParseListingLine(text, style);
    for (const image::TypoFix& fix : line.Fixes) {
      if (!line.SumRow && SumOf(style, line.Address.value_or(0), fix.Bytes) != fix.Checksum) {
        Fail("a likely fix that does not make its line check out");
      }
    }
    // Sum rows have no address: the check of their block reads them back.
    if (line.Skipped || line.SumRow || !line.Fault.empty()) {
      continue;
    }
    if (!line.Address) {
      Fail("a good line without its address");
    }
    const bool mlx = style == ListingStyle::NewMlx;
    char digits[64];
    int used = std::snprintf(digits, sizeof digits, mlx ? "%s:" : "%s ",
                             listing::ListingAddressText(*line.Address).c_str());
    for (const std::uint8_t byte : line.Bytes) {
      used += std::snprintf(digits + used, sizeof digits - static_cast<std::size_t>(used),
                            mlx ? " %.2X" : "%.2X", byte);
    }
    std::snprintf(digits + used, sizeof digits - static_cast<std::size_t>(used),
                  mlx ? " %.2X" : ":%.2X", SumOf(style, *line.Address, line.Bytes));
    const ListingLine again = listing::ParseListingLine(digits, style);
    if (!again.Fault.empty() || again.Address != line.Address || again.Bytes != line.Bytes) {
      Fail("a good line does not read back in the --list form");
    }
  }
}

// The bytes as lbe --list prints them from address 0, with a sum row after every `block` lines
// and after the last.
std::vector<std::string> PrintedListing(const std::vector<std::uint8_t>& bytes, std::size_t block) {
  std::vector<std::string> lines;
  unsigned columns[8] = {};
  char text[64];
  const std::size_t count = bytes.size() / 8;
  for (std::size_t line = 0; line < count; ++line) {
    unsigned sum = 0;
    int used = std::snprintf(text, sizeof text, "%.4zX ", line * 8);
    for (std::size_t i = 0; i < 8; ++i) {
      const std::uint8_t byte = bytes[line * 8 + i];
      sum += byte;
      columns[i] += byte;
      used +=
          std::snprintf(text + used, sizeof text - static_cast<std::size_t>(used), "%.2X", byte);
    }
    std::snprintf(text + used, sizeof text - static_cast<std::size_t>(used), ":%.2X", sum & 0xFFu);
    lines.emplace_back(text);
    if ((line + 1) % block == 0 || line + 1 == count) {
      unsigned total = 0;
      used = std::snprintf(text, sizeof text, "SUM  ");
      for (unsigned& column : columns) {
        total += column;
        used += std::snprintf(text + used, sizeof text - static_cast<std::size_t>(used), "%.2X",
                              column & 0xFFu);
        column = 0;
      }
      std::snprintf(text + used, sizeof text - static_cast<std::size_t>(used), ":%.2X",
                    total & 0xFFu);
      lines.emplace_back(text);
    }
  }
  return lines;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) {
    text += line + "\n";
  }
  return text;
}

// A printed listing, checked as printed and with one typo.
void CheckPrintedListing(FuzzedDataProvider& provider, const std::vector<std::size_t>& pieces) {
  const std::size_t block = provider.ConsumeIntegralInRange<std::size_t>(1, 8);
  const int typo = provider.ConsumeIntegralInRange(0, 4);
  const std::size_t where = provider.ConsumeIntegral<std::uint16_t>();
  const int digit = provider.ConsumeIntegralInRange(0, 15);
  const std::vector<std::uint8_t> bytes = provider.ConsumeRemainingBytes<std::uint8_t>();
  std::vector<std::string> lines = PrintedListing(bytes, block);
  if (lines.empty()) {
    return;
  }
  const Outcome printed = Check(Joined(lines), pieces);
  if (!printed.faults.empty() || printed.bytes.size() != bytes.size() / 8 * 8 ||
      !std::equal(printed.bytes.begin(), printed.bytes.end(), bytes.begin())) {
    Fail("a printed listing does not check out as its bytes");
  }
  std::string& line = lines[where % lines.size()];
  // The digits after the address (a line's) or after "SUM" (a sum row's): 16, ":" and 2.
  const std::size_t at = 5 + where / lines.size() % 18;
  const std::size_t digitAt = at < 21 ? at : at + 1;
  bool digitTypo = false;
  if (typo == 0 && line[digitAt] != "0123456789ABCDEF"[digit]) {
    line[digitAt] = "0123456789ABCDEF"[digit];
    digitTypo = true;
  } else if (typo == 1 && digitAt + 1 < line.size() && line[digitAt + 1] != ':' &&
             line[digitAt] != line[digitAt + 1]) {
    std::swap(line[digitAt], line[digitAt + 1]);
    digitTypo = true;
  } else if (typo == 2) {
    lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(where % lines.size()));
  } else if (typo == 3) {
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(where % lines.size()), line);
  } else if (typo == 4 && where % lines.size() + 1 < lines.size()) {
    std::swap(line, lines[where % lines.size() + 1]);
  }
  const std::string typed = Joined(lines);
  const Outcome whole = Check(typed, {});
  const Outcome cut = Check(typed, pieces);
  if (cut.faults != whole.faults || cut.lines != whole.lines || cut.bytes != whole.bytes) {
    Fail("the outcome depends on where the listing was cut");
  }
  if (digitTypo && (whole.faults.empty() || whole.faults.size() > 2)) {
    Fail("one digit mistyped is not one or two faults");
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
  if (provider.ConsumeBool()) {
    CheckPrintedListing(provider, pieces);
    return 0;
  }
  const ListingStyle style = provider.ConsumeBool() ? ListingStyle::NewMlx : ListingStyle::Lbe;
  const std::string listing = provider.ConsumeRemainingBytesAsString();

  const Outcome whole = Check(listing, {}, style);
  const Outcome cut = Check(listing, pieces, style);
  if (cut.faults != whole.faults || cut.lines != whole.lines || cut.bytes != whole.bytes) {
    Fail("the outcome depends on where the listing was cut");
  }
  CheckLinesReadBack(listing, style);
  return 0;
}
