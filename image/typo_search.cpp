#include "image/typo_search.h"

#include <algorithm>

#include "image/line_text.h"
#include "text/hex_text.h"

namespace lbe::image {

namespace {

// Which digits are taken for each other, by closeness.
struct LookAlikeDigits {
  int A;
  int B;
  int Closeness;
};
constexpr LookAlikeDigits kLookAlikeDigits[] = {
    {0x0, 0xD, 3}, {0x8, 0xB, 3}, {0xE, 0xF, 3}, {0x1, 0x7, 3},  //
    {0x0, 0x8, 2}, {0xB, 0xD, 2}, {0x3, 0x8, 2}, {0x5, 0x6, 2},  //
    {0x0, 0xC, 2}, {0x6, 0x8, 2}, {0x8, 0x9, 2},                 //
    {0x0, 0xB, 1}, {0x8, 0xD, 1}, {0x3, 0xB, 1}, {0x6, 0xB, 1}, {0xC, 0xE, 1},
};

constexpr int kLookAlikeRank = 0;
constexpr int kSwapRank = 1;
constexpr int kLeftOutRank = 2;  // a digit or byte left out or typed twice
constexpr int kOtherRank = 3;

constexpr std::size_t kDigits = 16;

// Up to 18 digits, kept without allocating: a check with many faulty lines searches each.
struct DigitRun {
  std::array<std::uint8_t, kDigits + 2> Values{};
  std::size_t Count = 0;

  std::uint8_t operator[](std::size_t i) const { return Values[i]; }
  std::uint8_t& operator[](std::size_t i) { return Values[i]; }
  void Insert(std::size_t at, std::uint8_t value) {
    std::copy_backward(Values.begin() + static_cast<std::ptrdiff_t>(at),
                       Values.begin() + static_cast<std::ptrdiff_t>(Count),
                       Values.begin() + static_cast<std::ptrdiff_t>(Count + 1));
    Values[at] = value;
    ++Count;
  }
  void Erase(std::size_t at, std::size_t count) {
    std::copy(Values.begin() + static_cast<std::ptrdiff_t>(at + count),
              Values.begin() + static_cast<std::ptrdiff_t>(Count),
              Values.begin() + static_cast<std::ptrdiff_t>(at));
    Count -= count;
  }
};

// In thousandths, how often a printed `printed` is read as `read`, among the digits it is
// taken for: the closer the shapes the likelier, and a digit with few look-alikes is misread as
// each of them more often than one with many.
int MisreadOdds(int printed, int read) {
  int all = 0;
  for (int other = 0; other < 16; ++other) {
    all += DigitCloseness(printed, other);
  }
  return all == 0 ? 0 : 1000 * DigitCloseness(printed, read) / all;
}

char DigitText(int value) {
  return "0123456789ABCDEF"[value & 15];
}

std::string Hex2(unsigned value) {
  return text::HexDigits(value & 0xFF, 2);
}

// Builds the fixes of one line.
class Search {
 public:
  Search(std::span<const std::uint8_t> digits, std::uint8_t typed, const TypoNames& names)
      : typed_(typed), names_(names) {
    digits_.Count = std::min(digits.size(), digits_.Values.size());
    std::copy_n(digits.begin(), digits_.Count, digits_.Values.begin());
  }

  std::vector<TypoFix> Run() {
    switch (digits_.Count) {
      case kDigits:
        Changes();
        Swaps();
        if (names_.NewMlx) {
          ExchangedBytes();
        }
        Checksum();
        break;
      case kDigits - 1:
        DroppedDigits();
        break;
      case kDigits + 1:
        DoubledDigits();
        break;
      case kDigits - 2:
        DroppedBytes();
        break;
      case kDigits + 2:
        DoubledBytes();
        break;
      default:
        break;
    }
    std::stable_sort(fixes_.begin(), fixes_.end(), [](const TypoFix& a, const TypoFix& b) {
      if (a.Rank != b.Rank) {
        return a.Rank < b.Rank;
      }
      if (a.Odds != b.Odds) {
        return a.Odds > b.Odds;
      }
      // The checksum is two digits to look at, and its fix touches no byte.
      if (a.InChecksum != b.InChecksum) {
        return a.InChecksum;
      }
      return a.Position < b.Position;
    });
    return std::move(fixes_);
  }

 private:
  std::string Name(std::size_t byte) const {
    return names_.Columns ? "column +" + std::to_string(byte)
                          : text::HexDigits(names_.Address + byte, 4);
  }
  // The checksum the line's bytes would carry: their sum, or a New MLX line's.
  std::uint8_t SumOf(const std::array<std::uint8_t, 8>& bytes) const {
    return ChecksumOfLine(names_.NewMlx, names_.Address, bytes);
  }
  std::string ChecksumName() const { return names_.Columns ? "the total" : "the checksum"; }

  static std::array<std::uint8_t, 8> BytesOf(const DigitRun& digits) {
    std::array<std::uint8_t, 8> bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      bytes[i] = static_cast<std::uint8_t>(digits[2 * i] << 4 | digits[2 * i + 1]);
    }
    return bytes;
  }

  // Adds a fix of the line's bytes that makes them add up to the typed checksum, once for each
  // line of bytes it gives.
  void AddIfFits(const DigitRun& digits, TypoKind kind, int rank, std::size_t position,
                 const std::string& text, int odds = 0) {
    const std::array<std::uint8_t, 8> bytes = BytesOf(digits);
    if (SumOf(bytes) != typed_ ||
        std::any_of(fixes_.begin(), fixes_.end(),
                    [&](const TypoFix& fix) { return !fix.InChecksum && fix.Bytes == bytes; })) {
      return;
    }
    fixes_.push_back(TypoFix{kind, rank, odds, position, false, bytes, typed_, text});
  }

  // One digit changed. Either checksum moves with each digit by a step prime to its modulus (a
  // power of two times 1 or 16 against 256 or 255), so at most one value of each digit fits.
  void Changes() {
    const std::array<std::uint8_t, 8> bytes = BytesOf(digits_);
    for (std::size_t p = 0; p < kDigits; ++p) {
      const int old = digits_[p];
      const int shift = p % 2 == 0 ? 4 : 0;
      for (int value = 0; value < 16; ++value) {
        // Tried on the bytes, as most values do not fit: a check of a long listing with many
        // faulty lines spends its time here.
        std::array<std::uint8_t, 8> tried = bytes;
        tried[p / 2] = static_cast<std::uint8_t>((bytes[p / 2] & ~(15 << shift)) | value << shift);
        if (value == old || SumOf(tried) != typed_) {
          continue;
        }
        DigitRun changed = digits_;
        changed[p] = static_cast<std::uint8_t>(value);
        const int closeness = DigitCloseness(old, value);
        const unsigned now = BytesOf(changed)[p / 2];
        std::string text = Name(p / 2) + " is " + Hex2(now) + ", not " + Hex2(bytes[p / 2]);
        if (closeness > 0) {
          text += std::string(" (") + DigitText(value) + " and " + DigitText(old) + " look alike)";
        }
        AddIfFits(changed, closeness > 0 ? TypoKind::LookAlike : TypoKind::OtherDigit,
                  closeness > 0 ? kLookAlikeRank : kOtherRank, p, text, MisreadOdds(value, old));
      }
    }
  }

  void Swaps() {
    const std::array<std::uint8_t, 8> bytes = BytesOf(digits_);
    for (std::size_t p = 0; p + 1 < kDigits; ++p) {
      DigitRun swapped = digits_;
      std::swap(swapped[p], swapped[p + 1]);
      const std::array<std::uint8_t, 8> now = BytesOf(swapped);
      if (digits_[p] == digits_[p + 1] || SumOf(now) != typed_) {
        continue;
      }
      const std::size_t byte = p / 2;
      const std::string text =
          p % 2 == 0 ? Name(byte) + " is " + Hex2(now[byte]) + ", not " + Hex2(bytes[byte])
                     : Name(byte) + " and " + Name(byte + 1) + " are " + Hex2(now[byte]) + " " +
                           Hex2(now[byte + 1]) + ", not " + Hex2(bytes[byte]) + " " +
                           Hex2(bytes[byte + 1]);
      AddIfFits(swapped, TypoKind::Swap, kSwapRank, p, text + " (digits swapped)");
    }
  }

  // Two bytes typed in each other's place: neighbours first. A sum of the bytes cannot see it; a
  // New MLX checksum weighs each place differently.
  void ExchangedBytes() {
    const std::array<std::uint8_t, 8> bytes = BytesOf(digits_);
    for (std::size_t a = 0; a < bytes.size(); ++a) {
      for (std::size_t b = a + 1; b < bytes.size(); ++b) {
        DigitRun exchanged = digits_;
        std::swap(exchanged[2 * a], exchanged[2 * b]);
        std::swap(exchanged[2 * a + 1], exchanged[2 * b + 1]);
        if (bytes[a] == bytes[b]) {
          continue;
        }
        AddIfFits(exchanged, TypoKind::Exchanged, kSwapRank, 2 * a,
                  Name(a) + " and " + Name(b) + " are " + Hex2(bytes[b]) + " " + Hex2(bytes[a]) +
                      ", not " + Hex2(bytes[a]) + " " + Hex2(bytes[b]) + " (exchanged)",
                  b == a + 1 ? 1 : 0);
      }
    }
  }

  // A typed checksum one mistake away from the bytes' sum.
  void Checksum() {
    const std::array<std::uint8_t, 8> bytes = BytesOf(digits_);
    const unsigned sum = SumOf(bytes);
    const unsigned typed = typed_;
    if (sum == typed) {
      return;
    }
    const std::string text = ChecksumName() + " is " + Hex2(sum) + ", not " + Hex2(typed);
    TypoFix fix{TypoKind::OtherDigit,           kOtherRank, 0, kDigits, true, bytes,
                static_cast<std::uint8_t>(sum), text};
    if ((typed ^ sum) < 16 || (typed ^ sum) % 16 == 0) {
      const int shift = (typed ^ sum) < 16 ? 0 : 4;
      const int was = static_cast<int>(typed >> shift) & 15;
      const int is = static_cast<int>(sum >> shift) & 15;
      fix.Position = kDigits + (shift == 0 ? 1 : 0);
      if (const int closeness = DigitCloseness(was, is); closeness > 0) {
        fix.Kind = TypoKind::LookAlike;
        fix.Rank = kLookAlikeRank;
        fix.Odds = MisreadOdds(is, was);
        fix.Text += std::string(" (") + DigitText(is) + " and " + DigitText(was) + " look alike)";
      }
    } else if (typed == ((sum & 15) << 4 | sum >> 4)) {
      fix.Kind = TypoKind::Swap;
      fix.Rank = kSwapRank;
      fix.Text += " (digits swapped)";
    } else {
      return;
    }
    fixes_.push_back(std::move(fix));
  }

  void DroppedDigits() {
    for (std::size_t p = 0; p <= digits_.Count; ++p) {
      for (int value = 0; value < 16; ++value) {
        DigitRun whole = digits_;
        whole.Insert(p, static_cast<std::uint8_t>(value));
        if (SumOf(BytesOf(whole)) != typed_) {
          continue;
        }
        // The eye slips most in a run of one digit: "000" typed as "00".
        const bool inRun =
            (p > 0 && digits_[p - 1] == value) || (p < digits_.Count && digits_[p] == value);
        AddIfFits(whole, TypoKind::DroppedDigit, kLeftOutRank, p,
                  Name(p / 2) + " is " + Hex2(BytesOf(whole)[p / 2]) + " (a digit left out)",
                  inRun ? 1 : 0);
      }
    }
  }

  void DoubledDigits() {
    for (std::size_t p = 1; p < digits_.Count; ++p) {
      if (digits_[p] != digits_[p - 1]) {
        continue;
      }
      DigitRun once = digits_;
      once.Erase(p, 1);
      const std::size_t byte = std::min<std::size_t>(p / 2, 7);
      AddIfFits(once, TypoKind::DoubledDigit, kLeftOutRank, p,
                Name(byte) + " is " + Hex2(BytesOf(once)[byte]) + " (" + DigitText(digits_[p]) +
                    " typed twice)");
    }
  }

  void DroppedBytes() {
    for (std::size_t byte = 0; byte < 8; ++byte) {
      for (unsigned value = 0; value < 256; ++value) {
        DigitRun whole = digits_;
        whole.Insert(2 * byte, static_cast<std::uint8_t>(value & 15));
        whole.Insert(2 * byte, static_cast<std::uint8_t>(value >> 4));
        AddIfFits(whole, TypoKind::DroppedByte, kLeftOutRank, 2 * byte,
                  Name(byte) + " is " + Hex2(value) + " (a byte left out)");
      }
    }
  }

  void DoubledBytes() {
    for (std::size_t byte = 1; byte < 9; ++byte) {
      const std::size_t p = 2 * byte;
      if (digits_[p] != digits_[p - 2] || digits_[p + 1] != digits_[p - 1]) {
        continue;
      }
      DigitRun once = digits_;
      once.Erase(p, 2);
      AddIfFits(once, TypoKind::DoubledByte, kLeftOutRank, p,
                Hex2(static_cast<unsigned>(digits_[p] << 4 | digits_[p + 1])) + " at " +
                    Name(byte - 1) + " typed twice");
    }
  }

  DigitRun digits_;
  std::uint8_t typed_;
  TypoNames names_;
  std::vector<TypoFix> fixes_;
};

}  // namespace

int DigitCloseness(int a, int b) {
  static constexpr std::array<std::array<std::int8_t, 16>, 16> kTable = [] {
    std::array<std::array<std::int8_t, 16>, 16> table{};
    for (const LookAlikeDigits& pair : kLookAlikeDigits) {
      table[pair.A][pair.B] = static_cast<std::int8_t>(pair.Closeness);
      table[pair.B][pair.A] = static_cast<std::int8_t>(pair.Closeness);
    }
    return table;
  }();
  return kTable[a & 15][b & 15];
}

std::vector<TypoFix> TypoFixes(std::span<const std::uint8_t> digits, std::uint8_t typed,
                               const TypoNames& names) {
  return Search(digits, typed, names).Run();
}

NamedFixes FixesToName(std::span<const TypoFix> fixes) {
  NamedFixes named;
  const auto likely = static_cast<std::size_t>(std::count_if(
      fixes.begin(), fixes.end(), [](const TypoFix& fix) { return fix.Rank < kOtherRank; }));
  // Any digit changed to any other fits about one line in sixteen: named only when few do.
  const std::size_t fitting = likely > 0 ? likely : fixes.size();
  if (likely == 0 && fitting > kFixesShown) {
    named.TooMany = fitting;
    return named;
  }
  for (std::size_t i = 0; i < fitting && i < kFixesShown; ++i) {
    named.Shown.push_back(&fixes[i]);
  }
  // The checksum's own fix is one look to try and puts no byte in doubt: never cut.
  const auto end = fixes.begin() + static_cast<std::ptrdiff_t>(fitting);
  const auto checksum =
      std::find_if(fixes.begin(), end, [](const TypoFix& fix) { return fix.InChecksum; });
  if (checksum != end && checksum - fixes.begin() >= static_cast<std::ptrdiff_t>(kFixesShown)) {
    named.Shown.back() = &*checksum;
  }
  named.More = fitting - named.Shown.size();
  return named;
}

std::string FixesText(std::span<const TypoFix> fixes) {
  const NamedFixes named = FixesToName(fixes);
  if (named.TooMany > 0) {
    return "; " + std::to_string(named.TooMany) +
           " changes of one digit fit: too many to tell which";
  }
  if (named.Shown.empty()) {
    return "";
  }
  // A byte left out fits wherever it goes when the checksum is the bytes' sum: the value is
  // known, the place is not.
  const std::size_t at = fixes.front().Position / 2;
  if (named.More > 0 && std::all_of(fixes.begin(), fixes.end(), [&](const TypoFix& fix) {
        return fix.Kind == TypoKind::DroppedByte &&
               fix.Bytes[fix.Position / 2] == fixes.front().Bytes[at];
      })) {
    return "; perhaps a byte " + Hex2(fixes.front().Bytes[at]) +
           " left out: the checksum cannot tell where";
  }
  std::string text;
  for (const TypoFix* fix : named.Shown) {
    text += (text.empty() ? "; perhaps " : ", or ") + fix->Text;
  }
  if (named.More > 0) {
    text += ", and " + std::to_string(named.More) + " more like these";
  }
  return text;
}

}  // namespace lbe::image
