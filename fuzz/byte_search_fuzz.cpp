// The find pattern and the search on any input: the text typed at "Find:" comes first (up to a
// backslash that a character other than a backslash follows: FuzzedDataProvider's random-length
// string); the rest gives the image (a short tile repeated over it, then a patch at some
// address) and, from its end, the address the search starts at and the one it wraps to.
//
// Checked: an error is one line of at most 76 characters with nothing a terminal would act on,
// and leaves no bytes; no error and no bytes only for a text of blanks; a good pattern written
// back as hex ("??" for any byte) parses to the same bytes; the search finds what a naive one
// finds. When the text does not parse, its own bytes are the pattern, '?' standing for any byte.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "image/byte_search.h"
#include "image/memory_image.h"
#include "text/hex_text.h"
#include "text/visible_text.h"

namespace lbe::fuzzing {
namespace {

using image::FindInImage;
using image::FindPattern;
using image::FindResult;
using image::Image;
using image::kImageSize;
using image::PatternByte;

// The naive search is quadratic: longer patterns are cut to this many bytes.
constexpr std::size_t kLongestSearched = 200;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "byte_search_fuzz: %s\n", what);
  std::abort();
}

void CheckParse(std::string_view text, const FindPattern& pattern) {
  if (!pattern.Error.empty()) {
    if (!pattern.Bytes.empty()) {
      Fail("bytes beside an error");
    }
    if (pattern.Error.size() > 76) {
      Fail("an error longer than 76 characters");
    }
    for (const char c : pattern.Error) {
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
        Fail("a control character in an error");
      }
    }
    if (text::VisibleText(pattern.Error) != pattern.Error) {
      Fail("an error shows a character that is not visible");
    }
    return;
  }
  const bool blank = text.find_first_not_of(" \t") == std::string_view::npos;
  if (pattern.Bytes.empty() != blank) {
    Fail("no bytes for a text that is not blank, or bytes for a blank one");
  }
  std::string hex;
  for (const PatternByte& byte : pattern.Bytes) {
    hex += byte.Any ? "?? " : text::HexDigits(byte.Value, 2) + ' ';
  }
  const FindPattern again = image::ParseFindPattern(hex);
  if (!again.Error.empty() || again.Bytes != pattern.Bytes) {
    Fail("a pattern written back as hex does not parse to the same bytes");
  }
}

// Kept out of the coverage feedback, as is the rest of the reference: its loops tell the fuzzer
// nothing and would cost most of the time.
__attribute__((no_sanitize("coverage"))) bool MatchesAt(const std::vector<PatternByte>& bytes,
                                                        std::int32_t start) {
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (!bytes[i].Any && Image[start + static_cast<std::int32_t>(i)] != bytes[i].Value) {
      return false;
    }
  }
  return true;
}

__attribute__((no_sanitize("coverage"))) FindResult NaiveFind(const std::vector<PatternByte>& bytes,
                                                              std::int32_t from,
                                                              std::int32_t wrapTo) {
  const std::int32_t lastStart = kImageSize - static_cast<std::int32_t>(bytes.size());
  from = std::max(from, wrapTo);
  for (std::int32_t start = from; start <= lastStart; ++start) {
    if (MatchesAt(bytes, start)) {
      return {start, false};
    }
  }
  for (std::int32_t start = wrapTo; start < from && start <= lastStart; ++start) {
    if (MatchesAt(bytes, start)) {
      return {start, true};
    }
  }
  return {};
}

// The tile repeated over the whole image, then the patch at `patchAt`, cut at the end.
__attribute__((no_sanitize("coverage"))) void FillImage(const std::vector<std::uint8_t>& tile,
                                                        const std::vector<std::uint8_t>& patch,
                                                        std::int32_t patchAt) {
  Image = {};
  for (std::size_t i = 0; i < Image.Bytes.size() && !tile.empty(); ++i) {
    Image.Bytes[i] = tile[i % tile.size()];
  }
  const std::size_t room = static_cast<std::size_t>(kImageSize - patchAt);
  std::copy_n(patch.begin(), std::min(patch.size(), room),
              Image.Bytes.begin() + static_cast<std::ptrdiff_t>(patchAt));
}

}  // namespace
}  // namespace lbe::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace lbe::fuzzing;
  FuzzedDataProvider provider(data, size);
  const std::string text = provider.ConsumeRandomLengthString(size);
  const auto from = provider.ConsumeIntegralInRange<std::int32_t>(0, kImageSize);
  const auto wrapTo = provider.ConsumeIntegralInRange<std::int32_t>(0, kImageSize);
  const auto patchAt = provider.ConsumeIntegralInRange<std::int32_t>(0, kImageSize - 1);
  const std::vector<std::uint8_t> tile =
      provider.ConsumeBytes<std::uint8_t>(provider.ConsumeIntegralInRange<std::size_t>(1, 16));
  const std::vector<std::uint8_t> patch = provider.ConsumeRemainingBytes<std::uint8_t>();
  FillImage(tile, patch, patchAt);

  FindPattern pattern = lbe::image::ParseFindPattern(text);
  CheckParse(text, pattern);
  if (!pattern.Error.empty()) {
    pattern = {};
    for (const char c : text) {
      pattern.Bytes.push_back({static_cast<std::uint8_t>(c), c == '?'});
    }
  }
  if (pattern.Bytes.empty()) {
    return 0;
  }
  pattern.Bytes.resize(std::min(pattern.Bytes.size(), kLongestSearched));
  if (FindInImage(pattern, from, wrapTo) != NaiveFind(pattern.Bytes, from, wrapTo)) {
    Fail("the search does not find what the naive search finds");
  }
  return 0;
}
