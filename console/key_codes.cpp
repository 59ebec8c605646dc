#include "console/key_codes.h"

#include <string_view>

namespace lbe::console {

namespace {

// The shifted digits of a US layout, in the order of their digit keys 0..9.
constexpr std::u32string_view kShiftedDigits = U")!@#$%^&*(";

struct PunctuationKey {
  char32_t Plain;
  char32_t Shifted;
  KeyCode Key;
};

constexpr PunctuationKey kPunctuationKeys[] = {
    {U';', U':', Vk::Oem1},     {U'=', U'+', Vk::OemPlus},   {U',', U'<', Vk::OemComma},
    {U'-', U'_', Vk::OemMinus}, {U'.', U'>', Vk::OemPeriod}, {U'/', U'?', Vk::Slash},
    {U'`', U'~', Vk::Oem3},     {U'[', U'{', Vk::Oem4},      {U'\\', U'|', Vk::Oem5},
    {U']', U'}', Vk::Oem6},     {U'\'', U'"', Vk::Oem7},
};

}  // namespace

KeyCode KeyCodeForCharacter(char32_t character) {
  if (character >= U'A' && character <= U'Z') {
    return static_cast<KeyCode>(character);
  }
  if (character >= U'a' && character <= U'z') {
    return static_cast<KeyCode>(character - U'a' + U'A');
  }
  if (character >= U'0' && character <= U'9') {
    return static_cast<KeyCode>(character);
  }
  if (character == U' ') {
    return Vk::Space;
  }
  if (const auto digit = kShiftedDigits.find(character); digit != std::u32string_view::npos) {
    return static_cast<KeyCode>(Vk::Digit0 + digit);
  }
  for (const PunctuationKey& key : kPunctuationKeys) {
    if (character == key.Plain || character == key.Shifted) {
      return key.Key;
    }
  }
  return Vk::Packet;
}

}  // namespace lbe::console
