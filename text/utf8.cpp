#include "text/utf8.h"

#include <cstdint>

namespace lbe::text {

namespace {

struct LeadByte {
  std::size_t Length;     // 0 for a byte that leads no character
  int Low;                // the range of the byte after it: it rules out overlong forms,
  int High;               // surrogates and values above U+10FFFF
  std::uint32_t Payload;  // the value bits the lead byte carries
};

LeadByte Lead(unsigned char byte) {
  if (byte < 0x80) {
    return {1, 0, 0, byte};
  }
  if (byte >= 0xC2 && byte <= 0xDF) {
    return {2, 0x80, 0xBF, byte & 0x1Fu};
  }
  if (byte >= 0xE0 && byte <= 0xEF) {
    return {3, byte == 0xE0 ? 0xA0 : 0x80, byte == 0xED ? 0x9F : 0xBF, byte & 0x0Fu};
  }
  if (byte >= 0xF0 && byte <= 0xF4) {
    return {4, byte == 0xF0 ? 0x90 : 0x80, byte == 0xF4 ? 0x8F : 0xBF, byte & 0x07u};
  }
  return {0, 0, 0, 0};
}

}  // namespace

DecodedCharacter DecodeUtf8(std::string_view bytes) {
  if (bytes.empty()) {
    return {};
  }
  const LeadByte lead = Lead(static_cast<unsigned char>(bytes[0]));
  if (lead.Length == 0) {
    return {kReplacementCharacter, 1};
  }
  std::uint32_t value = lead.Payload;
  for (std::size_t i = 1; i < lead.Length; ++i) {
    if (i == bytes.size()) {
      return {kReplacementCharacter, 1, true};
    }
    const auto next = static_cast<unsigned char>(bytes[i]);
    const int low = i == 1 ? lead.Low : 0x80;
    const int high = i == 1 ? lead.High : 0xBF;
    if (next < low || next > high) {
      return {kReplacementCharacter, 1};
    }
    value = (value << 6) | (next & 0x3Fu);
  }
  return {static_cast<char32_t>(value), lead.Length};
}

std::size_t WholeCharactersLength(std::string_view bytes) {
  // A cut character is at most three bytes, and only one of the last three can start it.
  for (std::size_t back = 1; back <= 3 && back <= bytes.size(); ++back) {
    if (DecodeUtf8(bytes.substr(bytes.size() - back)).Cut) {
      return bytes.size() - back;
    }
  }
  return bytes.size();
}

std::size_t LastCharacterLength(std::string_view bytes) {
  // A well-formed character that ends the bytes is where forward decoding parts them too: no
  // character read from further back can reach over its lead byte.
  for (std::size_t back = 2; back <= 4 && back <= bytes.size(); ++back) {
    const DecodedCharacter decoded = DecodeUtf8(bytes.substr(bytes.size() - back));
    if (decoded.Length == back) {
      return back;
    }
  }
  return bytes.empty() ? 0 : 1;
}

void AppendUtf8(std::string& out, char32_t character) {
  auto c = static_cast<std::uint32_t>(character);
  if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
    c = kReplacementCharacter;
  }
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace lbe::text
