#include "image/byte_search.h"

#include <algorithm>
#include <array>
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

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
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
    } else if (HexDigitValue(c) >= 0) {
      std::size_t end = at;
      while (end < text.size() && HexDigitValue(text[end]) >= 0) {
        ++end;
      }
      const std::string_view run = text.substr(at, end - at);
      if (run.size() % 2 != 0) {
        return Failed("odd number of hex digits in \"" + ShownRun(run) + "\" at column " +
                      Column(text, at));
      }
      for (std::size_t i = 0; i < run.size(); i += 2) {
        const int value = HexDigitValue(run[i]) * 16 + HexDigitValue(run[i + 1]);
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

// Shift-and over the first (up to) 64 bytes of a pattern: bit i of the state is set while the
// last i + 1 bytes read match the pattern's first i + 1.
struct Matcher {
  std::array<std::uint64_t, 256> Masks{};  // bit i set where byte i of the window takes the value
  std::uint64_t Hit = 0;                   // the bit of the window's last byte
  std::int32_t Window = 0;
  bool FirstFixed = false;  // the pattern starts with a value, which memchr can look for
  std::uint8_t First = 0;
};

Matcher MakeMatcher(const std::vector<PatternByte>& bytes) {
  Matcher matcher;
  matcher.Window = static_cast<std::int32_t>(std::min<std::size_t>(bytes.size(), 64));
  std::uint64_t any = 0;
  for (std::int32_t i = 0; i < matcher.Window; ++i) {
    const PatternByte& byte = bytes[static_cast<std::size_t>(i)];
    if (byte.Any) {
      any |= std::uint64_t{1} << i;
    } else {
      matcher.Masks[byte.Value] |= std::uint64_t{1} << i;
    }
  }
  for (std::uint64_t& mask : matcher.Masks) {
    mask |= any;
  }
  matcher.Hit = std::uint64_t{1} << (matcher.Window - 1);
  matcher.FirstFixed = !bytes[0].Any;
  matcher.First = bytes[0].Value;
  return matcher;
}

bool RestMatches(const std::vector<PatternByte>& bytes, std::size_t from, std::int32_t start) {
  for (std::size_t i = from; i < bytes.size(); ++i) {
    const PatternByte& byte = bytes[i];
    if (!byte.Any && Image[start + static_cast<std::int32_t>(i)] != byte.Value) {
      return false;
    }
  }
  return true;
}

// The first match lying wholly in the bytes [begin, end).
std::optional<std::int32_t> FindBetween(const std::vector<PatternByte>& bytes,
                                        const Matcher& matcher, std::int32_t begin,
                                        std::int32_t end) {
  const std::int32_t length = static_cast<std::int32_t>(bytes.size());
  const std::uint8_t* image = Image.Bytes.data();
  std::uint64_t state = 0;
  for (std::int32_t at = begin; at < end; ++at) {
    if (state == 0 && matcher.FirstFixed) {
      // Nothing under way: skip to where the pattern could start.
      const void* next = std::memchr(image + at, matcher.First, static_cast<std::size_t>(end - at));
      if (next == nullptr) {
        return std::nullopt;
      }
      at = static_cast<std::int32_t>(static_cast<const std::uint8_t*>(next) - image);
    }
    state = ((state << 1) | 1) & matcher.Masks[image[at]];
    if ((state & matcher.Hit) != 0) {
      const std::int32_t start = at - matcher.Window + 1;
      if (start + length > end) {
        return std::nullopt;  // every later start ends later still
      }
      if (RestMatches(bytes, static_cast<std::size_t>(matcher.Window), start)) {
        return start;
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
  if (const auto found = FindBetween(bytes, matcher, from, kImageSize)) {
    return {found, false};
  }
  // Around: starts from wrapTo to from - 1, so the last byte looked at is from - 2 + length.
  const std::int32_t length = static_cast<std::int32_t>(bytes.size());
  const std::int32_t end = std::min(from - 1 + length, kImageSize);
  if (const auto found = FindBetween(bytes, matcher, wrapTo, end)) {
    return {found, true};
  }
  return {};
}

}  // namespace lbe::image
