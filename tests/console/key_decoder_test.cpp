#include "console/key_decoder.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "console/key_codes.h"

namespace lbe::console {
namespace {

std::vector<KeyCode> KeysOf(const std::vector<InputEvent>& events) {
  std::vector<KeyCode> keys;
  for (const InputEvent& event : events) {
    if (event.Type == EventType::Key && event.KeyDown) {
      keys.push_back(event.VirtualKeyCode);
    }
  }
  return keys;
}

std::u32string CharactersOf(const std::vector<InputEvent>& events) {
  std::u32string characters;
  for (const InputEvent& event : events) {
    if (event.Type == EventType::Key) {
      characters += event.Character;
    }
  }
  return characters;
}

// The events of `bytes` fed one after the other, then the Esc delay passing.
std::vector<InputEvent> EventsOf(std::vector<std::string_view> feeds) {
  KeyDecoder decoder;
  std::vector<InputEvent> events;
  for (const std::string_view bytes : feeds) {
    decoder.Feed(bytes, events);
  }
  decoder.Timeout(events);
  return events;
}

std::vector<KeyCode> Keys(std::string_view bytes) {
  return KeysOf(EventsOf({bytes}));
}

// Whether `decoder` is inside a paste, read from what it decodes next: once the Esc delay has
// passed, a Tab is one key event in any state, marked as pasted inside a paste.
bool InPaste(KeyDecoder decoder) {
  std::vector<InputEvent> events;
  decoder.Timeout(events);
  decoder.Feed("\t", events);
  return !events.empty() && IsPasted(events.back());
}

using Codes = std::vector<KeyCode>;

TEST(KeyDecoder, NavigationKeysInXtermAndTmuxForms) {
  const struct {
    std::string_view bytes;
    KeyCode key;
  } cases[] = {
      {"\x1b[A", Vk::Up},          {"\x1b[B", Vk::Down},      {"\x1b[C", Vk::Right},
      {"\x1b[D", Vk::Left},        {"\x1bOA", Vk::Up},        {"\x1bOB", Vk::Down},
      {"\x1bOC", Vk::Right},       {"\x1bOD", Vk::Left},      {"\x1b[H", Vk::Home},
      {"\x1b[F", Vk::End},         {"\x1bOH", Vk::Home},      {"\x1bOF", Vk::End},
      {"\x1b[1~", Vk::Home},       {"\x1b[4~", Vk::End},      {"\x1b[7~", Vk::Home},
      {"\x1b[8~", Vk::End},        {"\x1b[5~", Vk::PageUp},   {"\x1b[6~", Vk::PageDown},
      {"\x1b[2~", Vk::Insert},     {"\x1b[3~", Vk::Delete},   {"\x1b[1;5A", Vk::Up},
      {"\x1b[1;2B", Vk::Down},     {"\x1b[1;3C", Vk::Right},  {"\x1b[1;6D", Vk::Left},
      {"\x1b[1;5H", Vk::Home},     {"\x1b[1;2F", Vk::End},    {"\x1b[5;5~", Vk::PageUp},
      {"\x1b[6;2~", Vk::PageDown}, {"\x1b[3;5~", Vk::Delete}, {"\x1b[2;3~", Vk::Insert},
      {"\x1bO5A", Vk::Up},         {"\x1b[a", Vk::Up},        {"\x1bOd", Vk::Left},
      {"\x1b[2$", Vk::Insert},     {"\x1b[5^", Vk::PageUp},   {"\x1b[6@", Vk::PageDown},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    EXPECT_EQ(Keys(c.bytes), Codes{c.key});
  }
}

TEST(KeyDecoder, FunctionKeys) {
  const struct {
    std::string_view bytes;
    KeyCode key;
  } cases[] = {
      {"\x1bOP", 112},     {"\x1bOQ", 113},   {"\x1bOR", 114},    {"\x1bOS", 115},
      {"\x1b[11~", 112},   {"\x1b[15~", 116}, {"\x1b[17~", 117},  {"\x1b[21~", 121},
      {"\x1b[23~", 122},   {"\x1b[24~", 123}, {"\x1b[1;2P", 112}, {"\x1b[1;5S", 115},
      {"\x1b[15;5~", 116}, {"\x1b[[A", 112},  {"\x1b[[E", 116},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    EXPECT_EQ(Keys(c.bytes), Codes{c.key});
  }
}

TEST(KeyDecoder, ControlBytes) {
  const struct {
    std::string_view bytes;
    Codes keys;
  } cases[] = {
      {"\x7f", {Vk::Backspace}},
      {"\b", {Vk::Backspace}},
      {"\r", {Vk::Enter}},
      {"\n", {Vk::Enter}},
      {"\r\n", {Vk::Enter}},
      {"\r\r", {Vk::Enter, Vk::Enter}},
      {"\n\n", {Vk::Enter, Vk::Enter}},
      {"\t", {Vk::Tab}},
      {"\x1b[Z", {Vk::Tab}},
      {std::string_view("\0", 1), {Vk::Control}},
      {"\x01", {Vk::Control}},
      {"\x11", {Vk::Control}},
      {"\x04", {Vk::Control}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    EXPECT_EQ(Keys(c.bytes), c.keys);
  }
}

TEST(KeyDecoder, LettersDigitsAndShiftedDigits) {
  EXPECT_EQ(Keys("aAzZ09"), (Codes{65, 65, 90, 90, 48, 57}));
  EXPECT_EQ(Keys("!@#$%^&*()"), (Codes{49, 50, 51, 52, 53, 54, 55, 56, 57, 48}));
  EXPECT_EQ(Keys(" ;-"), (Codes{32, 186, 189}));
  EXPECT_EQ(CharactersOf(EventsOf({"aZ!"})), U"aZ!");
}

TEST(KeyDecoder, KeypadInApplicationMode) {
  EXPECT_EQ(Keys("\x1bOp\x1bOq\x1bOu\x1bOy"), (Codes{96, 97, 101, 105}));
  EXPECT_EQ(Keys("\x1bOM"), Codes{Vk::Enter});
  EXPECT_EQ(Keys("\x1bOj\x1bOk\x1bOm\x1bOn\x1bOo"), (Codes{106, 107, 109, 110, 111}));
  EXPECT_EQ(CharactersOf(EventsOf({"\x1bOr\x1bOM"})), U"2\r");
}

TEST(KeyDecoder, EscAloneIsEscOnlyAfterTheDelay) {
  KeyDecoder decoder;
  std::vector<InputEvent> events;
  decoder.Feed("\x1b", events);
  EXPECT_TRUE(events.empty());
  EXPECT_TRUE(decoder.Pending());
  decoder.Timeout(events);
  EXPECT_EQ(KeysOf(events), Codes{Vk::Escape});
  EXPECT_FALSE(decoder.Pending());
}

TEST(KeyDecoder, SequencesSplitAcrossFeedsAreOneKey) {
  const struct {
    std::vector<std::string_view> feeds;
    Codes keys;
  } cases[] = {
      {{"\x1b", "[A"}, {Vk::Up}},
      {{"\x1b[", "1;5", "A"}, {Vk::Up}},
      {{"\x1bO", "P"}, {112}},
      {{"\x1b[5", "~"}, {Vk::PageUp}},
      {{"x\x1b", "[3~y"}, {'X', Vk::Delete, 'Y'}},
      {{"\x1b[[", "B"}, {113}},
      {{"\x1b", "\x1b", "[B"}, {Vk::Escape, Vk::Down}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.feeds));
    EXPECT_EQ(KeysOf(EventsOf(c.feeds)), c.keys);
  }
}

// Feeds in which kDelay stands for the Esc delay passing and kWindow for the time in which the
// rest of a timed-out Esc's sequence may still come.
constexpr std::string_view kDelay = "<delay>";
constexpr std::string_view kWindow = "<window>";

std::vector<InputEvent> EventsOfTimed(const std::vector<std::string_view>& feeds) {
  KeyDecoder decoder;
  std::vector<InputEvent> events;
  for (const std::string_view bytes : feeds) {
    if (bytes == kDelay) {
      decoder.Timeout(events);
    } else if (bytes == kWindow) {
      decoder.EndEscapeTail();
    } else {
      decoder.Feed(bytes, events);
    }
  }
  decoder.Timeout(events);
  return events;
}

TEST(KeyDecoder, LateRestOfAnEscapeSequenceIsDropped) {
  const struct {
    std::vector<std::string_view> feeds;
    Codes keys;
  } cases[] = {
      {{"\x1b", kDelay, "[A"}, {Vk::Escape}},
      {{"\x1b", kDelay, "[", "A", "7"}, {Vk::Escape, '7'}},
      {{"\x1b", kDelay, "[1;5A9"}, {Vk::Escape, '9'}},
      {{"\x1b", kDelay, "OP"}, {Vk::Escape}},
      {{"\x1b", kDelay, "[6~", "[A"}, {Vk::Escape, Vk::Oem4, 'A'}},  // one rest only
      // A rest cut again, however often, is still the rest until its final byte.
      {{"\x1b", kDelay, "[1;", kDelay, "5"}, {Vk::Escape}},
      {{"\x1b", kDelay, "[", kDelay, "A", "7"}, {Vk::Escape, '7'}},
      {{"\x1b", kDelay, "[", kDelay, "1;", kDelay, "5A", "7"}, {Vk::Escape, '7'}},
      {{"\x1b", kDelay, "O", kDelay, "P"}, {Vk::Escape}},
      {{"\x1b", kDelay, "[", kDelay, "\r"}, {Vk::Escape, Vk::Enter}},
      {{"\x1b", kDelay, "[", kDelay, kWindow, "A"}, {Vk::Escape, 'A'}},
      // Esc alone still acts: what follows it is read as ever.
      {{"\x1b", kDelay, "q"}, {Vk::Escape, 'Q'}},
      {{"\x1b", kDelay, "x[A"}, {Vk::Escape, 'X', Vk::Oem4, 'A'}},
      {{"\x1b", kDelay, "\x1b[B"}, {Vk::Escape, Vk::Down}},
      {{"\x1b", kDelay, "\x1b", kDelay, "[B"}, {Vk::Escape, Vk::Escape}},
      {{"\x1b", kDelay, "[1\r"}, {Vk::Escape, Vk::Enter}},
      {{"\x1b", kDelay, kWindow, "[A"}, {Vk::Escape, Vk::Oem4, 'A'}},
      {{"[A"}, {Vk::Oem4, 'A'}},
      // Inside a paste an Esc is no key, so nothing after it is taken for its rest.
      {{"\x1b[200~\x1b", kDelay, "[A\x1b[201~"}, {Vk::Oem4, 'A'}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.feeds));
    EXPECT_EQ(KeysOf(EventsOfTimed(c.feeds)), c.keys);
  }
}

TEST(KeyDecoder, EscFollowedByAKeyIsEscThenTheKey) {
  EXPECT_EQ(Keys("\x1bq"), (Codes{Vk::Escape, 'Q'}));
  EXPECT_EQ(Keys("\x1b\x1b"), (Codes{Vk::Escape, Vk::Escape}));
  EXPECT_EQ(Keys("\x1b\r"), (Codes{Vk::Escape, Vk::Enter}));
  EXPECT_EQ(Keys("\x1b\x1b[A"), (Codes{Vk::Escape, Vk::Up}));
}

TEST(KeyDecoder, CutSequenceIsDroppedAfterTheDelay) {
  KeyDecoder decoder;
  std::vector<InputEvent> events;
  decoder.Feed("\x1b[1;", events);
  EXPECT_TRUE(decoder.Pending());
  decoder.Timeout(events);
  EXPECT_TRUE(events.empty());
  EXPECT_FALSE(decoder.Pending());
}

TEST(KeyDecoder, UnknownSequencesAreSwallowedWhole) {
  const struct {
    std::string_view bytes;
    Codes keys;
  } cases[] = {
      {"\x1b[99~x", {'X'}},      {"\x1b[?25hx", {'X'}},
      {"\x1b[27;5;97~x", {'X'}}, {"\x1b[97;5ux", {'X'}},
      {"\x1b[123;45zq", {'Q'}},  {"\x1bOXx", {'X'}},
      {"\x1b[Ex", {'X'}},        {"\x1b[>1;2cx", {'X'}},
      {"\x1b[1 qx", {'X'}},      {"\x1b[1\rx", {Vk::Enter, 'X'}},
      {"\x1b[[Zx", {'X'}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    EXPECT_EQ(Keys(c.bytes), c.keys);
  }
}

TEST(KeyDecoder, OverlongSequenceIsSwallowedToItsEnd) {
  const std::string sequence = "\x1b[" + std::string(200, '1') + "Ab";
  EXPECT_EQ(Keys(sequence), Codes{'B'});
  KeyDecoder decoder;
  std::vector<InputEvent> events;
  decoder.Feed("\x1b[" + std::string(100, '2'), events);
  decoder.Feed(std::string(100, '3'), events);
  decoder.Feed("~c", events);
  EXPECT_EQ(KeysOf(events), Codes{'C'});
}

TEST(KeyDecoder, MouseAndFocusReportsAreNoKeys) {
  const std::vector<InputEvent> events = EventsOf({"\x1b[<0;10;5M\x1b[M !!\x1b[Ia"});
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0].Type, EventType::Mouse);
  EXPECT_EQ(events[1].Type, EventType::Mouse);
  EXPECT_EQ(events[2].Type, EventType::Focus);
  EXPECT_EQ(KeysOf(events), Codes{'A'});
}

TEST(KeyDecoder, PasteIsTypedText) {
  const std::vector<InputEvent> events = EventsOf({"\x1b[200~ab1!\r\nc\nd\x1b[201~"});
  EXPECT_EQ(KeysOf(events), (Codes{'A', 'B', '1', '1', Vk::Enter, 'C', Vk::Enter, 'D'}));
  EXPECT_EQ(CharactersOf(events), U"ab1!\rc\rd");
}

TEST(KeyDecoder, PasteCarriesNoKeysButItsText) {
  const struct {
    std::vector<std::string_view> feeds;
    Codes keys;
  } cases[] = {
      // Esc, escape sequences, Backspace and Ctrl bytes inside a paste are dropped.
      {{"\x1b[200~a\x1b"
        "b\x1b[A\x7f\x01\b\x1b[201~"},
       {'A', 'B'}},
      // The end mark split across reads still ends the paste; keys count again after it.
      {{"\x1b[200~ab\x1b[20", "1~\x1b[A"}, {'A', 'B', Vk::Up}},
      {{"\x1b[200~", "x", "\x1b", "[201~", "\x1b"}, {'X', Vk::Escape}},
      {{"\x1b[200~\t9\x1b[201~"}, {Vk::Tab, '9'}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.feeds));
    EXPECT_EQ(KeysOf(EventsOf(c.feeds)), c.keys);
  }
}

TEST(KeyDecoder, PastedKeysAreMarkedAndEachPasteStartsAfresh) {
  const std::vector<InputEvent> events =
      EventsOf({"1\x1b[200~a\rb\x1b[201~\x1b[200~", "\x1b[A", "c\x1b[201~2"});
  std::vector<KeySource> sources;
  for (const InputEvent& event : events) {
    sources.push_back(event.Source);
  }
  EXPECT_EQ(CharactersOf(events), U"1a\rbc2");
  EXPECT_EQ(sources,
            (std::vector<KeySource>{KeySource::Typed, KeySource::PasteStart, KeySource::Pasted,
                                    KeySource::Pasted, KeySource::PasteStart, KeySource::Typed}));
}

TEST(KeyDecoder, InPasteUntilTheEndMark) {
  KeyDecoder decoder;
  std::vector<InputEvent> events;
  decoder.Feed("\x1b[200~abc", events);
  EXPECT_TRUE(InPaste(decoder));
  decoder.Feed("\x1b[201~", events);
  EXPECT_FALSE(InPaste(decoder));
}

TEST(KeyDecoder, Utf8TextIsTypedCharacters) {
  std::vector<InputEvent> events = EventsOf({"\xc3\xa9\xe6\x97\xa5x"});
  EXPECT_EQ(KeysOf(events), (Codes{Vk::Packet, Vk::Packet, 'X'}));
  EXPECT_EQ(CharactersOf(events), U"\u00e9\u65e5x");

  events = EventsOf({"\xe6", "\x97", "\xa5"});
  EXPECT_EQ(CharactersOf(events), U"\u65e5");

  events = EventsOf({"\xf0\x9f\x98\x80"});
  EXPECT_EQ(CharactersOf(events), U"\U0001F600");

  events =
      EventsOf({"\xff"
                "a"});
  EXPECT_EQ(KeysOf(events), (Codes{Vk::Packet, 'A'}));
  EXPECT_EQ(CharactersOf(events), U"\ufffda");
}

TEST(KeyDecoder, CutCharacterIsDroppedAfterTheDelay) {
  KeyDecoder decoder;
  std::vector<InputEvent> events;
  decoder.Feed("\xe6\x97", events);
  EXPECT_TRUE(decoder.Pending());
  decoder.Timeout(events);
  EXPECT_TRUE(events.empty());
  decoder.Feed("a", events);
  EXPECT_EQ(KeysOf(events), Codes{'A'});
  // A start that no character has (here a surrogate's) is no cut character: nothing waits.
  events.clear();
  decoder.Feed("\xed\xa0", events);
  EXPECT_FALSE(decoder.Pending());
  EXPECT_EQ(CharactersOf(events), U"\ufffd\ufffd");
}

TEST(KeyDecoder, TerminalRepliesAreNoKeys) {
  KeyDecoder decoder;
  std::vector<InputEvent> events;
  decoder.Feed("a\x1b[?1007;1$y", events);
  decoder.Feed("\x1b[?1;2", events);
  decoder.Feed("cb", events);
  EXPECT_EQ(KeysOf(events), (Codes{'A', 'B'}));
  const std::vector<TerminalReply> expected = {
      {TerminalReply::Kind::ModeState, 1007, 1},
      {TerminalReply::Kind::DeviceAttributes, 0, 0},
  };
  EXPECT_EQ(decoder.TakeReplies(), expected);
  EXPECT_TRUE(decoder.TakeReplies().empty());
}

// Whatever a terminal sends, no key press has code 0, and no control byte or sequence ever
// comes out as a letter.
TEST(KeyDecoder, NoByteGivesCodeZeroOrAStrayLetter) {
  for (int byte = 0; byte < 256; ++byte) {
    const std::string one(1, static_cast<char>(byte));
    for (const std::string& bytes :
         {one, "\x1b" + one, "\x1b[" + one, "\x1bO" + one, "\x1b[1;" + one, "\x1b[[" + one}) {
      SCOPED_TRACE(testing::PrintToString(bytes));
      for (const KeyCode key : Keys(bytes)) {
        EXPECT_NE(key, 0);
        if (byte < 0x20 || byte >= 0x7f) {
          EXPECT_FALSE(key >= 'A' && key <= 'Z');
        }
      }
    }
  }
}

}  // namespace
}  // namespace lbe::console
