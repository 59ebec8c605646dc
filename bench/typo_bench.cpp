// How well lbe --check points at a typist's mistake: slices of a real binary listed as lbe lists
// them (plain, and with a sum row after every 8 lines and every 16), one mistake of one kind put
// into a random line (a look-alike chosen the more often the closer its shape), the whole listing
// checked, and the reports read as the typist would. For each kind of mistake: how often the right
// fix is named, named first, a wrong fix shown without the right one, and the mistake reported
// once; and the same for listings in the New MLX form (no sum rows). Figures only, no verdicts.
//   typo_bench [--trials=N] [BINARY]     (default: 2,000 trials a kind, this program itself)

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "image/line_text.h"
#include "image/typo_search.h"
#include "listing/listing.h"
#include "text/hex_text.h"

namespace {

using lbe::text::HexDigits;
using Line = std::array<std::uint8_t, 8>;

enum class Kind {
  LookAlike,
  OtherDigit,
  SwapInByte,
  SwapAcross,
  DroppedDigit,
  DoubledDigit,
  SkippedByte,
  DoubledByte,
  ChecksumLookAlike,
  ChecksumOther,
  ChecksumSwap,
  BytesExchanged,
  LineSkipped,
  LineTwice,
};

const char* Name(Kind kind) {
  static const char* const kNames[] = {"look-alike digit",
                                       "other digit",
                                       "digits swapped in byte",
                                       "digits swapped across bytes",
                                       "digit dropped",
                                       "digit doubled",
                                       "byte skipped",
                                       "byte typed twice",
                                       "checksum: look-alike",
                                       "checksum: other digit",
                                       "checksum: digits swapped",
                                       "two bytes of a line exchanged",
                                       "line skipped",
                                       "line typed twice"};
  return kNames[static_cast<int>(kind)];
}

struct Trial {
  std::string Listing;
  std::vector<std::string> Expected;  // any of these in a report names the right fix
};

std::string Digits(const Line& bytes) {
  std::string text;
  for (const std::uint8_t byte : bytes) {
    text += HexDigits(byte, 2);
  }
  return text;
}

std::vector<std::uint8_t> DigitValues(const std::string& digits) {
  std::vector<std::uint8_t> values;
  for (const char c : digits) {
    values.push_back(static_cast<std::uint8_t>(c <= '9' ? c - '0' : c - 'A' + 10));
  }
  return values;
}

// The phrase that names the fix turning `typed` (digits) with checksum `checksum` into `right`,
// as the search words it; empty when the search has no such fix.
std::string FixPhrase(const std::string& typed, std::uint8_t checksum, std::uint64_t address,
                      const Line& right, bool inChecksum, bool mlx) {
  const auto fixes = lbe::image::TypoFixes(DigitValues(typed), checksum, {address, false, mlx});
  for (const auto& fix : fixes) {
    if (fix.Bytes == right && fix.InChecksum == inChecksum) {
      return fix.Text.substr(0, fix.Text.find(" ("));
    }
  }
  return "";
}

class Maker {
 public:
  Maker(const std::vector<std::uint8_t>& binary, std::uint64_t seed)
      : binary_(binary), random_(seed) {}

  // A listing of `lines` lines from a random place in the binary, a sum row after every `sums`
  // (0: none), with one mistake of `kind` in a random line.
  std::optional<Trial> Make(Kind kind, int lines, int sums, bool mlx) {
    const auto sumOf = [mlx](std::uint64_t at, const Line& line) {
      return mlx ? lbe::image::MlxLineSum(static_cast<std::uint16_t>(at), line)
                 : lbe::image::LineSum(line);
    };
    // The New MLX form as printed: "0800: " and the checksum after a blank.
    const auto lineOf = [mlx](std::uint64_t at, const std::string& digits,
                              const std::string& checksum) {
      return HexDigits(at, 4) + (mlx ? ": " : " ") + digits + (mlx ? " " : ":") + checksum;
    };
    const std::size_t at = Pick(binary_.size() / 8 - lines) * 8;
    std::vector<Line> bytes(lines);
    for (int i = 0; i < lines; ++i) {
      std::copy_n(binary_.begin() + static_cast<std::ptrdiff_t>(at + 8 * i), 8, bytes[i].begin());
    }
    const int target = static_cast<int>(Pick(lines));
    const std::uint64_t address = 0x0800 + 8 * static_cast<std::uint64_t>(target);
    std::string digits = Digits(bytes[target]);
    const std::uint8_t sum = sumOf(address, bytes[target]);
    std::string checksum = HexDigits(sum, 2);
    Trial trial;
    std::optional<std::string> lineText;  // the mistyped line; none for a skipped line
    bool twice = false;
    const auto fix = [&](bool inChecksum) {
      const std::string phrase =
          FixPhrase(digits, static_cast<std::uint8_t>(std::stoul(checksum, nullptr, 16)), address,
                    bytes[target], inChecksum, mlx);
      trial.Expected = {phrase.empty() ? "\x01" : phrase, "holds " + Digits(bytes[target])};
    };
    switch (kind) {
      case Kind::LookAlike:
      case Kind::OtherDigit:
        if (!Misread(digits[Pick(16)], kind == Kind::LookAlike)) {
          return std::nullopt;
        }
        fix(false);
        break;
      case Kind::SwapInByte:
      case Kind::SwapAcross: {
        const std::size_t p =
            2 * Pick(kind == Kind::SwapInByte ? 8 : 7) + (kind == Kind::SwapAcross);
        if (digits[p] == digits[p + 1]) {
          return std::nullopt;
        }
        std::swap(digits[p], digits[p + 1]);
        fix(false);
        break;
      }
      case Kind::DroppedDigit:
        digits.erase(Pick(16), 1);
        fix(false);
        break;
      case Kind::DoubledDigit: {
        const std::size_t p = Pick(16);
        digits.insert(p, 1, digits[p]);
        fix(false);
        break;
      }
      case Kind::SkippedByte:
        digits.erase(2 * Pick(8), 2);
        fix(false);
        break;
      case Kind::DoubledByte: {
        const std::size_t b = Pick(8);
        digits.insert(2 * b, digits.substr(2 * b, 2));
        fix(false);
        break;
      }
      case Kind::ChecksumLookAlike:
      case Kind::ChecksumOther:
        if (!Misread(checksum[Pick(2)], kind == Kind::ChecksumLookAlike)) {
          return std::nullopt;
        }
        fix(true);
        break;
      case Kind::ChecksumSwap:
        if (checksum[0] == checksum[1]) {
          return std::nullopt;
        }
        std::swap(checksum[0], checksum[1]);
        fix(true);
        break;
      case Kind::BytesExchanged: {
        const std::size_t a = Pick(8);
        const std::size_t b = Pick(8);
        if (a == b || bytes[target][a] == bytes[target][b]) {
          return std::nullopt;
        }
        Line exchanged = bytes[target];
        std::swap(exchanged[a], exchanged[b]);
        digits = Digits(exchanged);
        const std::size_t low = std::min(a, b);
        const std::size_t high = std::max(a, b);
        trial.Expected = {HexDigits(address + low, 4) + " and " + HexDigits(address + high, 4) +
                          " are " + HexDigits(bytes[target][low], 2) + " " +
                          HexDigits(bytes[target][high], 2)};
        break;
      }
      case Kind::LineSkipped:
        trial.Expected = {"line " + HexDigits(address, 4) + " missing"};
        break;
      case Kind::LineTwice:
        twice = true;
        trial.Expected = {"line " + HexDigits(address, 4) + " repeated"};
        break;
    }
    if (kind != Kind::LineSkipped) {
      lineText = lineOf(address, digits, checksum);
    }
    Line columns{};
    for (int i = 0; i < lines; ++i) {
      const bool mistyped = i == target;
      const std::uint64_t lineAddress = 0x0800 + 8 * static_cast<std::uint64_t>(i);
      const std::string text = mistyped ? lineText.value_or("")
                                        : lineOf(lineAddress, Digits(bytes[i]),
                                                 HexDigits(sumOf(lineAddress, bytes[i]), 2));
      if (!text.empty()) {
        trial.Listing += text + "\n";
      }
      if (mistyped && twice) {
        trial.Listing += text + "\n";
      }
      for (int b = 0; b < 8; ++b) {
        columns[b] = static_cast<std::uint8_t>(columns[b] + bytes[i][b]);
      }
      if (sums > 0 && ((i + 1) % sums == 0 || i + 1 == lines)) {
        trial.Listing +=
            "SUM  " + Digits(columns) + ":" + HexDigits(lbe::image::LineSum(columns), 2) + "\n";
        columns = {};
      }
    }
    return trial;
  }

 private:
  std::size_t Pick(std::size_t count) {
    return std::uniform_int_distribution<std::size_t>(0, count - 1)(random_);
  }
  // `digit` read as a look-alike, the more often the closer the shapes, or as any other digit;
  // false when it has no such digit.
  bool Misread(char& digit, bool lookAlike) {
    const int old = Value(digit);
    std::vector<int> choices;
    for (int v = 0; v < 16; ++v) {
      const int closeness = lbe::image::DigitCloseness(old, v);
      if (v != old && (closeness > 0) == lookAlike) {
        choices.insert(choices.end(), std::max(closeness, 1), v);
      }
    }
    if (choices.empty()) {
      return false;
    }
    digit = Hex(choices[Pick(choices.size())]);
    return true;
  }
  static int Value(char c) { return c <= '9' ? c - '0' : c - 'A' + 10; }
  static char Hex(int value) { return "0123456789ABCDEF"[value]; }

  const std::vector<std::uint8_t>& binary_;
  std::mt19937_64 random_;
};

struct Tally {
  int Trials = 0;
  int Named = 0;
  int First = 0;
  int WrongOnly = 0;
  int Detected = 0;
  int OneReport = 0;
};

void Judge(const Trial& trial, Tally& tally, bool mlx) {
  std::vector<std::string> reports;
  lbe::listing::ListingCheck check(
      false, [&](const lbe::listing::ListingFault& fault) { reports.push_back(fault.Text); },
      mlx ? lbe::listing::ListingStyle::NewMlx : lbe::listing::ListingStyle::Lbe);
  check.Feed(trial.Listing);
  check.Finish();
  ++tally.Trials;
  tally.Detected += reports.empty() ? 0 : 1;
  tally.OneReport += reports.size() == 1 ? 1 : 0;
  bool named = false;
  bool first = false;
  bool anyFix = false;
  for (const std::string& report : reports) {
    for (const std::string& expected : trial.Expected) {
      const std::size_t at = report.find(expected);
      if (at == std::string::npos) {
        continue;
      }
      named = true;
      first = first || expected.starts_with("line ") || expected.starts_with("holds ") ||
              report.find("perhaps " + expected) != std::string::npos ||
              report.find("by the sum row, " + expected) != std::string::npos ||
              report.find("prove the bytes right: " + expected) != std::string::npos;
    }
    // "perhaps a byte 3E left out: the checksum cannot tell where" names no place: no fix.
    anyFix = anyFix || (report.find("cannot tell") == std::string::npos &&
                        (report.find("perhaps") != std::string::npos ||
                         report.find("by the sum row") != std::string::npos));
  }
  tally.Named += named;
  tally.First += named && first;
  tally.WrongOnly += anyFix && !named;
}

std::string Percent(int count, int of) {
  char text[16];
  std::snprintf(text, sizeof text, "%5.1f", of == 0 ? 0.0 : 100.0 * count / of);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  int trials = 2000;
  std::string binaryName = "/proc/self/exe";
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument.starts_with("--trials=")) {
      trials = std::stoi(argument.substr(9));
    } else {
      binaryName = argument;
    }
  }
  std::ifstream in(binaryName, std::ios::binary);
  const std::vector<std::uint8_t> binary{std::istreambuf_iterator<char>(in), {}};
  if (binary.size() < 4096) {
    std::fprintf(stderr, "typo_bench: %s is too small\n", binaryName.c_str());
    return 1;
  }
  std::printf("%d trials a kind; 32-line listings from %s; %% of trials\n", trials,
              binaryName.c_str());
  std::printf("%-30s | %-28s | %-28s | %-28s | %-28s\n", "mistake", "right fix named",
              "named first", "wrong fix, right not", "one report");
  const char* const styles = "plain / sums 8 / 16 / MLX";
  std::printf("%-30s | %-28s | %-28s | %-28s | %-28s\n", "", styles, styles, styles, styles);
  for (int k = 0; k <= static_cast<int>(Kind::LineTwice); ++k) {
    const auto kind = static_cast<Kind>(k);
    Tally tallies[4];
    const int sums[4] = {0, 8, 16, 0};
    for (int s = 0; s < 4; ++s) {
      Maker maker(binary, 1000 + static_cast<std::uint64_t>(k));
      while (tallies[s].Trials < trials) {
        if (const auto trial = maker.Make(kind, 32, sums[s], s == 3)) {
          Judge(*trial, tallies[s], s == 3);
        }
      }
    }
    std::string columns[4];
    for (int s = 0; s < 4; ++s) {
      const Tally& t = tallies[s];
      const char* sep = s < 3 ? " /" : "";
      columns[0] += Percent(t.Named, t.Trials) + sep;
      columns[1] += Percent(t.First, t.Trials) + sep;
      columns[2] += Percent(t.WrongOnly, t.Trials) + sep;
      columns[3] += Percent(t.OneReport, t.Trials) + sep;
    }
    std::printf("%-30s | %s | %s | %s | %s\n", Name(kind), columns[0].c_str(), columns[1].c_str(),
                columns[2].c_str(), columns[3].c_str());
  }
  return 0;
}
