// The typo search against its oracle: a line mistyped once, in every way a typist does, has
// among its fixes the one that undoes the mistake; every fix it gives makes the line check out,
// once; the likelier kinds come first.

#include "image/typo_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "image/line_text.h"

namespace lbe::image {
namespace {

using Digits = std::vector<std::uint8_t>;

std::array<std::uint8_t, 8> BytesOf(const Digits& digits) {
  std::array<std::uint8_t, 8> bytes{};
  for (std::size_t i = 0; i < 8; ++i) {
    bytes[i] = static_cast<std::uint8_t>(digits[2 * i] << 4 | digits[2 * i + 1]);
  }
  return bytes;
}

// Each mistake: the digits typed for `right`, and the checksum typed for `sum`.
struct Mistake {
  const char* what;
  TypoKind kind;
  void (*make)(Digits& digits, std::uint8_t& checksum, std::mt19937& random);
};

std::size_t Pick(std::mt19937& random, std::size_t count) {
  return std::uniform_int_distribution<std::size_t>(0, count - 1)(random);
}

const Mistake kMistakes[] = {
    {"a look-alike digit", TypoKind::LookAlike,
     [](Digits& d, std::uint8_t&, std::mt19937& r) {
       const std::size_t p = Pick(r, 16);
       std::vector<std::uint8_t> alike;
       for (int v = 0; v < 16; ++v) {
         if (DigitCloseness(d[p], v) > 0) {
           alike.push_back(static_cast<std::uint8_t>(v));
         }
       }
       if (!alike.empty()) {  // 2, 4 and A look like no other digit
         d[p] = alike[Pick(r, alike.size())];
       }
     }},
    {"any other digit", TypoKind::OtherDigit,
     [](Digits& d, std::uint8_t&, std::mt19937& r) {
       const std::size_t p = Pick(r, 16);
       std::uint8_t other = d[p];
       while (other == d[p] || DigitCloseness(d[p], other) > 0) {
         other = static_cast<std::uint8_t>(Pick(r, 16));
       }
       d[p] = other;
     }},
    {"two digits swapped", TypoKind::Swap,
     [](Digits& d, std::uint8_t&, std::mt19937& r) {
       const std::size_t p = Pick(r, 15);
       std::swap(d[p], d[p + 1]);
     }},
    {"a digit left out", TypoKind::DroppedDigit,
     [](Digits& d, std::uint8_t&, std::mt19937& r) { d.erase(d.begin() + Pick(r, 16)); }},
    {"a digit typed twice", TypoKind::DoubledDigit,
     [](Digits& d, std::uint8_t&, std::mt19937& r) {
       const auto at = d.begin() + Pick(r, 16);
       d.insert(at, *at);
     }},
    {"a byte left out", TypoKind::DroppedByte,
     [](Digits& d, std::uint8_t&, std::mt19937& r) {
       const auto at = d.begin() + 2 * Pick(r, 8);
       d.erase(at, at + 2);
     }},
    {"a byte typed twice", TypoKind::DoubledByte,
     [](Digits& d, std::uint8_t&, std::mt19937& r) {
       const std::size_t at = 2 * Pick(r, 8);
       d.insert(d.begin() + at, {d[at], d[at + 1]});
     }},
    {"a look-alike in the checksum", TypoKind::LookAlike,
     [](Digits&, std::uint8_t& c, std::mt19937& r) {
       const int shift = Pick(r, 2) == 0 ? 0 : 4;
       const int digit = (c >> shift) & 15;
       for (int v = 0; v < 16; ++v) {
         if (DigitCloseness(digit, v) > 0) {
           c = static_cast<std::uint8_t>((c & ~(15 << shift)) | v << shift);
           return;
         }
       }
     }},
};

TEST(TypoSearch, TheFixThatUndoesEachMistakeIsFound) {
  std::mt19937 random(25);
  for (const Mistake& mistake : kMistakes) {
    SCOPED_TRACE(mistake.what);
    int found = 0;
    int first = 0;
    for (int trial = 0; trial < 500; ++trial) {
      Digits right(16);
      std::generate(right.begin(), right.end(), [&] { return Pick(random, 16); });
      const std::array<std::uint8_t, 8> bytes = BytesOf(right);
      const std::uint8_t sum = LineSum(bytes);
      Digits typed = right;
      std::uint8_t checksum = sum;
      mistake.make(typed, checksum, random);
      if (typed == right && checksum == sum) {
        continue;
      }
      const std::vector<TypoFix> fixes = TypoFixes(typed, checksum, {0x0100, false});
      std::vector<std::pair<std::array<std::uint8_t, 8>, std::uint8_t>> seen;
      for (const TypoFix& fix : fixes) {
        ASSERT_EQ(LineSum(fix.Bytes), fix.Checksum) << fix.Text;
        ASSERT_EQ(std::count(seen.begin(), seen.end(), std::pair(fix.Bytes, fix.Checksum)), 0)
            << fix.Text << " twice";
        seen.emplace_back(fix.Bytes, fix.Checksum);
      }
      ASSERT_TRUE(
          std::is_sorted(fixes.begin(), fixes.end(),
                         [](const TypoFix& a, const TypoFix& b) { return a.Rank < b.Rank; }));
      const auto undone = std::find_if(fixes.begin(), fixes.end(), [&](const TypoFix& fix) {
        return fix.Bytes == bytes && fix.Checksum == sum;
      });
      ASSERT_NE(undone, fixes.end()) << "no fix undoes it";
      found += 1;
      first += undone == fixes.begin() ? 1 : 0;
      EXPECT_EQ(undone->Kind, mistake.kind) << undone->Text;
    }
    EXPECT_GT(found, 400);
    // Any digit fits too often to come first, and a byte left out fits in any place.
    if (mistake.kind != TypoKind::OtherDigit && mistake.kind != TypoKind::DroppedByte) {
      EXPECT_GT(first, found / 2) << "the fix that undoes it is seldom first";
    }
  }
}

// A line that checks out has nothing to fix, and a line with too few digits for any single
// mistake has no fix.
TEST(TypoSearch, NothingToFix) {
  const Digits right = {3, 14, 0, 0, 13, 3, 15, 14, 2, 1, 0, 0, 0, 0, 1, 1};
  EXPECT_TRUE(TypoFixes(right, 0x41, {}).empty());
  EXPECT_TRUE(TypoFixes(Digits(13, 0), 0x41, {}).empty());
  EXPECT_TRUE(TypoFixes(Digits(19, 0), 0x41, {}).empty());
}

}  // namespace
}  // namespace lbe::image
