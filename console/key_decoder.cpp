#include "console/key_decoder.h"

#include <charconv>
#include <optional>

#include "console/key_codes.h"
#include "text/utf8.h"

namespace lbe::console {

namespace {

constexpr unsigned char kEscape = 0x1B;
constexpr unsigned char kCarriageReturn = 0x0D;
constexpr unsigned char kLineFeed = 0x0A;
constexpr unsigned char kDelete = 0x7F;

// A sequence longer than this without its final byte is garbage: it is swallowed to its end
// instead of being kept, so that memory stays bounded whatever the terminal sends.
constexpr std::size_t kMaxSequenceBytes = 64;

// Windows virtual-key codes of keys that key_codes.h does not name, because no screen reads
// them; they are delivered so that they still end a wait for any key.
constexpr KeyCode kNumpadMultiply = 106;
constexpr KeyCode kNumpadAdd = 107;
constexpr KeyCode kNumpadSeparator = 108;
constexpr KeyCode kNumpadSubtract = 109;
constexpr KeyCode kNumpadDecimal = 110;

constexpr int kPasteStart = 200;
constexpr int kPasteEnd = 201;

InputEvent KeyEvent(KeyCode key, char32_t character = 0) {
  InputEvent event;
  event.VirtualKeyCode = key;
  event.Character = character;
  return event;
}

InputEvent OtherEvent(EventType type) {
  InputEvent event;
  event.Type = type;
  event.KeyDown = false;
  return event;
}

bool IsParameterByte(unsigned char byte) {
  return byte >= 0x30 && byte <= 0x3F;
}
bool IsIntermediateByte(unsigned char byte) {
  return byte >= 0x20 && byte <= 0x2F;
}
bool IsFinalByte(unsigned char byte) {
  return byte >= 0x40 && byte <= 0x7E;
}

bool AllDigits(std::string_view text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

enum class Scan { Incomplete, Complete, Aborted, TooLong };

struct SequenceScan {
  Scan Result = Scan::Incomplete;
  std::size_t Length = 0;  // Complete: the whole sequence; Aborted, TooLong: bytes swallowed
};

// How far the escape sequence at the start of `bytes` (which starts with ESC) reaches.
SequenceScan ScanEscape(std::string_view bytes) {
  if (bytes.size() < 2) {
    return {Scan::Incomplete, 0};
  }
  const auto introducer = static_cast<unsigned char>(bytes[1]);
  if (introducer != '[' && introducer != 'O') {
    // ESC before anything else is the Esc key itself; what follows is read on its own.
    return {Scan::Complete, 1};
  }
  const bool controlSequence = introducer == '[';
  if (controlSequence && bytes.size() >= 3 && (bytes[2] == '[' || bytes[2] == 'M')) {
    // The Linux console's F1-F5 (ESC [ [ A) take one byte more; a mouse report without SGR
    // coding takes three raw bytes more.
    const std::size_t length = bytes[2] == '[' ? 4 : 6;
    return bytes.size() < length ? SequenceScan{Scan::Incomplete, 0}
                                 : SequenceScan{Scan::Complete, length};
  }
  bool sawIntermediate = false;
  for (std::size_t index = 2;; ++index) {
    if (index > kMaxSequenceBytes) {
      return {Scan::TooLong, index};
    }
    if (index == bytes.size()) {
      return {Scan::Incomplete, 0};
    }
    const auto byte = static_cast<unsigned char>(bytes[index]);
    if (IsParameterByte(byte) && !sawIntermediate) {
      continue;
    }
    if (IsIntermediateByte(byte) && controlSequence) {
      // rxvt ends Shift+Insert and its kind with '$' (ESC [ 2 $), where a mode report has
      // a prefix and two numbers.
      if (byte == '$' && AllDigits(bytes.substr(2, index - 2))) {
        return {Scan::Complete, index + 1};
      }
      sawIntermediate = true;
      continue;
    }
    if (IsFinalByte(byte) || (!controlSequence && IsIntermediateByte(byte))) {
      return {Scan::Complete, index + 1};
    }
    return {Scan::Aborted, index};
  }
}

struct ParsedSequence {
  char Prefix = 0;  // one of < = > ? that some sequences put before their numbers
  std::vector<int> Numbers;
  std::string_view Intermediates;
  char Final = 0;
};

// Splits the body of ESC [ ... or ESC O ... into its parts; a missing number counts 0.
ParsedSequence ParseSequence(std::string_view sequence) {
  ParsedSequence parsed;
  parsed.Final = sequence.back();
  std::string_view body = sequence.substr(2, sequence.size() - 3);
  if (!body.empty() && std::string_view("<=>?").find(body.front()) != std::string_view::npos) {
    parsed.Prefix = body.front();
    body.remove_prefix(1);
  }
  const std::size_t intermediates = body.find_first_of(" !\"#$%&'()*+,-./");
  if (intermediates != std::string_view::npos) {
    parsed.Intermediates = body.substr(intermediates);
    body = body.substr(0, intermediates);
  }
  while (!body.empty()) {
    int number = 0;
    const auto [end, error] = std::from_chars(body.data(), body.data() + body.size(), number);
    parsed.Numbers.push_back(error == std::errc() ? number : 0);
    const std::size_t separator = body.find_first_of(";:");
    if (separator == std::string_view::npos) {
      break;
    }
    body.remove_prefix(separator + 1);
    if (body.empty()) {
      parsed.Numbers.push_back(0);
    }
  }
  return parsed;
}

// The keys of ESC [ n ~ (and rxvt's ESC [ n ^, @, $ with Ctrl, Ctrl+Shift, Shift); 0 for none.
KeyCode TildeKey(int number) {
  switch (number) {
    case 1:
    case 7:
      return Vk::Home;
    case 2:
      return Vk::Insert;
    case 3:
      return Vk::Delete;
    case 4:
    case 8:
      return Vk::End;
    case 5:
      return Vk::PageUp;
    case 6:
      return Vk::PageDown;
    case 11:
    case 12:
    case 13:
    case 14:
    case 15:
      return static_cast<KeyCode>(Vk::F1 + number - 11);
    case 17:
    case 18:
    case 19:
    case 20:
    case 21:
      return static_cast<KeyCode>(Vk::F1 + 5 + number - 17);
    case 23:
    case 24:
      return static_cast<KeyCode>(Vk::F1 + 10 + number - 23);
    case 25:
    case 26:
      return static_cast<KeyCode>(Vk::F1 + 12 + number - 25);
    case 28:
    case 29:
      return static_cast<KeyCode>(Vk::F1 + 14 + number - 28);
    case 31:
    case 32:
    case 33:
    case 34:
      return static_cast<KeyCode>(Vk::F1 + 16 + number - 31);
    default:
      return 0;
  }
}

// Final letters shared by the CSI and SS3 forms of the cursor keys, Home/End and F1-F4;
// lower-case a-d are rxvt's Shift (CSI) and Ctrl (SS3) arrows.
KeyCode CursorKey(char final) {
  switch (final) {
    case 'A':
    case 'a':
      return Vk::Up;
    case 'B':
    case 'b':
      return Vk::Down;
    case 'C':
    case 'c':
      return Vk::Right;
    case 'D':
    case 'd':
      return Vk::Left;
    case 'H':
      return Vk::Home;
    case 'F':
      return Vk::End;
    case 'P':
    case 'Q':
    case 'R':
    case 'S':
      return static_cast<KeyCode>(Vk::F1 + final - 'P');
    default:
      return 0;
  }
}

// The numeric keypad in application mode (ESC O p .. ESC O y and the operators).
InputEvent KeypadEvent(char final) {
  if (final >= 'p' && final <= 'y') {
    return KeyEvent(static_cast<KeyCode>(Vk::Numpad0 + final - 'p'),
                    static_cast<char32_t>(U'0' + (final - 'p')));
  }
  switch (final) {
    case 'M':
      return KeyEvent(Vk::Enter, U'\r');
    case 'I':
      return KeyEvent(Vk::Tab, U'\t');
    case ' ':
      return KeyEvent(Vk::Space, U' ');
    case 'j':
      return KeyEvent(kNumpadMultiply, U'*');
    case 'k':
      return KeyEvent(kNumpadAdd, U'+');
    case 'l':
      return KeyEvent(kNumpadSeparator, U',');
    case 'm':
      return KeyEvent(kNumpadSubtract, U'-');
    case 'n':
      return KeyEvent(kNumpadDecimal, U'.');
    case 'o':
      return KeyEvent(Vk::NumpadDivide, U'/');
    default:
      return KeyEvent(0);
  }
}

// The key, or the mouse or focus report, of a complete sequence outside a paste that is no
// answer to a query; nullopt for a sequence that stands for nothing here.
std::optional<InputEvent> SequenceEvent(bool controlSequence, const ParsedSequence& parsed) {
  if (!controlSequence) {
    if (const KeyCode key = CursorKey(parsed.Final); key != 0) {
      return KeyEvent(key);
    }
    const InputEvent keypad = KeypadEvent(parsed.Final);
    return keypad.VirtualKeyCode != 0 ? std::optional(keypad) : std::nullopt;
  }
  if (parsed.Prefix == '<' && (parsed.Final == 'M' || parsed.Final == 'm')) {
    return OtherEvent(EventType::Mouse);
  }
  if (parsed.Prefix != 0 || !parsed.Intermediates.empty()) {
    return std::nullopt;
  }
  const int first = parsed.Numbers.empty() ? 0 : parsed.Numbers.front();
  KeyCode key = 0;
  switch (parsed.Final) {
    case '~':
    case '^':
    case '@':
    case '$':
      key = TildeKey(first);
      break;
    case 'Z':
      return KeyEvent(Vk::Tab, U'\t');  // Shift+Tab
    case 'I':
    case 'O':
      return OtherEvent(EventType::Focus);
    default:
      key = CursorKey(parsed.Final);
      break;
  }
  return key != 0 ? std::optional(KeyEvent(key)) : std::nullopt;
}

// The terminal's answer to a query that the CSI sequence `parsed` is, if it is one.
std::optional<TerminalReply> ReplyOf(const ParsedSequence& parsed) {
  if (parsed.Prefix == '?' && parsed.Intermediates == "$" && parsed.Final == 'y' &&
      parsed.Numbers.size() == 2) {
    return TerminalReply{TerminalReply::Kind::ModeState, parsed.Numbers[0], parsed.Numbers[1]};
  }
  if (parsed.Prefix == '?' && parsed.Final == 'c') {
    return TerminalReply{TerminalReply::Kind::DeviceAttributes, 0, 0};
  }
  return std::nullopt;
}

// A plain CSI sequence ending in '~' with `number` first: the paste marks.
bool IsTildeSequence(const ParsedSequence& parsed, int number) {
  return parsed.Prefix == 0 && parsed.Intermediates.empty() && parsed.Final == '~' &&
         !parsed.Numbers.empty() && parsed.Numbers.front() == number;
}

}  // namespace

void KeyDecoder::Feed(std::string_view bytes, std::vector<InputEvent>& events) {
  if (escapeTail_ && pending_.empty() && !bytes.empty()) {
    // The first byte after an Esc that timed out tells whether the rest of its sequence follows.
    escapeTail_ = false;
    const auto first = static_cast<unsigned char>(bytes.front());
    if (!lateTail_.empty() &&
        (IsParameterByte(first) || IsIntermediateByte(first) || IsFinalByte(first))) {
      pending_ = lateTail_;  // that rest came cut once more: what follows still belongs to it
      tailPending_ = true;
    } else if (lateTail_.empty() && (first == '[' || first == 'O')) {
      pending_.push_back(static_cast<char>(kEscape));
      tailPending_ = true;
    }
    lateTail_.clear();
  }
  pending_.append(bytes);
  pending_.erase(0, Decode(pending_, events));
}

void KeyDecoder::Timeout(std::vector<InputEvent>& events) {
  const bool loneEscape =
      pending_.size() == 1 && static_cast<unsigned char>(pending_[0]) == kEscape && !tailPending_;
  if (loneEscape && !inPaste_) {
    events.push_back(KeyEvent(Vk::Escape, U'\x1b'));
    escapeTail_ = true;
  } else if (tailPending_) {
    lateTail_ = pending_;  // a late rest, cut again: the window stays open for the rest of it
    escapeTail_ = true;
  }
  pending_.clear();
  tailPending_ = false;
}

std::vector<TerminalReply> KeyDecoder::TakeReplies() {
  std::vector<TerminalReply> replies;
  replies.swap(replies_);
  return replies;
}

void KeyDecoder::Emit(InputEvent event, std::vector<InputEvent>& events) {
  if (inPaste_ && event.Type == EventType::Key) {
    event.Source = pasteStarting_ ? KeySource::PasteStart : KeySource::Pasted;
    pasteStarting_ = false;
  }
  events.push_back(event);
}

std::size_t KeyDecoder::Decode(std::string_view bytes, std::vector<InputEvent>& events) {
  std::size_t index = 0;
  while (index < bytes.size()) {
    const auto byte = static_cast<unsigned char>(bytes[index]);
    if (discarding_ && SkipDiscarded(byte)) {
      ++index;
      continue;
    }
    std::size_t used = 1;
    if (byte == kEscape) {
      used = TakeEscape(bytes.substr(index), index == 0, events);
    } else if (byte < 0x20 || byte == kDelete) {
      ControlByte(byte, events);
    } else {
      afterCarriageReturn_ = false;
      used = TakeCharacter(bytes.substr(index), events);
    }
    if (used == 0) {
      return index;  // an unfinished start, kept for the next feed
    }
    index += used;
  }
  return index;
}

bool KeyDecoder::SkipDiscarded(unsigned char byte) {
  if (IsParameterByte(byte) || IsIntermediateByte(byte)) {
    return true;
  }
  discarding_ = false;
  return IsFinalByte(byte);
}

std::size_t KeyDecoder::TakeEscape(std::string_view bytes, bool first,
                                   std::vector<InputEvent>& events) {
  const SequenceScan scan = ScanEscape(bytes);
  if (scan.Result == Scan::Incomplete) {
    return 0;
  }
  // The rest of a sequence whose Esc timed out is dropped whole, never read as keys.
  const bool brokenTail = tailPending_ && first;
  tailPending_ = false;
  if (scan.Result == Scan::Complete && !brokenTail) {
    EscapeSequence(bytes.substr(0, scan.Length), events);
  }
  discarding_ = scan.Result == Scan::TooLong;
  afterCarriageReturn_ = false;
  return scan.Length;
}

std::size_t KeyDecoder::TakeCharacter(std::string_view bytes, std::vector<InputEvent>& events) {
  const auto byte = static_cast<unsigned char>(bytes.front());
  if (byte < 0x80) {
    Emit(KeyEvent(KeyCodeForCharacter(byte), byte), events);
    return 1;
  }
  const text::DecodedCharacter decoded = text::DecodeUtf8(bytes);
  if (decoded.Cut) {
    return 0;  // the rest of the character is still on its way
  }
  Emit(KeyEvent(KeyCodeForCharacter(decoded.Character), decoded.Character), events);
  return decoded.Length;
}

void KeyDecoder::ControlByte(unsigned char byte, std::vector<InputEvent>& events) {
  const bool lineFeedOfCrLf = byte == kLineFeed && afterCarriageReturn_;
  afterCarriageReturn_ = byte == kCarriageReturn;
  if (lineFeedOfCrLf) {
    return;
  }
  switch (byte) {
    case kCarriageReturn:
    case kLineFeed:
      Emit(KeyEvent(Vk::Enter, U'\r'), events);
      return;
    case '\t':
      Emit(KeyEvent(Vk::Tab, U'\t'), events);
      return;
    default:
      break;
  }
  if (inPaste_) {
    return;  // a paste types text and line ends, never keys
  }
  if (byte == kDelete || byte == '\b') {
    events.push_back(KeyEvent(Vk::Backspace, U'\b'));
    return;
  }
  // Ctrl with a letter or another key: the Ctrl key, so that Ctrl+A can never act as A but
  // still ends a wait for any key.
  events.push_back(KeyEvent(Vk::Control));
}

void KeyDecoder::EscapeSequence(std::string_view sequence, std::vector<InputEvent>& events) {
  if (inPaste_) {
    // Inside a paste only its end mark counts; every other sequence is swallowed.
    if (sequence.size() > 2 && sequence[1] == '[' &&
        IsTildeSequence(ParseSequence(sequence), kPasteEnd)) {
      inPaste_ = false;
    }
    return;
  }
  if (sequence.size() == 1) {
    events.push_back(KeyEvent(Vk::Escape, U'\x1b'));
    return;
  }
  const bool controlSequence = sequence[1] == '[';
  if (controlSequence && sequence.size() == 4 && sequence[2] == '[') {
    // The Linux console's F1-F5.
    if (sequence[3] >= 'A' && sequence[3] <= 'E') {
      events.push_back(KeyEvent(static_cast<KeyCode>(Vk::F1 + sequence[3] - 'A')));
    }
    return;
  }
  if (controlSequence && sequence.size() == 6 && sequence[2] == 'M') {
    events.push_back(OtherEvent(EventType::Mouse));
    return;
  }
  const ParsedSequence parsed = ParseSequence(sequence);
  if (const std::optional<TerminalReply> reply = ReplyOf(parsed); controlSequence && reply) {
    replies_.push_back(*reply);
    return;
  }
  if (controlSequence && IsTildeSequence(parsed, kPasteStart)) {
    inPaste_ = true;
    pasteStarting_ = true;
    afterCarriageReturn_ = false;
    return;
  }
  if (const std::optional<InputEvent> event = SequenceEvent(controlSequence, parsed)) {
    events.push_back(*event);
  }
}

}  // namespace lbe::console
