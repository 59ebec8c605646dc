// The terminal key decoder on raw bytes, as a terminal delivers them: cut into reads at any
// point, with the Esc delay passing between some of them.
//
// The input: its last bytes steer (FuzzedDataProvider takes integers from the end), one byte
// per read: bit 0 lets the Esc delay pass after the read, the rest % 17 is the read's length;
// the bytes of the reads come from the front.
//
// Checked: no key press with code 0, every key event a key-down and every other event not,
// characters only valid code points, a paste's characters in one run from its first, no event
// from the late two-byte rest ("[A") of a key whose Esc timed out; and, without delays, the same
// events, replies and state whether the bytes come in one read or in the pieces given (a sequence
// cut across reads is still one key). KeyCodeForCharacter never gives 0 for any code point.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "console/key_codes.h"
#include "console/key_decoder.h"

namespace lbe::fuzzing {
namespace {

using console::EventType;
using console::InputEvent;
using console::KeyDecoder;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "key_decoder_fuzz: %s\n", what);
  std::abort();
}

// Whether `decoder` is inside a paste, read from what it decodes next: once the Esc delay has
// passed, a Tab is one key event in any state, marked as pasted inside a paste.
bool InPaste(KeyDecoder decoder) {
  std::vector<InputEvent> events;
  decoder.Timeout(events);
  decoder.Feed("\t", events);
  return !events.empty() && console::IsPasted(events.back());
}

bool SameEvent(const InputEvent& a, const InputEvent& b) {
  return a.Type == b.Type && a.KeyDown == b.KeyDown && a.RepeatCount == b.RepeatCount &&
         a.VirtualKeyCode == b.VirtualKeyCode && a.Character == b.Character && a.Source == b.Source;
}

void CheckEvents(const std::vector<InputEvent>& events) {
  bool inPaste = false;
  for (const InputEvent& event : events) {
    if (console::IsPasted(event) && event.Type != EventType::Key) {
      Fail("a pasted event that is no key");
    }
    if (event.Source == console::KeySource::Pasted && !inPaste) {
      Fail("a paste's text not in one run from its first character");
    }
    inPaste = console::IsPasted(event);
    if (event.Type == EventType::Key) {
      if (event.VirtualKeyCode == 0) {
        Fail("a key press with code 0");
      }
      if (!event.KeyDown) {
        Fail("a key release (the decoder reports presses only)");
      }
      if (event.RepeatCount != 1) {
        Fail("a repeat count other than 1");
      }
    } else if (event.KeyDown) {
      Fail("a non-key event marked as a key-down");
    }
    if (event.Character > 0x10FFFF || (event.Character >= 0xD800 && event.Character <= 0xDFFF)) {
      Fail("a character that is no code point");
    }
  }
}

// "[A", "OP" and their like: all that follows ESC in a two-byte key.
bool IsWholeShortRest(std::string_view bytes) {
  if (bytes.size() != 2 || (bytes[0] != '[' && bytes[0] != 'O') || bytes[1] < 0x40 ||
      bytes[1] > 0x7E) {
    return false;
  }
  return bytes[0] == 'O' || (bytes[1] != '[' && bytes[1] != 'M');  // ESC [ [ and ESC [ M: longer
}

struct Read {
  std::string Bytes;
  bool DelayAfter = false;
};

void RunOnce(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  const auto character = provider.ConsumeIntegral<std::uint32_t>();
  if (console::KeyCodeForCharacter(static_cast<char32_t>(character)) == 0) {
    Fail("KeyCodeForCharacter gave 0");
  }
  std::vector<Read> reads;
  std::string all;
  while (provider.remaining_bytes() > 0) {
    const auto steer = provider.ConsumeIntegral<std::uint8_t>();
    Read read;
    read.DelayAfter = (steer & 1) != 0;
    read.Bytes = provider.ConsumeBytesAsString((steer >> 1) % 17);
    all += read.Bytes;
    reads.push_back(std::move(read));
  }

  // As the terminal console reads: a delay passes only while bytes are pending.
  KeyDecoder timed;
  std::vector<InputEvent> timedEvents;
  bool escapeTimedOut = false;
  for (const Read& read : reads) {
    const std::size_t before = timedEvents.size();
    timed.Feed(read.Bytes, timedEvents);
    // The late rest of a key whose Esc timed out ('[' or 'O' and a final byte) gives nothing.
    if (escapeTimedOut && IsWholeShortRest(read.Bytes) && timedEvents.size() > before) {
      Fail("the rest of a sequence after a timed-out Esc became keys");
    }
    escapeTimedOut = escapeTimedOut && read.Bytes.empty();
    if (read.DelayAfter && timed.Pending()) {
      const std::size_t pendingBefore = timedEvents.size();
      timed.Timeout(timedEvents);
      escapeTimedOut = timedEvents.size() > pendingBefore &&
                       timedEvents.back().VirtualKeyCode == console::Vk::Escape;
      if (timed.Pending()) {
        Fail("bytes still pending after the Esc delay");
      }
    }
  }
  timed.Timeout(timedEvents);
  CheckEvents(timedEvents);
  timed.TakeReplies();

  KeyDecoder pieces;
  std::vector<InputEvent> pieceEvents;
  for (const Read& read : reads) {
    pieces.Feed(read.Bytes, pieceEvents);
  }
  KeyDecoder whole;
  std::vector<InputEvent> wholeEvents;
  whole.Feed(all, wholeEvents);
  CheckEvents(wholeEvents);
  if (pieceEvents.size() != wholeEvents.size()) {
    Fail("cutting the bytes into reads changed the number of events");
  }
  for (std::size_t i = 0; i < wholeEvents.size(); ++i) {
    if (!SameEvent(pieceEvents[i], wholeEvents[i])) {
      Fail("cutting the bytes into reads changed an event");
    }
  }
  if (pieces.TakeReplies() != whole.TakeReplies()) {
    Fail("cutting the bytes into reads changed the terminal's replies");
  }
  if (pieces.Pending() != whole.Pending() || InPaste(pieces) != InPaste(whole)) {
    Fail("cutting the bytes into reads changed the decoder's state");
  }
  pieces.Timeout(pieceEvents);
  whole.Timeout(wholeEvents);
  if (pieceEvents.size() != wholeEvents.size()) {
    Fail("cutting the bytes into reads changed what the Esc delay gives");
  }
}

}  // namespace
}  // namespace lbe::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  lbe::fuzzing::RunOnce(data, size);
  return 0;
}
