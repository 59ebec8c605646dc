#pragma once
// Turns the bytes a terminal sends for key presses into key-down input events: UTF-8 text,
// control bytes, and the escape sequences of xterm, tmux/screen, rxvt and the Linux console.
// Pure: no I/O and no clock; the caller says when the Esc delay has passed.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "console/console_device.h"

namespace lbe::console {

// An answer of the terminal to a query the program sent; never delivered as keys.
struct TerminalReply {
  enum class Kind : std::uint8_t { ModeState, DeviceAttributes };
  Kind Type = Kind::DeviceAttributes;
  int Mode = 0;   // ModeState: the private mode asked about (DECRQM)
  int State = 0;  // ModeState: 0 unknown mode, 1 set, 2 reset, 3 always set, 4 always reset
  friend bool operator==(const TerminalReply&, const TerminalReply&) = default;
};

// Guards one invariant: the bytes it holds are always an unfinished start of a sequence or of a
// UTF-8 character, so that a sequence split across two reads is still read as one key.
class KeyDecoder {
 public:
  // Decodes `bytes` after the ones pending from earlier feeds and appends the events they complete.
  // The key events of the text between the terminal's paste-start and paste-end marks (bracketed
  // paste) carry KeySource::PasteStart (the first) or KeySource::Pasted.
  void Feed(std::string_view bytes, std::vector<InputEvent>& events);
  // True when bytes are pending (a lone ESC, a cut sequence or character): call Timeout once the
  // Esc delay has passed without a further byte.
  bool Pending() const { return !pending_.empty(); }
  // No further byte came: a lone ESC is the Esc key; a cut sequence or character is dropped.
  // After such an Esc, bytes that begin with '[' or 'O' and complete a sequence are the late
  // rest of a key whose Esc came alone over a slow link: they are dropped, never read as keys,
  // also when that rest itself comes in pieces further apart than the Esc delay.
  void Timeout(std::vector<InputEvent>& events);
  // True after an Esc that Timeout delivered, until the next byte: call EndEscapeTail once the
  // time in which the rest of its sequence could still come has passed.
  bool AwaitingEscapeTail() const { return escapeTail_; }
  void EndEscapeTail() {
    escapeTail_ = false;
    lateTail_.clear();
  }
  // The terminal's answers recognised since the last call, oldest first.
  std::vector<TerminalReply> TakeReplies();

 private:
  // Decodes from the start of `bytes`; returns how many bytes were used (the rest waits).
  std::size_t Decode(std::string_view bytes, std::vector<InputEvent>& events);
  // Inside an over-long sequence: true while its bytes are swallowed, its final byte included.
  bool SkipDiscarded(unsigned char byte);
  // The escape sequence, or text character, at the start of `bytes`: acts on it and returns the
  // bytes it took, 0 when it is unfinished. `first`: it starts the pending bytes.
  std::size_t TakeEscape(std::string_view bytes, bool first, std::vector<InputEvent>& events);
  std::size_t TakeCharacter(std::string_view bytes, std::vector<InputEvent>& events);
  // Acts on the complete escape sequence `sequence`.
  void EscapeSequence(std::string_view sequence, std::vector<InputEvent>& events);
  void ControlByte(unsigned char byte, std::vector<InputEvent>& events);
  // Appends a key or other event, marked as pasted inside a paste.
  void Emit(InputEvent event, std::vector<InputEvent>& events);

  std::string pending_;
  bool inPaste_ = false;
  bool pasteStarting_ = false;        // the next key event is the first of a paste
  bool escapeTail_ = false;           // an Esc timed out; the rest of its sequence may follow
  bool tailPending_ = false;          // pending_ starts with a stand-in ESC for such a rest
  std::string lateTail_;              // such a rest that timed out unfinished, ESC first
  bool afterCarriageReturn_ = false;  // an LF right after a CR ends the same line
  bool discarding_ = false;           // inside an over-long sequence, swallowed to its end
  std::vector<TerminalReply> replies_;
};

}  // namespace lbe::console
