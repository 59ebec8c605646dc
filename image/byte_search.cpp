#include "image/byte_search.h"

#include <algorithm>
#include <cstring>

#include "image/memory_image.h"
#include "text/hex_text.h"
#include "text/utf8.h"
#include "text/visible_text.h"

namespace lbe::image {

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

// The 1-based column, in characters, of the byte at `offset`.
std::string Column(std::string_view text, std::size_t offset) {
  std::string_view before = text.substr(0, offset);
  std::size_t column = 1;
  while (!before.empty()) {
    before.remove_prefix(text::DecodeUtf8(before).Length);
    ++column;
  }
  return std::to_string(column);
}

// The character at the start of `rest` as an error shows it: quoted when it is visible, else
// by its code point, or as a byte when it starts no character. At most 9 characters.
std::string ShownCharacter(std::string_view rest) {
  const text::DecodedCharacter decoded = text::DecodeUtf8(rest);
  const std::string_view bytes = rest.substr(0, decoded.Length);
  if (text::VisibleText(bytes) == bytes) {
    return '"' + std::string(bytes) + '"';
  }
  if (decoded.Character == text::kReplacementCharacter && decoded.Length == 1) {
    return "byte 0x" + text::HexDigits(static_cast<std::uint8_t>(rest[0]), 2);
  }
  return "U+" + text::HexDigits(decoded.Character, 4);
}

// A run of hex digits as an error shows it: at most 12 characters.
std::string ShownRun(std::string_view run) {
  return run.size() <= 12 ? std::string(run) : std::string(run.substr(0, 9)) + "...";
}

FindPattern Failed(std::string error) {
  return FindPattern{{}, std::move(error)};
}

}  // namespace

FindPattern ParseFindPattern(std::string_view text) {
  FindPattern pattern;
  std::size_t at = 0;
  while (at < text.size()) {
    const char c = text[at];
    if (IsBlank(c)) {
      ++at;
    } else if (text::HexDigitValue(c) >= 0) {
      std::size_t end = at;
      while (end < text.size() && text::HexDigitValue(text[end]) >= 0) {
        ++end;
      }
      const std::string_view run = text.substr(at, end - at);
      if (run.size() % 2 != 0) {
        return Failed("odd number of hex digits in \"" + ShownRun(run) + "\" at column " +
                      Column(text, at));
      }
      for (std::size_t i = 0; i < run.size(); i += 2) {
        const int value = text::HexDigitValue(run[i]) * 16 + text::HexDigitValue(run[i + 1]);
        pattern.Bytes.push_back({static_cast<std::uint8_t>(value), false});
      }
      at = end;
    } else if (c == '?') {
      if (at + 1 == text.size() || text[at + 1] != '?') {
        return Failed("a lone \"?\" at column " + Column(text, at) +
                      ": \"??\" stands for any byte");
      }
      pattern.Bytes.push_back({0, true});
      at += 2;
    } else if (c == '"') {
      const std::size_t opening = at;
      const std::size_t before = pattern.Bytes.size();
      for (++at;; ++at) {
        if (at == text.size()) {
          return Failed("quoted text from column " + Column(text, opening) +
                        " has no closing quote");
        }
        if (text[at] == '"') {
          if (at + 1 == text.size() || text[at + 1] != '"') {
            break;
          }
          ++at;  // "" stands for one quote
        }
        pattern.Bytes.push_back({static_cast<std::uint8_t>(text[at]), false});
      }
      ++at;
      if (pattern.Bytes.size() == before) {
        return Failed("empty text \"\" at column " + Column(text, opening) + " matches nothing");
      }
    } else {
      // Wording kept short enough for a 76-character line with any column number.
      return Failed(ShownCharacter(text.substr(at)) + " at column " + Column(text, at) +
                    " is not a hex digit, \"??\" or a quote");
    }
  }
  return pattern;
}

namespace {

// Shift-and, 64 bytes of the pattern to a word: bit i of word w of the state is set while the
// last 64w + i + 1 bytes read match the pattern's first 64w + i + 1. Words that are zero are
// left alone, so a long pattern costs more only while a long match is under way.
struct Matcher {
  std::size_t Words = 0;
  std::vector<std::uint64_t> Masks;  // [value * Words + w]: the bytes of word w taking the value
  std::uint64_t Hit = 0;             // the bit of the pattern's last byte in the last word
  bool FirstFixed = false;           // the pattern starts with a value, which memchr can look for
  std::uint8_t First = 0;
};

Matcher MakeMatcher(const std::vector<PatternByte>& bytes) {
  Matcher matcher;
  matcher.Words = (bytes.size() + 63) / 64;
  matcher.Masks.assign(256 * matcher.Words, 0);
  std::vector<std::uint64_t> any(matcher.Words, 0);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const std::uint64_t bit = std::uint64_t{1} << (i % 64);
    if (bytes[i].Any) {
      any[i / 64] |= bit;
    } else {
      matcher.Masks[bytes[i].Value * matcher.Words + i / 64] |= bit;
    }
  }
  for (std::size_t i = 0; i < matcher.Masks.size(); ++i) {
    matcher.Masks[i] |= any[i % matcher.Words];
  }
  matcher.Hit = std::uint64_t{1} << ((bytes.size() - 1) % 64);
  matcher.FirstFixed = !bytes[0].Any;
  matcher.First = bytes[0].Value;
  return matcher;
}

// The first match lying wholly in the bytes [begin, end). kOneWord: the pattern fits in one
// word, which then stays in a register, three times as fast as the loop over words.
template <bool kOneWord>
std::optional<std::int32_t> FindBetween(const Matcher& matcher, std::int32_t length,
                                        std::int32_t begin, std::int32_t end) {
  const std::uint8_t* image = Image.Bytes.data();
  std::uint64_t low = 0;                               // word 0 of the state
  std::vector<std::uint64_t> high(matcher.Words - 1);  // the words above it
  std::size_t used = 0;                                // words of `high` that may not be zero
  for (std::int32_t at = begin; at < end; ++at) {
    if (low == 0 && used == 0 && matcher.FirstFixed) {
      // Nothing under way: skip to where the pattern could start, by hand over a few bytes
      // (where a call would cost more than it saves) and then by memchr.
      const std::int32_t near = std::min(at + 16, end);
      while (at < near && image[at] != matcher.First) {
        ++at;
      }
      if (at == near) {
        const void* next =
            std::memchr(image + at, matcher.First, static_cast<std::size_t>(end - at));
        if (next == nullptr) {
          return std::nullopt;
        }
        at = static_cast<std::int32_t>(static_cast<const std::uint8_t*>(next) - image);
      }
    }
    const std::uint64_t* mask = &matcher.Masks[image[at] * matcher.Words];
    if constexpr (kOneWord) {
      low = ((low << 1) | 1) & mask[0];
      if ((low & matcher.Hit) != 0) {
        return at - length + 1;
      }
    } else {
      std::uint64_t carry = low >> 63;
      low = ((low << 1) | 1) & mask[0];
      used = std::min(used + 1, high.size());
      for (std::size_t w = 0; w < used; ++w) {
        const std::uint64_t out = high[w] >> 63;
        high[w] = ((high[w] << 1) | carry) & mask[w + 1];
        carry = out;
      }
      while (used > 0 && high[used - 1] == 0) {
        --used;
      }
      if (used == high.size() && (high.back() & matcher.Hit) != 0) {
        return at - length + 1;
      }
    }
  }
  return std::nullopt;
}

}  // namespace

FindResult FindInImage(const FindPattern& pattern, std::int32_t from, std::int32_t wrapTo) {
  const std::vector<PatternByte>& bytes = pattern.Bytes;
  if (bytes.empty() || bytes.size() > static_cast<std::size_t>(kImageSize)) {
    return {};
  }
  wrapTo = std::clamp(wrapTo, 0, kImageSize);
  from = std::clamp(from, wrapTo, kImageSize);
  const Matcher matcher = MakeMatcher(bytes);
  const std::int32_t length = static_cast<std::int32_t>(bytes.size());
  const auto findBetween = matcher.Words == 1 ? FindBetween<true> : FindBetween<false>;
  if (const auto found = findBetween(matcher, length, from, kImageSize)) {
    return {found, false};
  }
  // Around: starts from wrapTo to from - 1, so the last byte looked at is from - 2 + length.
  const std::int32_t end = std::min(from - 1 + length, kImageSize);
  if (const auto found = findBetween(matcher, length, wrapTo, end)) {
    return {found, true};
  }
  return {};
}

}  // namespace lbe::image
