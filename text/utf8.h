#pragma once
// UTF-8, one rule for the whole program: which bytes form a character and how many they are.
// Pure: no console, no files; the console and the file layer both build on it.
//
// Well-formed is what Unicode allows and nothing else: no overlong forms (C0, C1, E0 80-9F,
// F0 80-8F), no surrogates (ED A0-BF), nothing above U+10FFFF (F4 90-BF, F5-FF), and a
// continuation byte (80-BF) only where its lead byte asks for one.

#include <cstddef>
#include <string>
#include <string_view>

namespace lbe::text {

inline constexpr char32_t kReplacementCharacter = U'\uFFFD';

struct DecodedCharacter {
  char32_t Character = 0;  // kReplacementCharacter for a byte that starts no character
  std::size_t Length = 0;  // bytes taken: 1 to 4, and 0 only when no byte remains
  bool Cut = false;        // the bytes end inside a character that more bytes may complete
};

// The character at the start of `bytes`. A byte that starts no well-formed character (a stray
// continuation byte, a lead byte that no character has, a sequence broken or cut short) is
// taken alone as kReplacementCharacter, so decoding goes on at the very next byte.
DecodedCharacter DecodeUtf8(std::string_view bytes);

// `bytes` without the cut character at their end, if there is one: where they may be parted
// without parting a character.
std::size_t WholeCharactersLength(std::string_view bytes);

// Bytes of the last character of `bytes` as DecodeUtf8 reads them from the start: 1 to 4, and
// 0 for no bytes.
std::size_t LastCharacterLength(std::string_view bytes);

// Surrogates and values above U+10FFFF, which no well-formed text holds, go out as
// kReplacementCharacter.
void AppendUtf8(std::string& out, char32_t character);

}  // namespace lbe::text
