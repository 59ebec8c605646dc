// Key streams and typed lines through the whole program on the emulated console: start-up from
// a command line, the menu, the line edit mode, the list view, and the A, G, F and S commands.
//
// The input is read from its start. First the start-up:
//   byte 0      buffer width  = 80 + (byte & 31), when bit 7 is set; else 80 x 25
//   byte 1      buffer height = 25 + byte % 24, when bit 7 of byte 0 is set
//   byte 2      start attribute
//   byte 3      number of command-line parameters (% 5), each then read by ReadParameters
// then one item each time the program waits for input and none is queued. A key wait (menu,
// edit mode, "Press any key...", "(more)", the quit question) takes a key item:
//   0-127       one key press (and its release) from kKeys
//   128-191     a hex digit key: low 4 bits the digit, bit 4 the keypad / lower case
//   192-255     by the low 6 bits: a lone key release, a mouse, window-size, focus or menu
//               event, a key press with code 0, with repeat count 3, with any code (2 more
//               bytes), a bracketed paste of 1-24 hex digits, line ends and text characters
//               (then 1 + 24 bytes), a burst of 1-16 key items queued at once (typed ahead:
//               what a later prompt reads as its line; no bursts in a burst), or a key typing
//               one of kTextCharacters
// A line wait ("Adress:", "Goto:", "FileName:") takes a line item, by byte % 8:
//   0-2         address text of 0-9 characters from kAddressCharacters, then Enter
//   3           a name from Names() (the typeable part) typed plainly, then Enter
//   4           Enter alone
//   5-7         0-23 text characters and line-editing keys, then Enter
// The run ends when the input ends (the waiting call throws InputEnded).
//
// Safety: the process may run as root. Each run works in a fresh temporary folder, and every
// name it can give the program stays in it: command-line names come only from Names(), typed
// characters never include "/" or ".", names with those are typed only as whole lines from
// Names(), and once such a line is in the line history, Up and Down (which recall it for
// editing) become Left and Right; so no editing can cut a name into "/..." or "..". GuardName
// checks every typed line on its way into the program and aborts on anything else.
//
// Checked at every wait and at the end: StartAddress a multiple of 8 in 0..0xFFF8, StartLine
// its line, StartLine - 1 <= EndLine <= 8191, the cursor inside the buffer, the window unmoved;
// and what the screen shows: the menu's range, the edit line's bytes, checksums and cursor, the
// list's lines, and after "has been saved." the file's bytes (CheckScreen). When input ends
// with unsaved changes, the rescue copy the program then writes holds the range in use.
//
// LBE_FUZZ_TRACE=1 prints each run as the lines of a scenario test that replays it.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "console/emulated_console.h"
#include "console/key_codes.h"
#include "console/key_input.h"
#include "console/text_output.h"
#include "console/window.h"
#include "files/edited_file.h"
#include "files/file_layer.h"
#include "files/rescue_copy.h"
#include "fuzz/fuzz_folder.h"
#include "image/memory_image.h"
#include "launch_settings.h"
#include "screens/program.h"
#include "text/utf8.h"

namespace lbe::fuzzing {
namespace {

namespace Vk = console::Vk;
using console::EventType;
using console::InputEvent;
using console::KeyCode;

// The fuzz input read from its start, one byte at a time; 0 once it has run out.
class ByteReader {
 public:
  ByteReader(const std::uint8_t* bytes, std::size_t size) : bytes_(bytes), size_(size) {}
  bool Empty() const { return next_ == size_; }
  std::uint8_t Next() { return Empty() ? 0 : bytes_[next_++]; }

 private:
  const std::uint8_t* bytes_;
  std::size_t size_;
  std::size_t next_ = 0;
};

struct Key {
  KeyCode Code;
  char32_t Character;
};

// Every key a screen reacts to, several twice for weight, and some that none does. The
// characters never include "/" or "." (see Safety above). Each group of 8 starts a line; the
// seeds in fuzz/corpus use the indexes.
// clang-format off
constexpr Key kKeys[] = {
    {'E', U'e'}, {'G', U'g'}, {'L', U'l'}, {'S', U's'}, {'F', U'f'}, {'A', U'a'}, {'Q', U'q'},
    {Vk::Escape, U'\x1b'},
    {'Y', U'y'}, {'N', U'n'}, {'R', U'r'}, {'T', U't'}, {'Y', U'Y'}, {'N', U'N'}, {'E', U'E'},
    {Vk::Escape, U'\x1b'},
    {Vk::Left, 0}, {Vk::Right, 0}, {Vk::Up, 0}, {Vk::Down, 0}, {Vk::PageUp, 0},
    {Vk::PageDown, 0}, {Vk::Home, 0}, {Vk::End, 0},
    {Vk::Insert, 0}, {Vk::Delete, 0}, {Vk::Backspace, U'\b'}, {Vk::Enter, U'\r'}, {Vk::Left, 0},
    {Vk::Right, 0}, {Vk::Up, 0}, {Vk::Down, 0},
    {'B', U'b'}, {'C', U'C'}, {'D', U'd'}, {'0', U'0'}, {'7', U'7'}, {'9', U'9'},
    {Vk::Numpad0, U'0'}, {Vk::Numpad0 + 9, U'9'},
    {Vk::Tab, U'\t'}, {Vk::Space, U' '}, {Vk::Shift, 0}, {Vk::Control, 0}, {Vk::Alt, 0},
    {Vk::F1, 0}, {Vk::F1 + 11, 0}, {'H', U'h'},
    {'M', U'm'}, {'X', U'x'}, {'Z', U'z'}, {'1', U'!'}, {Vk::Oem1, U':'}, {Vk::Slash, U'?'},
    {Vk::OemPeriod, U'>'}, {Vk::OemMinus, U'-'},
    {Vk::OemPlus, U'+'}, {Vk::Oem5, U'\\'}, {Vk::Oem7, U'"'}, {Vk::Oem3, U'~'},
    {Vk::Packet, U'é'}, {Vk::Packet, U'ア'}, {'K', U'k'}, {'P', U'P'},
};

// What a typed line may hold: address digits, the characters the path checks refuse, wide,
// combining, bidirectional, control and invalid code points. Never "/" or ".".
constexpr char32_t kTextCharacters[] = {
    U'0', U'1', U'7', U'9', U'a', U'b', U'c', U'f', U'A', U'F', U'x', U'y', U'z', U'Z',
    U' ', U' ', U'-', U'_', U':', U'?', U'*', U'"', U'<', U'>', U'|', U'\\', U'~', U'#',
    U'é', U'ア', U'€', U'漢', U'\U0001F600', U'\u0301', U'\u202E', U'\uFFFD', U'\u00A0',
    U'\x7F', U'\x85', U'\t', char32_t{0xD800}, char32_t{0x110000},
};
// clang-format on

constexpr std::string_view kAddressCharacters = "0123456789abcdefABCDEF0fF8x -+:g";

// Names that can be typed at a prompt: the error paths of the path checks, the laid-out files,
// and names the status line must cut or shorten.
const std::vector<std::string>& TypedNames() {
  static const std::vector<std::string> names = {
      "",
      " ",
      "a:b",
      "x?y",
      "x*y",
      "q\"t<>|",
      "sub/x.bin",
      std::string(kFolder),
      std::string(kFolder) + "/x.bin",
      std::string(kFolder) + "/",
      std::string(kDataFile) + "/x",
      std::string(kDataFile),
      std::string(kEmptyFile),
      std::string(kBigFile),
      std::string(kHugeFile),
      std::string(kFifo),
      std::string(kLink),
      std::string(kDanglingLink),
      std::string(kLinkLoop),
      "new.bin",
      std::string(kProgramFile),
      std::string(kShortProgram),
      std::string(kFarProgram),
      "new.prg",
      "  " + std::string(kDataFile) + "  ",
      "ア.bin",
      "back\\slash",
      std::string(255, 'n'),
      std::string(256, 'n'),
  };
  return names;
}

// The typed names and, last, those only the command line gives: typing cannot give control
// characters, and a line as long as the last would cost seconds of echo.
const std::vector<std::string>& Names() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> all = TypedNames();
    all.insert(all.end(), {"a\x01b", "esc\x1b]0;t\x07", std::string(4096, 'p')});
    return all;
  }();
  return names;
}

bool IsTableName(std::string_view text) {
  for (const std::string& name : Names()) {
    if (name == text) {
      return true;
    }
  }
  return false;
}

// With LBE_FUZZ_TRACE set, a run prints its start-up and every input event the program takes,
// as the lines of a scenario test that replays it on a queued EmulatedConsole.
bool Tracing() {
  static const bool tracing = std::getenv("LBE_FUZZ_TRACE") != nullptr;
  return tracing;
}

std::string CppText(std::string_view text) {
  std::string quoted = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += c;
    } else if (byte < 0x20 || byte >= 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X\"\"", byte);
      quoted += escaped;
    } else {
      quoted += c;
    }
  }
  return quoted + "\"";
}

// A key press and the release right after it are one PressKey; anything else is pushed as is.
void TraceEvent(const InputEvent& event) {
  static InputEvent pressed{EventType::Mouse, false, 0, 0, 0};
  const bool release = event.Type == EventType::Key && !event.KeyDown;
  if (release && pressed.Type == EventType::Key && pressed.VirtualKeyCode == event.VirtualKeyCode &&
      pressed.Character == event.Character) {
    pressed = {EventType::Mouse, false, 0, 0, 0};
    return;
  }
  if (event.Type == EventType::Key && event.KeyDown && event.RepeatCount == 1 &&
      !console::IsPasted(event)) {
    std::fprintf(stderr, "  screen.PressKey(%u, U'\\x%X');\n", event.VirtualKeyCode,
                 static_cast<unsigned>(event.Character));
    pressed = event;
    return;
  }
  std::fprintf(stderr,
               "  screen.PushEvent({console::EventType(%d), %s, %u, %u, U'\\x%X', "
               "console::KeySource(%d)});\n",
               static_cast<int>(event.Type), event.KeyDown ? "true" : "false", event.RepeatCount,
               event.VirtualKeyCode, static_cast<unsigned>(event.Character),
               static_cast<int>(event.Source));
  pressed = {EventType::Mouse, false, 0, 0, 0};
}

void TraceStart(const std::vector<std::string>& parameters, int width, int height, int attribute) {
  std::fprintf(stderr,
               "  // EmulatedConsole screen{%d, %d, 0x%02X};\n  options = ParseCommandLine({",
               width, height, attribute);
  for (std::size_t i = 0; i < parameters.size(); ++i) {
    std::fprintf(stderr, "%s%s", i == 0 ? "" : ", ", CppText(parameters[i]).c_str());
  }
  std::fputs("});\n", stderr);
}

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "program_fuzz: %s\n", what);
  std::abort();
}

// The last line of defence: a name that could leave the folder never reaches the program.
void GuardName(std::string_view name) {
  std::string_view trimmed = name;
  while (!trimmed.empty() && static_cast<unsigned char>(trimmed.front()) <= 32) {
    trimmed.remove_prefix(1);
  }
  for (std::string_view text : {name, trimmed}) {
    if (!text.empty() && text.front() == '/') {
      Fail("an absolute path reached the program");
    }
    for (std::size_t start = 0; start <= text.size();) {
      const std::size_t slash = std::min(text.find('/', start), text.size());
      if (slash > start && text[start] == '.') {
        Fail("a name component starting with '.' reached the program");
      }
      start = slash + 1;
    }
  }
}

std::uint64_t totalRuns = 0;
std::uint64_t totalKeys = 0;

void PrintTotals() {
  std::fprintf(stderr, "program_fuzz: %llu runs, %llu key presses through the program\n",
               static_cast<unsigned long long>(totalRuns),
               static_cast<unsigned long long>(totalKeys));
}

void CheckInvariants(const console::EmulatedConsole& screen) {
  const auto& range = image::Range;
  if (range.StartAddress % 8 != 0 || range.StartAddress < 0 || range.StartAddress > 0xFFF8) {
    Fail("StartAddress is no line address inside the image");
  }
  if (range.StartLine != range.StartAddress / 8) {
    Fail("StartLine is not the line of StartAddress");
  }
  if (range.EndLine > image::kLastLine || range.EndLine < range.StartLine - 1) {
    Fail("EndLine is outside StartLine - 1 .. 8191");
  }
  const console::CellPos cursor = screen.Cursor();
  if (cursor.X < 0 || cursor.Y < 0 || cursor.X >= screen.Width() || cursor.Y >= screen.Height()) {
    Fail("the cursor is outside the screen buffer");
  }
  const auto& window = console::Console;
  if (window.Left != 0 || window.Top != 0 || window.Right != 79 || window.Bottom != 24) {
    Fail("the window moved");
  }
  if (console::OutputBuffer.Pending > console::kOutputBufferSize) {
    Fail("the output buffer overflowed");
  }
}

// ---- What the screen shows against the image and the range --------------------------------

// The hexadecimal value of `count` upper-case digits in row `y` from column `x`; -1 when any
// cell holds something else.
int CellsHex(const console::EmulatedConsole& screen, int x, int y, int count) {
  int value = 0;
  for (int i = 0; i < count; ++i) {
    const char32_t c = screen.CellAt({x + i, y}).Character;
    if (c >= U'0' && c <= U'9') {
      value = value * 16 + static_cast<int>(c - U'0');
    } else if (c >= U'A' && c <= U'F') {
      value = value * 16 + static_cast<int>(c - U'A') + 10;
    } else {
      return -1;
    }
  }
  return value;
}

bool CellsAre(const console::EmulatedConsole& screen, int x, int y, std::u32string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (screen.CellAt({x + static_cast<int>(i), y}).Character != text[i]) {
      return false;
    }
  }
  return true;
}

int Checksum(std::int32_t address) {
  int sum = 0;
  for (int i = 0; i < image::kLineBytes; ++i) {
    sum += image::Image[address + i];
  }
  return sum % 256;
}

// The 24 cells "AAAA HHHHHHHHHHHHHHHH:CC" of a line and its checksum at column `x` of row `y`;
// the address shown, or -1 when the cells hold no such text.
int ShownLineAddress(const console::EmulatedConsole& screen, int x, int y) {
  const int address = CellsHex(screen, x, y, 4);
  if (address < 0 || address % 8 != 0 || !CellsAre(screen, x + 4, y, U" ") ||
      !CellsAre(screen, x + 21, y, U":")) {
    return -1;
  }
  for (int i = 0; i < 8; ++i) {
    if (CellsHex(screen, x + 5 + 2 * i, y, 2) < 0) {
      return -1;
    }
  }
  return CellsHex(screen, x + 22, y, 2) < 0 ? -1 : address;
}

// A line's text must show the image's bytes and their checksum.
void CheckShownLine(const console::EmulatedConsole& screen, int x, int y, int address) {
  for (int i = 0; i < 8; ++i) {
    if (CellsHex(screen, x + 5 + 2 * i, y, 2) != image::Image[address + i]) {
      Fail("a line on screen shows other bytes than the image holds");
    }
  }
  if (CellsHex(screen, x + 22, y, 2) != Checksum(address)) {
    Fail("a line on screen shows another checksum than its bytes give");
  }
}

// The file `name` holds the bytes Save writes (StartAddress to the end of EndLine) from byte
// `offset` on, and ends right after them when `endsThere`.
void CheckFileHoldsRange(const std::string& name, std::uint64_t offset, bool endsThere,
                         const char* what) {
  const auto& range = image::Range;
  const std::int32_t count = std::clamp((range.EndLine + 1) * 8 - range.StartAddress, 0,
                                        image::kImageSize - range.StartAddress);
  // Only the bytes in question are read: an offset save may leave a sparse file of gigabytes.
  std::error_code error;
  const std::uint64_t size = std::filesystem::file_size(name, error);
  const std::uint64_t end = offset + static_cast<std::uint64_t>(count);
  std::string bytes(static_cast<std::size_t>(count), '\0');
  std::ifstream file(name, std::ios::binary);
  file.seekg(static_cast<std::streamoff>(offset));
  file.read(bytes.data(), count);
  const auto* image = reinterpret_cast<const char*>(image::Image.Bytes.data());
  if (error || !file || size < end || (endsThere && size != end) ||
      bytes != std::string_view(image + range.StartAddress, static_cast<std::size_t>(count))) {
    Fail(what);
  }
}

// A .prg saved: its header is the load address, and its bytes are the image's from there (less
// the New MLX shift), at least to the last byte of the range the image holds. A rescue copy
// starts lower when bytes were typed below the load address, which a save refuses.
void CheckProgramFile(const std::string& name, bool rescue) {
  std::ifstream file(name, std::ios::binary);
  const std::string bytes{std::istreambuf_iterator<char>(file), {}};
  const auto load = files::Placement.LoadAddress;
  std::int32_t from = load ? *load - files::Placement.AddressShift : 0;
  for (std::int32_t at = 0; rescue && at < from; ++at) {
    if (image::Image.Marks[static_cast<std::size_t>(at)]) {
      from = at;
      break;
    }
  }
  const std::int32_t header = from + files::Placement.AddressShift;
  if (!load || bytes.size() < 2 ||
      (static_cast<std::uint8_t>(bytes[0]) | static_cast<std::uint8_t>(bytes[1]) << 8) != header) {
    Fail("a .prg reported saved does not start with its load address");
  }
  const std::size_t count = bytes.size() - 2;
  if (from + static_cast<std::int64_t>(count) > image::kImageSize ||
      std::string_view(bytes).substr(2) !=
          std::string_view(reinterpret_cast<const char*>(image::Image.Bytes.data()) + from,
                           count)) {
    Fail("a .prg reported saved does not hold the image's bytes from its load address");
  }
  for (std::int32_t at = from + static_cast<std::int32_t>(count); at < image::kImageSize; ++at) {
    if (image::Image.Marks[static_cast<std::size_t>(at)] && at <= image::RangeEndAddress() &&
        at <= 0xFFFF - files::Placement.AddressShift) {
      Fail("a .prg reported saved leaves out a byte of the range");
    }
  }
}

// After "File %s has been saved.", the file holds the range in use at the offset, and ends
// after it unless the load read only part of it: a save replaces what the load read and leaves
// the bytes beyond it alone.
void CheckSavedFile(const console::EmulatedConsole& screen) {
  std::string shown;
  for (int y = 0; y < screen.Height(); ++y) {
    shown += screen.RowText(y);
  }
  if (shown.find(" has been saved.") == std::string::npos) {
    return;
  }
  if (files::FormatOf(files::CurrentFileName) == records::FileFormat::Prg) {
    CheckProgramFile(files::CurrentFileName, false);
    return;
  }
  CheckFileHoldsRange(files::CurrentFileName, files::Placement.Offset,
                      files::Placement.Stretch.ToEnd,
                      "the file reported saved does not hold the range");
}

// Between keys, whichever screen stands is checked against the state it shows: the menu's
// range, the edit line (with the checksum of the line before and the cursor on a digit), or a
// page of the list (consecutive lines of the range, column by column).
void CheckScreen(const console::EmulatedConsole& screen) {
  const auto& range = image::Range;
  if (CellsAre(screen, 0, 0, U"Addr: ")) {
    // "%.4x" of a negative end (an empty file loaded at 0) shows its eight 32-bit digits.
    char shown[32];
    std::snprintf(shown, sizeof shown, "%.4X-%.4X   ", static_cast<unsigned>(range.StartAddress),
                  static_cast<unsigned>(range.EndLine * 8 + 7));
    const std::u32string expected(shown, shown + std::strlen(shown));
    if (!CellsAre(screen, 6, 0, expected)) {
      Fail("the status line shows another range than the one in use");
    }
    return;
  }
  if (CellsAre(screen, 0, 0, U"File")) {
    CheckSavedFile(screen);
    return;
  }
  const int first = ShownLineAddress(screen, 0, 0);
  if (first < 0) {
    return;
  }
  if (CellsAre(screen, 24, 0, U" [")) {
    // The edit line, with the cursor on one of its 16 digits.
    CheckShownLine(screen, 0, 0, first);
    const bool atStart = first <= range.StartAddress;
    if (first < range.StartAddress ||
        (atStart ? !CellsAre(screen, 26, 0, U"--")
                 : CellsHex(screen, 26, 0, 2) != Checksum(first - 8)) ||
        !CellsAre(screen, 28, 0, U"]")) {
      Fail("the edit line shows a wrong line before it");
    }
    const console::CellPos cursor = screen.Cursor();
    // While "Find:" asks on row 2, the cursor is at the typed text.
    const bool finding = CellsAre(screen, 0, 1, U"Find:") && cursor.Y >= 1;
    if (!finding && (cursor.Y != 0 || cursor.X < 5 || cursor.X > 20)) {
      Fail("the edit mode's cursor is not on a hex digit of the edit line");
    }
    return;
  }
  // A page of the list: 3 columns of 24 lines, filled column by column.
  for (int column = 0; column < 3; ++column) {
    for (int row = 0; row < 24; ++row) {
      const int x = column * 26;
      const int address = ShownLineAddress(screen, x, row);
      if (address < 0) {
        continue;
      }
      if (address != first + 8 * (column * 24 + row) || address < range.StartAddress ||
          address > range.EndLine * 8) {
        Fail("the list shows a line out of its order or outside the range");
      }
      CheckShownLine(screen, x, row, address);
    }
  }
}

// The console the program runs on: input comes from the fuzz data, decoded when the program
// waits and nothing is queued, as a key item or, inside a line read, as a line item.
class ScriptedConsole : public console::EmulatedConsole {
 public:
  ScriptedConsole(ByteReader& data, int width, int height, std::uint16_t attribute)
      : EmulatedConsole(width, height, attribute), data_(data) {}

  bool WaitForInput() override {
    CheckInvariants(*this);
    CheckScreen(*this);
    CheckTypedByteInRange();
    if (EmulatedConsole::WaitForInput()) {
      return true;
    }
    if (data_.Empty()) {
      return false;
    }
    if (MovesGigabytes()) {
      // Moving what follows the huge file's window, on a folder in memory, takes seconds a
      // run: declined. Smaller moves go the way the keys say.
      PressKey('N');
      return EmulatedConsole::WaitForInput();
    }
    if (inLine_) {
      QueueLine();
    } else {
      QueueKeyItem(false);
    }
    return EmulatedConsole::WaitForInput();
  }

  // True while the save's question about moving the rest of the file names a gigabyte or more.
  bool MovesGigabytes() const {
    constexpr std::string_view kQuestion = "This save moves the ";
    const std::string row = RowText(0);
    return row.starts_with(kQuestion) &&
           std::strtoull(row.c_str() + kQuestion.size(), nullptr, 10) >= (1ull << 30);
  }

  bool ReadInput(InputEvent& event) override {
    if (!EmulatedConsole::ReadInput(event)) {
      return false;
    }
    if (Tracing()) {
      TraceEvent(event);
    }
    if (event.Type == EventType::Key && event.KeyDown) {
      // Only the edit mode, whose line stands on row 1, types bytes.
      lastKeyTypesByte_ = CellsAre(*this, 24, 0, U" [") && TypesByte(event);
      ++keys_;
      touchesFiles_ = touchesFiles_ || event.VirtualKeyCode == 'S';
    }
    return true;
  }

  std::optional<std::string> ReadLine() override {
    inLine_ = true;
    std::optional<std::string> line = EmulatedConsole::ReadLine();
    inLine_ = false;
    if (line) {
      GuardName(*line);
      if (line->find_first_of("/.") != std::string::npos) {
        historyHoldsPaths_ = true;
      }
    }
    return line;
  }

  std::uint64_t Keys() const { return keys_; }
  // True when a save may have changed the folder's files.
  bool TouchesFiles() const { return touchesFiles_; }

 private:
  // A key that types a byte in the edit mode: a digit or R, or a pasted hex digit.
  static bool TypesByte(const InputEvent& event) {
    if (console::IsPasted(event)) {
      const char32_t c = event.Character;
      return (c >= U'0' && c <= U'9') || (c >= U'a' && c <= U'f') || (c >= U'A' && c <= U'F');
    }
    const KeyCode code = event.VirtualKeyCode;
    return (code >= Vk::Digit0 && code <= Vk::Digit0 + 9) || (code >= Vk::A && code <= 'F') ||
           (code >= Vk::Numpad0 && code <= Vk::Numpad0 + 9) || code == 'R';
  }

  // A digit or R taken by the edit mode lies in the range Save writes: on the line shown, or
  // on the line before it when the byte ended its line (and the move down raised EndLine).
  void CheckTypedByteInRange() const {
    if (!lastKeyTypesByte_ || !CellsAre(*this, 24, 0, U" [")) {
      return;
    }
    const int shown = ShownLineAddress(*this, 0, 0);
    if (shown >= 0 && shown / 8 > image::Range.EndLine) {
      Fail("a byte was typed on a line outside the range Save writes");
    }
  }

  void Press(KeyCode code, char32_t character, std::uint16_t repeat = 1) {
    PushEvent({EventType::Key, true, repeat, code, character});
    PushEvent({EventType::Key, false, 1, code, character});
  }

  // Up and Down recall earlier lines; once one held a "/" or ".", a recalled line could be cut
  // into a path that leaves the folder, so they become Left and Right in what a line may read.
  KeyCode LineSafe(KeyCode code) const {
    if (historyHoldsPaths_ && code == Vk::Up) {
      return Vk::Left;
    }
    if (historyHoldsPaths_ && code == Vk::Down) {
      return Vk::Right;
    }
    return code;
  }

  void PressTextCharacter(std::uint8_t pick) {
    const char32_t c = kTextCharacters[pick % std::size(kTextCharacters)];
    Press(console::KeyCodeForCharacter(c), c);
  }

  // A lone key is taken by the key wait that asked for it, so only a burst's keys can reach a
  // line read.
  void QueueKeyItem(bool inBurst) {
    const std::uint8_t b = data_.Next();
    if (b < 128) {
      const Key& key = kKeys[b % std::size(kKeys)];
      Press(inBurst ? LineSafe(key.Code) : key.Code, key.Character);
      return;
    }
    if (b < 192) {
      const int digit = b & 15;
      const bool alternative = (b & 16) != 0;
      if (digit < 10) {
        Press(static_cast<KeyCode>((alternative ? Vk::Numpad0 : Vk::Digit0) + digit),
              static_cast<char32_t>(U'0' + digit));
      } else {
        Press(static_cast<KeyCode>(Vk::A + digit - 10),
              static_cast<char32_t>((alternative ? U'a' : U'A') + digit - 10));
      }
      return;
    }
    const int special = b & 63;
    switch (special) {
      case 0:
        PushEvent({EventType::Key, false, 1, 'E', U'e'});
        return;
      case 1:
        PushEvent({EventType::Mouse, false, 0, 0, 0});
        return;
      case 2:
        PushEvent({EventType::WindowSize, false, 0, 0, 0});
        return;
      case 3:
        PushEvent({EventType::Focus, false, 0, 0, 0});
        return;
      case 4:
        PushEvent({EventType::Menu, false, 0, 0, 0});
        return;
      case 5:
        Press(0, 0);
        return;
      case 6:
        Press(inBurst ? LineSafe(Vk::Down) : Vk::Down, 0, 3);
        return;
      case 7: {
        const int high = data_.Next();
        const auto code = static_cast<KeyCode>(high << 8 | data_.Next());
        Press(inBurst ? LineSafe(code) : code, 0);
        return;
      }
      default:
        break;
    }
    if (special == 8) {
      QueuePaste();
      return;
    }
    if (special < 16 && !inBurst) {
      const int count = 1 + data_.Next() % 16;
      for (int i = 0; i < count && !data_.Empty(); ++i) {
        QueueKeyItem(true);
      }
      return;
    }
    PressTextCharacter(static_cast<std::uint8_t>(special));
  }

  // A bracketed paste of hex digits, line ends and text characters.
  void QueuePaste() {
    std::string text;
    const int length = 1 + data_.Next() % 24;
    for (int i = 0; i < length; ++i) {
      const std::uint8_t c = data_.Next();
      if (c < 16) {
        text += "0123456789abcdef"[c];
      } else if (c < 20) {
        text += '\n';
      } else {
        text::AppendUtf8(text, kTextCharacters[c % std::size(kTextCharacters)]);
      }
    }
    Paste(text);
  }

  void QueueLine() {
    const std::uint8_t kind = data_.Next() % 8;
    if (kind <= 2) {
      const int length = data_.Next() % 10;
      for (int i = 0; i < length; ++i) {
        const char c = kAddressCharacters[data_.Next() % kAddressCharacters.size()];
        Press(console::KeyCodeForCharacter(static_cast<char32_t>(c)), static_cast<char32_t>(c));
      }
    } else if (kind == 3) {
      TypeText(TypedNames()[data_.Next() % TypedNames().size()]);
    } else if (kind >= 5) {
      static constexpr KeyCode kEditingKeys[] = {
          Vk::Backspace, Vk::Delete, Vk::Left, Vk::Right, Vk::Home,
          Vk::End,       Vk::Escape, Vk::Up,   Vk::Down,  Vk::Insert,
      };
      const int length = data_.Next() % 24;
      for (int i = 0; i < length; ++i) {
        const std::uint8_t c = data_.Next();
        if (c < 192) {
          PressTextCharacter(c);
        } else if (c < 240) {
          Press(LineSafe(kEditingKeys[c % std::size(kEditingKeys)]), 0);
        } else if (c < 248) {
          PushEvent({EventType::Mouse, false, 0, 0, 0});
        } else {
          Press(0, 0);
        }
      }
    }
    Press(Vk::Enter, U'\r');
  }

  ByteReader& data_;
  bool inLine_ = false;
  bool historyHoldsPaths_ = false;
  bool touchesFiles_ = false;
  bool lastKeyTypesByte_ = false;
  std::uint64_t keys_ = 0;
};

// Address text for /A, from the input; never a "/", so the parameter stays a switch.
std::string AddressText(ByteReader& data) {
  std::string text;
  const int length = data.Next() % 10;
  for (int i = 0; i < length; ++i) {
    text += kAddressCharacters[data.Next() % kAddressCharacters.size()];
  }
  return text;
}

// Any name of Names() for a pick of 0 to 31; the last, whose menu takes dozens of scrolled rows
// to draw, only for 31.
const std::string& CommandLineName(int pick) {
  const std::size_t last = Names().size() - 1;
  return Names()[pick == 31 ? last : static_cast<std::size_t>(pick) % last];
}

// Switches, address texts and names from Names(); after "--" only a name from Names(), and
// nothing more, since every later parameter would be taken as a file name.
std::vector<std::string> ReadParameters(ByteReader& data) {
  static constexpr std::string_view kAddressSwitches[] = {"/A", "-a", "/a:", "-A:"};
  static constexpr std::string_view kNibbleSwitches[] = {"/M", "-m", "/Mx", "-M", "/m", "-mm"};
  static constexpr std::string_view kOtherSwitches[] = {"-x", "/",  "-",      "/Z9",       "-?",
                                                        "/?", "-h", "--help", "--version", "-A"};
  std::vector<std::string> parameters;
  const int count = data.Next() % 5;
  for (int i = 0; i < count; ++i) {
    const std::uint8_t p = data.Next();
    switch (p % 8) {
      case 0:
      case 1:
        parameters.push_back(std::string(kAddressSwitches[(p >> 3) % 4]) + AddressText(data));
        break;
      case 2:
        parameters.emplace_back(kNibbleSwitches[(p >> 3) % std::size(kNibbleSwitches)]);
        break;
      case 3:
      case 4:
        parameters.push_back(CommandLineName(p >> 3));
        break;
      case 5:
        parameters.emplace_back("--");
        parameters.push_back(CommandLineName(p >> 3));
        return parameters;
      case 6:
        // Usage and version end the program before it starts; rarely, so runs go on.
        if ((p >> 3) % 4 == 0) {
          parameters.emplace_back(kOtherSwitches[(p >> 5) % std::size(kOtherSwitches)]);
        } else {
          parameters.emplace_back(kOtherSwitches[(p >> 5) % 4]);
        }
        break;
      default:
        break;
    }
  }
  return parameters;
}

bool folderTouched = true;

// The program's state is put back at the end of each run, not only at the start of the next:
// a run that leaves memory behind for the next one to free looks like a leak to libFuzzer,
// which then runs it a second time under the leak checker.
struct ResetAtEnd {
  ResetAtEnd() = default;
  ResetAtEnd(const ResetAtEnd&) = delete;
  ResetAtEnd& operator=(const ResetAtEnd&) = delete;
  ~ResetAtEnd() { screens::ResetProgramState(); }
};

void RunOnce(const std::uint8_t* bytes, std::size_t size) {
  const ResetAtEnd resetAtEnd;
  ByteReader data(bytes, size);
  const std::uint8_t shape = data.Next();
  const std::uint8_t height = data.Next();
  const std::uint8_t attribute = data.Next();
  const bool larger = (shape & 0x80) != 0;
  const int width = larger ? 80 + (shape & 31) : 80;
  const int rows = larger ? 25 + height % 24 : 25;

  screens::ResetProgramState();
  const std::vector<std::string> parameters = ReadParameters(data);
  if (Tracing()) {
    TraceStart(parameters, width, rows, attribute);
  }
  const cli::CommandLineOptions options = cli::ParseCommandLine(parameters);
  if (options.FileName && !IsTableName(*options.FileName)) {
    Fail("a command-line name outside the name table");
  }
  if (options.ShowUsage || options.ShowVersion) {
    if (cli::UsageText("lbe").find("[/M] [FileName]") == std::string::npos) {
      Fail("usage text without its command line");
    }
    return;
  }
  if (folderTouched) {
    LayOutFiles();
  }
  ScriptedConsole screen(data, width, rows, attribute);
  const screens::ProgramOutcome outcome =
      screens::RunProgram(screen, "lbe", EditorSettingsOf(options));
  if (Tracing()) {
    std::fprintf(
        stderr,
        "  // Afterwards: exit %d, StartAddress 0x%04X, EndLine %d, cursor column %d row %d"
        ", row 1 %s\n",
        outcome.ExitStatus, static_cast<unsigned>(image::Range.StartAddress), image::Range.EndLine,
        screen.Cursor().X + 1, screen.Cursor().Y + 1, CppText(screen.RowText(0)).c_str());
  }
  CheckInvariants(screen);
  if (outcome.ExitStatus == 0 && (outcome.InputEnded || !outcome.StopReport.empty())) {
    Fail("exit status 0 after an error or the end of input");
  }
  if (outcome.ExitStatus == 1 && outcome.InputEnded == !outcome.StopReport.empty()) {
    Fail("exit status 1 without exactly one reason");
  }
  if (!outcome.StopReport.empty() && !outcome.StopReport.ends_with("\n\n")) {
    Fail("stop report without its closing line ends");
  }
  folderTouched = screen.TouchesFiles();
  if (outcome.InputEnded && files::ImageChangedSinceSaved()) {
    // What the program does when its terminal goes away with unsaved changes.
    std::string rescued;
    try {
      rescued = files::WriteRescueOfRange();
      if (rescued.empty()) {
        Fail("the rescue copy gave no name");
      }
    } catch (const files::FileError& error) {
      if (std::string_view(error.what()).empty()) {
        Fail("the rescue copy failed without saying why");
      }
    }
    if (!rescued.empty()) {
      if (!rescued.starts_with(FolderPath() + "/") &&
          (rescued.starts_with("/") || rescued.starts_with("../") ||
           rescued.find("/../") != std::string::npos)) {
        Fail("the rescue copy was written outside the fuzz folder");
      }
      if (files::FormatOf(files::CurrentFileName) == records::FileFormat::Prg) {
        CheckProgramFile(rescued, true);
      } else {
        CheckFileHoldsRange(rescued, 0, true, "the rescue copy does not hold the range in use");
      }
      folderTouched = true;
    }
  }
  ++totalRuns;
  totalKeys += screen.Keys();
}

}  // namespace
}  // namespace lbe::fuzzing

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  lbe::fuzzing::MakeFreshFolder("lbe-program-fuzz");
  // The rescue copy's last resort is the home folder: here, the fuzz folder.
  ::setenv("HOME", lbe::fuzzing::FolderPath().c_str(), 1);
  std::atexit(lbe::fuzzing::PrintTotals);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const lbe::fuzzing::InsideFolder inside;
  lbe::fuzzing::RunOnce(data, size);
  return 0;
}
