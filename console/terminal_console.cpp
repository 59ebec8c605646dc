#include "console/terminal_console.h"

#include <fcntl.h>
#include <langinfo.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <vector>

#include "console/terminal_colours.h"
#include "console/text_cells.h"
#include "text/visible_text.h"

// Last, and without its function-like macros, so that curses' names (move, clear, timeout...)
// cannot reach into the code above.
#define NCURSES_NOMACROS 1
#include <curses.h>

namespace lbe::console {

namespace {

constexpr int kMinimumColumns = 80;
constexpr int kMinimumRows = 25;
// How long Esc waits for the rest of a sequence when ESCDELAY does not say: on a local terminal
// a key's bytes come together; over SSH they may come tens of milliseconds apart.
constexpr int kLocalEscapeDelayMilliseconds = 25;
constexpr int kRemoteEscapeDelayMilliseconds = 120;
// After an Esc that timed out, the rest of its sequence arriving within this time is dropped
// rather than read as keys ('[' and 'A' of a cut Up would otherwise open "Adress:").
constexpr std::chrono::milliseconds kEscapeTailWindow{1000};
// How long to wait, on the way out, for the answers to the start-up queries to arrive, so that
// they are not left for the shell to print.
constexpr std::chrono::milliseconds kReplyWait{200};

// Bracketed paste on; the state of mode 1007 asked for before it is switched off (so that a
// wheel turn never arrives as Up or Down); then the primary device attributes, which every
// terminal answers, so that their answer marks the end of the answers.
constexpr std::string_view kFirstTakeOver = "\x1b[?2004h\x1b[?1007$p\x1b[?1007l\x1b[c";
constexpr std::string_view kTakeOver = "\x1b[?2004h\x1b[?1007l";
constexpr std::string_view kPasteOff = "\x1b[?2004l";
constexpr std::string_view kAlternateScrollOn = "\x1b[?1007h";

volatile std::sig_atomic_t SignalPipeWrite = -1;
volatile std::sig_atomic_t EndingSignalSeen = 0;

bool IsEndingSignal(int signal) {
  return signal == SIGINT || signal == SIGTERM || signal == SIGHUP || signal == SIGQUIT;
}

// Only what is safe in a handler: a flag and one byte into the self-pipe.
void OnSignal(int signal) {
  const int savedErrno = errno;
  if (IsEndingSignal(signal)) {
    EndingSignalSeen = signal;
  }
  const auto byte = static_cast<unsigned char>(signal);
  if (SignalPipeWrite >= 0 && write(SignalPipeWrite, &byte, 1) < 0) {
    // A full pipe already holds a wake-up; the flag above keeps an ending signal.
  }
  errno = savedErrno;
}

void WriteToTerminal(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = write(STDOUT_FILENO, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return;  // the terminal is gone
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}

bool IsSet(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

// ESCDELAY when it holds a number of milliseconds (0 to 10000), else the default for the link.
std::chrono::milliseconds EscapeDelayFromEnvironment() {
  const bool remote = IsSet("SSH_CONNECTION") || IsSet("SSH_TTY");
  const std::chrono::milliseconds fallback{remote ? kRemoteEscapeDelayMilliseconds
                                                  : kLocalEscapeDelayMilliseconds};
  const char* text = std::getenv("ESCDELAY");
  if (text == nullptr || *text == '\0') {
    return fallback;
  }
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (*end != '\0' || value < 0 || value > 10000) {
    return fallback;
  }
  return std::chrono::milliseconds(value);
}

bool ColoursWanted() {
  const char* noColour = std::getenv("NO_COLOR");
  return noColour == nullptr || *noColour == '\0';
}

}  // namespace

TerminalConsole::TerminalConsole() = default;

TerminalConsole::~TerminalConsole() {
  Close();
}

bool TerminalConsole::Open(std::string& error) {
  if (open_) {
    return true;
  }
  if (isatty(STDIN_FILENO) == 0 || isatty(STDOUT_FILENO) == 0) {
    error = "standard input and standard output must be a terminal";
    return false;
  }
  if (tcgetattr(STDIN_FILENO, &savedModes_) != 0) {
    error = std::string("cannot read the terminal's modes: ") + std::strerror(errno);
    return false;
  }
  ResetState();
  // The console works in UTF-8 whatever the user's locale, as one set to code page 65001.
  const char* locale = std::setlocale(LC_CTYPE, nullptr);
  savedLocale_ = locale != nullptr ? locale : "C";
  if (std::setlocale(LC_CTYPE, "") == nullptr || std::strcmp(nl_langinfo(CODESET), "UTF-8") != 0) {
    std::setlocale(LC_CTYPE, "C.UTF-8");
  }
  if (pipe2(signalPipe_.data(), O_CLOEXEC | O_NONBLOCK) != 0) {
    error = std::string("cannot make a pipe: ") + std::strerror(errno);
    std::setlocale(LC_CTYPE, savedLocale_.c_str());
    return false;
  }
  // Ours before curses starts, so that it installs none of its own.
  InstallSignalHandlers();
  if (!StartCurses(error)) {
    AbandonOpen();
    return false;
  }
  open_ = true;
  lastByteTime_ = std::chrono::steady_clock::now();
  TakeTerminal();
  return true;
}

void TerminalConsole::ResetState() {
  endingSignal_ = 0;
  EndingSignalSeen = 0;
  inputEnded_ = false;
  decoder_ = KeyDecoder();
  escapeDelay_ = EscapeDelayFromEnvironment();
  pairs_.fill(0);  // a new curses screen has no pairs yet
  nextPair_ = 1;
  terminalRows_ = 0;
  terminalColumns_ = 0;
  queriesSent_ = false;
  alternateScrollState_ = -1;
}

bool TerminalConsole::StartCurses(std::string& error) {
  use_tioctl(TRUE);  // the terminal's size, not stale LINES and COLUMNS
  std::fflush(stdout);
  screen_ = newterm(nullptr, stdout, stdin);
  const char* type = std::getenv("TERM");
  const std::string typeText = std::string("\"") + (type != nullptr ? type : "") + "\"";
  if (screen_ == nullptr) {
    error = "cannot use the terminal type " + typeText + " (check TERM)";
    return false;
  }
  const char* moveCursor = tigetstr(const_cast<char*>("cup"));
  if (moveCursor == nullptr || moveCursor == reinterpret_cast<char*>(-1)) {
    error = "the terminal type " + typeText + " cannot place the cursor (check TERM)";
    return false;
  }
  colours_ = 0;
  defaultColours_ = false;
  if (ColoursWanted() && has_colors()) {
    start_color();
    defaultColours_ = use_default_colors() == OK;
    colours_ = std::max(COLORS, 1);
  }
  return true;
}

void TerminalConsole::AbandonOpen() {
  if (screen_ != nullptr) {
    endwin();
    delscreen(screen_);
    screen_ = nullptr;
    tcsetattr(STDIN_FILENO, TCSADRAIN, &savedModes_);
  }
  RestoreSignalHandlers();
  std::setlocale(LC_CTYPE, savedLocale_.c_str());
}

void TerminalConsole::Close() {
  if (!open_) {
    return;
  }
  LeaveTerminal();
  delscreen(screen_);
  screen_ = nullptr;
  RestoreSignalHandlers();
  std::setlocale(LC_CTYPE, savedLocale_.c_str());
  open_ = false;
}

int TerminalConsole::EndingSignal() const {
  return endingSignal_ != 0 ? endingSignal_ : static_cast<int>(EndingSignalSeen);
}

void TerminalConsole::TakeTerminal() {
  cbreak();
  noecho();
  nonl();
  intrflush(stdscr, FALSE);
  typeahead(-1);  // curses never looks at the input: we read it ourselves
  keypad(stdscr, TRUE);
  scrollok(stdscr, FALSE);
  idlok(stdscr, TRUE);  // lets curses scroll instead of repainting, which slow links need
  leaveok(stdscr, FALSE);
  StopFlowControl();
  const bool freshScreen = !queriesSent_;  // just made by newterm, so blank
  if (!queriesSent_) {
    WriteToTerminal(kFirstTakeOver);
    queriesSent_ = true;
    awaitingReplies_ = true;
  } else {
    WriteToTerminal(kTakeOver);
  }
  FollowTerminalSize();
  screenBlank_ = freshScreen;
  // Back from a suspension: the alternate screen and curses' own terminal modes, at once. A fresh
  // screen is entered by the first frame, which is drawn before any wait for input.
  if (!freshScreen) {
    wrefresh(stdscr);
  }
}

// Ctrl-S and Ctrl-Q arrive as keys: with flow control on, Ctrl-S (pressed out of habit to save)
// would freeze the screen while typed digits went on changing the image unseen. Given back
// with the other modes, from savedModes_.
void TerminalConsole::StopFlowControl() {
  termios modes{};
  if (tcgetattr(STDIN_FILENO, &modes) == 0 && (modes.c_iflag & IXON) != 0) {
    modes.c_iflag &= ~static_cast<tcflag_t>(IXON);
    tcsetattr(STDIN_FILENO, TCSADRAIN, &modes);
  }
  def_prog_mode();  // curses' own terminal modes after a suspension keep it off too
}

void TerminalConsole::LeaveTerminal() {
  AwaitReplies();
  keypad(stdscr, FALSE);
  endwin();
  std::string modes(kPasteOff);
  // Without an answer the mode is put back on, as terminals that know it start.
  if (alternateScrollState_ == 1 || alternateScrollState_ == -1) {
    modes += kAlternateScrollOn;
  }
  WriteToTerminal(modes);
  tcsetattr(STDIN_FILENO, TCSADRAIN, &savedModes_);
}

void TerminalConsole::InstallSignalHandlers() {
  SignalPipeWrite = signalPipe_[1];
  for (std::size_t i = 0; i < kHandledSignals.size(); ++i) {
    const int signal = kHandledSignals[i];
    sigaction(signal, nullptr, &savedActions_[i]);
    // A signal the shell told us to ignore (a background job, nohup) stays ignored.
    if (savedActions_[i].sa_handler == SIG_IGN && signal != SIGWINCH && signal != SIGCONT) {
      continue;
    }
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigfillset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(signal, &action, nullptr);
  }
}

void TerminalConsole::RestoreSignalHandlers() {
  for (std::size_t i = 0; i < kHandledSignals.size(); ++i) {
    sigaction(kHandledSignals[i], &savedActions_[i], nullptr);
  }
  SignalPipeWrite = -1;
  for (int& end : signalPipe_) {
    if (end >= 0) {
      close(end);
      end = -1;
    }
  }
}

void TerminalConsole::Decode(std::string_view bytes) {
  std::vector<InputEvent> events;
  decoder_.Feed(bytes, events);
  for (const InputEvent& event : events) {
    PushEvent(event);
  }
  TakeReplies();
}

void TerminalConsole::TakeReplies() {
  for (const TerminalReply& reply : decoder_.TakeReplies()) {
    if (reply.Type == TerminalReply::Kind::ModeState && reply.Mode == 1007) {
      alternateScrollState_ = reply.State;
    } else if (reply.Type == TerminalReply::Kind::DeviceAttributes) {
      awaitingReplies_ = false;
    }
  }
}

void TerminalConsole::ReadAvailableInput(bool whole) {
  if (!open_) {
    return;
  }
  // Keys typed ahead wait in the terminal's own buffer rather than in the queue: a burst of them
  // costs the queue one read's worth, and the next read is taken before anything is drawn.
  std::array<char, 1024> buffer;
  while (!inputEnded_ && (whole || EmulatedConsole::InputEventCount() == 0)) {
    pollfd input{STDIN_FILENO, POLLIN, 0};
    const int ready = poll(&input, 1, 0);
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    if (ready <= 0) {
      break;
    }
    if ((input.revents & POLLIN) != 0) {
      const ssize_t count = read(STDIN_FILENO, buffer.data(), buffer.size());
      if (count > 0) {
        lastByteTime_ = std::chrono::steady_clock::now();
        if (decoder_.AwaitingEscapeTail() && lastByteTime_ - escapeTimedOut_ > kEscapeTailWindow) {
          decoder_.EndEscapeTail();
        }
        Decode(std::string_view(buffer.data(), static_cast<std::size_t>(count)));
        continue;
      }
      if (count < 0 && errno == EINTR) {
        continue;
      }
      if (count < 0 && errno == EAGAIN) {
        break;
      }
    }
    inputEnded_ = true;  // end of file, hang-up or a read error: no key will come
  }
  const auto now = std::chrono::steady_clock::now();
  if (decoder_.Pending() && (inputEnded_ || now - lastByteTime_ >= escapeDelay_)) {
    std::vector<InputEvent> events;
    decoder_.Timeout(events);
    escapeTimedOut_ = now;
    for (const InputEvent& event : events) {
      PushEvent(event);
    }
  }
}

void TerminalConsole::AwaitReplies() {
  const auto deadline = std::chrono::steady_clock::now() + kReplyWait;
  while (awaitingReplies_ && !inputEnded_) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      break;
    }
    pollfd input{STDIN_FILENO, POLLIN, 0};
    if (poll(&input, 1, static_cast<int>(left.count())) > 0) {
      ReadAvailableInput(true);
    }
  }
  awaitingReplies_ = false;
}

void TerminalConsole::HandleSignals() {
  std::array<unsigned char, 64> signals;
  for (;;) {
    const ssize_t count = read(signalPipe_[0], signals.data(), signals.size());
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count <= 0) {
      break;
    }
    for (ssize_t i = 0; i < count; ++i) {
      const int signal = signals[static_cast<std::size_t>(i)];
      if (IsEndingSignal(signal)) {
        if (endingSignal_ == 0) {
          endingSignal_ = signal;
        }
      } else if (signal == SIGTSTP) {
        Suspend();
      } else if (signal == SIGWINCH || signal == SIGCONT) {
        FollowTerminalSize();
      }
    }
  }
  if (endingSignal_ == 0 && EndingSignalSeen != 0) {
    endingSignal_ = EndingSignalSeen;
  }
}

void TerminalConsole::Suspend() {
  LeaveTerminal();
  struct sigaction stop {};
  struct sigaction ours {};
  stop.sa_handler = SIG_DFL;
  sigemptyset(&stop.sa_mask);
  sigaction(SIGTSTP, &stop, &ours);
  raise(SIGTSTP);  // stops here; goes on when continued
  sigaction(SIGTSTP, &ours, nullptr);
  TakeTerminal();
}

void TerminalConsole::FollowTerminalSize() {
  winsize size{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row > 0 && size.ws_col > 0 &&
      (size.ws_row != LINES || size.ws_col != COLS)) {
    resizeterm(size.ws_row, size.ws_col);
  }
  int rows = 0;
  int columns = 0;
  getmaxyx(stdscr, rows, columns);
  const bool changed = terminalRows_ != 0 && (rows != terminalRows_ || columns != terminalColumns_);
  terminalRows_ = rows;
  terminalColumns_ = columns;
  const int width = std::max(columns, kMinimumColumns);
  const int height = std::max(rows, kMinimumRows);
  if (width != Width() || height != Height()) {
    Resize(width, height, StartAttribute());
  }
  drawnCells_.clear();  // curses may have moved or cut what it held
  if (changed) {
    InputEvent event;
    event.Type = EventType::WindowSize;
    event.KeyDown = false;
    PushEvent(event);
  }
  redrawAll_ = true;
}

int TerminalConsole::InputEventCount() {
  if (open_ && EmulatedConsole::InputEventCount() == 0) {
    HandleSignals();
    ReadAvailableInput();
  }
  return EmulatedConsole::InputEventCount();
}

void TerminalConsole::FlushInput() {
  // Read first, so that the decoder knows where it stands (inside a paste, say).
  ReadAvailableInput(true);
  EmulatedConsole::FlushInput();
}

bool TerminalConsole::WaitForInput() {
  if (!open_) {
    return EmulatedConsole::WaitForInput();
  }
  for (;;) {
    HandleSignals();
    if (endingSignal_ != 0) {
      return false;
    }
    if (EmulatedConsole::InputEventCount() > 0) {
      return true;
    }
    ReadAvailableInput();
    if (EmulatedConsole::InputEventCount() > 0) {
      return true;
    }
    if (inputEnded_) {
      return false;
    }
    Draw();
    int timeout = -1;
    if (decoder_.Pending()) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(
          lastByteTime_ + escapeDelay_ - std::chrono::steady_clock::now());
      timeout = static_cast<int>(std::max<std::int64_t>(left.count(), 0));
    }
    std::array<pollfd, 2> sources{{{STDIN_FILENO, POLLIN, 0}, {signalPipe_[0], POLLIN, 0}}};
    poll(sources.data(), sources.size(), timeout);
  }
}

void TerminalConsole::Present() {
  if (open_) {
    HandleSignals();
    Draw();
  }
}

short TerminalConsole::ColourPair(int foreground, int background) {
  if (colours_ == 0) {
    return 0;
  }
  if (!defaultColours_) {
    foreground = foreground == kTerminalDefaultColour ? COLOR_WHITE : foreground;
    background = background == kTerminalDefaultColour ? COLOR_BLACK : background;
    if (foreground == COLOR_WHITE && background == COLOR_BLACK) {
      return 0;
    }
  } else if (foreground == kTerminalDefaultColour && background == kTerminalDefaultColour) {
    return 0;
  }
  short& pair = pairs_[static_cast<std::size_t>((foreground + 1) * 17 + background + 1)];
  if (pair == 0 && nextPair_ < COLOR_PAIRS &&
      init_pair(nextPair_, static_cast<short>(foreground), static_cast<short>(background)) == OK) {
    pair = nextPair_++;
  }
  return pair;
}

int TerminalConsole::DrawnColumns(int y, int x, int visibleColumns) const {
  const char32_t character = CellAt({x, y}).Character;
  return CellWidth(character) == 2 && x + 1 < visibleColumns &&
                 CellAt({x + 1, y}).Character == kWideTail
             ? 2
             : 1;
}

int TerminalConsole::DrawCell(int y, int x, int visibleColumns) {
  const Cell& cell = CellAt({x, y});
  const TerminalStyle style = StyleForAttribute(cell.Attribute, StartAttribute(), colours_);
  const attr_t attributes = (style.Bold ? A_BOLD : A_NORMAL) | (style.Reverse ? A_REVERSE : 0);
  const short pair = ColourPair(style.Foreground, style.Background);
  const auto put = [&](int column, wchar_t character, attr_t extra) {
    const wchar_t text[2] = {character, L'\0'};
    cchar_t shown;
    setcchar(&shown, text, attributes | extra, pair, nullptr);
    mvwadd_wch(stdscr, y, column, &shown);
  };
  const char32_t character = cell.Character;
  if (character == kWideTail) {
    put(x, L' ', 0);  // a tail whose head was lost
    return 1;
  }
  const int width = CellWidth(character);
  const bool tailShown = DrawnColumns(y, x, visibleColumns) == 2;
  // A character the terminal would act on, or would draw in another number of cells than the
  // model gave it, would shift everything after it: a placeholder goes there instead.
  if (text::IsPlaceholderCharacter(character) || (width == 2 && !tailShown) ||
      (character >= 0x7F && wcwidth(static_cast<wchar_t>(character)) != width)) {
    put(x, L'?', A_REVERSE);
    if (tailShown) {
      put(x + 1, L' ', 0);
      return 2;
    }
    return 1;
  }
  put(x, static_cast<wchar_t>(character), 0);
  return width;
}

bool TerminalConsole::KnowDrawnCells(int rows, int columns) {
  const auto cellCount =
      static_cast<std::size_t>(std::max(rows, 0)) * static_cast<std::size_t>(std::max(columns, 0));
  if (screenBlank_) {
    drawnCells_.assign(cellCount, Cell{U' ', StartAttribute()});
    drawnRows_ = rows;
    drawnColumns_ = columns;
    screenBlank_ = false;
  }
  const bool known = !drawnCells_.empty() && drawnRows_ == rows && drawnColumns_ == columns;
  if (!known) {
    drawnCells_.assign(cellCount, Cell{});
    drawnRows_ = rows;
    drawnColumns_ = columns;
  }
  return known;
}

void TerminalConsole::DrawSizeHint() {
  std::string hint = "Enlarge the terminal to 80 x 25 (now " + std::to_string(terminalColumns_) +
                     " x " + std::to_string(terminalRows_) + ")";
  hint.resize(static_cast<std::size_t>(terminalColumns_), ' ');
  wattrset(stdscr, A_REVERSE);
  mvwaddnstr(stdscr, terminalRows_ - 1, 0, hint.c_str(), terminalColumns_);
  wattrset(stdscr, A_NORMAL);
}

void TerminalConsole::Draw() {
  if (BellCount() != rungBellCount_) {
    rungBellCount_ = BellCount();
    beep();  // once for a burst of keys that rang it more often
  }
  if (!redrawAll_ && ChangeCount() == drawnChangeCount_) {
    return;
  }
  if (redrawAll_) {
    clearok(curscr, TRUE);
  }
  const bool tooSmall = terminalColumns_ < kMinimumColumns || terminalRows_ < kMinimumRows;
  const int rows = std::min(terminalRows_ - (tooSmall ? 1 : 0), Height());
  const int columns = std::min(terminalColumns_, Width());
  const bool known = KnowDrawnCells(rows, columns);
  for (int y = 0; y < rows; ++y) {
    const Cell* now = &CellAt({0, y});
    Cell* drawn = drawnCells_.data() + static_cast<std::ptrdiff_t>(y) * columns;
    for (int x = 0; x < columns;) {
      // What a cell shows depends on it and on the cell after it (a double-width tail).
      const bool changed = now[x] != drawn[x] || (x + 1 < columns && now[x + 1] != drawn[x + 1]);
      x += known && !changed ? DrawnColumns(y, x, columns) : DrawCell(y, x, columns);
    }
    std::copy(now, now + columns, drawn);
  }
  if (tooSmall) {
    DrawSizeHint();
  }
  const CellPos cursor = Cursor();
  if (cursor.Y < rows && cursor.X < columns) {
    wmove(stdscr, cursor.Y, cursor.X);
    curs_set(1);
  } else {
    curs_set(0);
  }
  wrefresh(stdscr);
  drawnChangeCount_ = ChangeCount();
  redrawAll_ = false;
}

}  // namespace lbe::console
