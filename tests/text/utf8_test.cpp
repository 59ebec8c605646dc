#include "text/utf8.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace lbe::text {
namespace {

using namespace std::string_view_literals;

constexpr char32_t kBad = kReplacementCharacter;

// The last piece of `bytes` when DecodeUtf8 parts them from the start.
std::size_t LastPieceFromTheStart(std::string_view bytes) {
  std::size_t last = 0;
  for (; !bytes.empty(); bytes.remove_prefix(last)) {
    last = DecodeUtf8(bytes).Length;
  }
  return last;
}

// Each row: bytes, the first character read from them, the bytes it takes, and whether the bytes
// end inside a character that more bytes could complete. The other functions are checked
// against the same row.
TEST(Utf8, BoundaryCases) {
  const struct {
    std::string_view what;
    std::string_view bytes;
    char32_t character;
    std::size_t length;
    bool cut;
  } cases[] = {
      {"no bytes", ""sv, 0, 0, false},
      {"NUL", "\0"sv, 0, 1, false},
      {"last 1-byte", "\x7F"sv, 0x7F, 1, false},
      {"first 2-byte", "\xC2\x80"sv, 0x80, 2, false},
      {"last 2-byte", "\xDF\xBF"sv, 0x7FF, 2, false},
      {"overlong 2-byte C0", "\xC0\x80"sv, kBad, 1, false},
      {"overlong 2-byte C1", "\xC1\xBF"sv, kBad, 1, false},
      {"first 3-byte", "\xE0\xA0\x80"sv, 0x800, 3, false},
      {"overlong 3-byte", "\xE0\x9F\xBF"sv, kBad, 1, false},
      {"last before the surrogates", "\xED\x9F\xBF"sv, 0xD7FF, 3, false},
      {"first surrogate", "\xED\xA0\x80"sv, kBad, 1, false},
      {"last surrogate", "\xED\xBF\xBF"sv, kBad, 1, false},
      {"first after the surrogates", "\xEE\x80\x80"sv, 0xE000, 3, false},
      {"wide character", "\xE3\x81\x82"sv, 0x3042, 3, false},
      {"the replacement character itself", "\xEF\xBF\xBD"sv, 0xFFFD, 3, false},
      {"last 3-byte", "\xEF\xBF\xBF"sv, 0xFFFF, 3, false},
      {"first 4-byte", "\xF0\x90\x80\x80"sv, 0x10000, 4, false},
      {"overlong 4-byte", "\xF0\x8F\xBF\xBF"sv, kBad, 1, false},
      {"4-byte emoji", "\xF0\x9F\x98\x80"sv, 0x1F600, 4, false},
      {"last code point", "\xF4\x8F\xBF\xBF"sv, 0x10FFFF, 4, false},
      {"above the last code point", "\xF4\x90\x80\x80"sv, kBad, 1, false},
      {"lead byte F5", "\xF5\x80\x80\x80"sv, kBad, 1, false},
      {"5-byte lead", "\xF8\x88\x80\x80\x80"sv, kBad, 1, false},
      {"lead byte FF", "\xFF"sv, kBad, 1, false},
      {"stray first continuation byte", "\x80"sv, kBad, 1, false},
      {"stray last continuation byte", "\xBF\x41"sv, kBad, 1, false},
      {"continuation beyond the length", "\xC3\xA9\x80"sv, 0xE9, 2, false},
      {"2-byte cut after 1", "\xC3"sv, kBad, 1, true},
      {"3-byte cut after 1", "\xE3"sv, kBad, 1, true},
      {"3-byte cut after 2", "\xE3\x81"sv, kBad, 1, true},
      {"4-byte cut after 1", "\xF0"sv, kBad, 1, true},
      {"4-byte cut after 3", "\xF0\x9F\x98"sv, kBad, 1, true},
      {"last code point cut", "\xF4\x8F\xBF"sv, kBad, 1, true},
      {"cut overlong form is broken, not cut", "\xE0\x80"sv, kBad, 1, false},
      {"cut surrogate is broken, not cut", "\xED\xA0"sv, kBad, 1, false},
      {"cut beyond the last code point is broken", "\xF4\x90"sv, kBad, 1, false},
      {"broken by ASCII", "\xE3\x81\x41"sv, kBad, 1, false},
      {"broken by a lead byte", "\xE3\xE3\x81\x82"sv, kBad, 1, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const DecodedCharacter decoded = DecodeUtf8(c.bytes);
    EXPECT_EQ(decoded.Character, c.character);
    EXPECT_EQ(decoded.Length, c.length);
    EXPECT_EQ(decoded.Cut, c.cut);

    const std::string after = "ab" + std::string(c.bytes);
    EXPECT_EQ(WholeCharactersLength(after), c.cut ? 2 : after.size());
    EXPECT_EQ(LastCharacterLength(after), LastPieceFromTheStart(after));
    const std::string_view first = c.bytes.substr(0, c.length);
    EXPECT_EQ(LastCharacterLength("a" + std::string(first)), c.length == 0 ? 1 : c.length);
    if (c.length > 0 && (c.character != kBad || c.length == 3)) {
      std::string encoded;
      AppendUtf8(encoded, c.character);
      EXPECT_EQ(encoded, first);
    }
  }
}

// Every scalar value goes out and comes back whole; every part of it is a cut character; what
// no well-formed text holds goes out as the replacement character.
TEST(Utf8, EveryCharacterComesBackWhole) {
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    if (c == 0xD800) {
      c = 0xE000;
    }
    std::string encoded;
    AppendUtf8(encoded, c);
    const DecodedCharacter decoded = DecodeUtf8(encoded);
    ASSERT_EQ(decoded.Character, c);
    ASSERT_EQ(decoded.Length, encoded.size());
    ASSERT_EQ(LastCharacterLength(encoded), encoded.size());
    for (std::size_t part = 1; part < encoded.size(); ++part) {
      ASSERT_TRUE(DecodeUtf8(std::string_view(encoded).substr(0, part)).Cut)
          << static_cast<std::uint32_t>(c);
    }
  }
  for (const char32_t never : {char32_t{0xD800}, char32_t{0xDFFF}, char32_t{0x110000},
                               char32_t{0x7FFFFFFF}, char32_t{0xFFFFFFFF}}) {
    std::string encoded;
    AppendUtf8(encoded, never);
    EXPECT_EQ(encoded, "\xEF\xBF\xBD");
  }
}

}  // namespace
}  // namespace lbe::text
