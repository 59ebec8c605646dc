#include "console/key_codes.h"

#include <gtest/gtest.h>

namespace lbe::console {
namespace {

TEST(KeyCodes, CharactersGiveTheKeysOfAUsLayout) {
  const struct {
    char32_t character;
    KeyCode key;
  } cases[] = {
      {U'a', 65},  {U'A', 65},   {U'q', 81},  {U'Q', 81},  {U'z', 90},  {U'Z', 90},   {U'0', 48},
      {U'1', 49},  {U'9', 57},   {U')', 48},  {U'!', 49},  {U'@', 50},  {U'#', 51},   {U'$', 52},
      {U'%', 53},  {U'^', 54},   {U'&', 55},  {U'*', 56},  {U'(', 57},  {U' ', 32},   {U';', 186},
      {U':', 186}, {U'=', 187},  {U'+', 187}, {U',', 188}, {U'<', 188}, {U'-', 189},  {U'_', 189},
      {U'.', 190}, {U'>', 190},  {U'/', 191}, {U'?', 191}, {U'`', 192}, {U'~', 192},  {U'[', 219},
      {U'{', 219}, {U'\\', 220}, {U'|', 220}, {U']', 221}, {U'}', 221}, {U'\'', 222}, {U'"', 222},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<std::uint32_t>(c.character));
    EXPECT_EQ(KeyCodeForCharacter(c.character), c.key);
  }
}

TEST(KeyCodes, CharactersOfNoKeyArePackets) {
  for (const char32_t character :
       {U'\u00e9', U'\u65e5', U'\u00c4', U'\U0001F600', U'\t', U'\0', U'\x7f', U'\x80'}) {
    SCOPED_TRACE(static_cast<std::uint32_t>(character));
    EXPECT_EQ(KeyCodeForCharacter(character), Vk::Packet);
  }
}

TEST(KeyCodes, NoCharacterGivesCodeZero) {
  for (char32_t character = 0; character < 0x3100; ++character) {
    ASSERT_NE(KeyCodeForCharacter(character), 0) << static_cast<std::uint32_t>(character);
  }
}

}  // namespace
}  // namespace lbe::console
