#pragma once
// The emulated console shown on the real terminal with ncursesw. Before the program blocks for
// input the model is drawn (curses sends only what changed) and the terminal cursor placed; the
// bytes the terminal sends are read from standard input and decoded into key events. The
// terminal is given back exactly as found on every way out. Curses stays inside the .cpp.

#include <termios.h>

#include <array>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <string>
#include <vector>

#include "console/emulated_console.h"
#include "console/key_decoder.h"

struct screen;  // curses' SCREEN

namespace lbe::console {

class TerminalConsole : public EmulatedConsole {
 public:
  TerminalConsole();  // touches nothing
  ~TerminalConsole() override;
  TerminalConsole(const TerminalConsole&) = delete;
  TerminalConsole& operator=(const TerminalConsole&) = delete;

  // Takes over the terminal: curses, cbreak, no echo, the alternate screen, bracketed paste, no
  // wheel-to-arrows; the buffer becomes the terminal's size but at least 80 x 25. False and a
  // message when standard input or output is no terminal or curses cannot start.
  bool Open(std::string& error);
  // Gives the terminal back as it was found at Open. Idempotent.
  void Close();
  // SIGINT, SIGTERM, SIGHUP or SIGQUIT when one of them ended input, or came while the terminal
  // was open after input ended some other way; else 0.
  int EndingSignal() const;

  // Also takes in what the terminal has sent, without blocking.
  int InputEventCount() override;
  // Also discards what the terminal has sent so far.
  void FlushInput() override;
  // Draws the model when nothing is queued, then blocks on the terminal (no spinning) until a
  // key or other event is queued. False once input has ended: end of file or hang-up of the
  // terminal, or an ending signal.
  bool WaitForInput() override;
  void Present() override;

 private:
  // The state of a fresh Open, from the environment (Esc delay) where it depends on it.
  void ResetState();
  // A curses screen on standard input and output that can place the cursor; false and a
  // message when the terminal type does not allow one.
  bool StartCurses(std::string& error);
  // Undoes what Open did once the signal handlers were in place, when curses cannot start.
  void AbandonOpen();
  void TakeTerminal();
  void StopFlowControl();
  void LeaveTerminal();
  void InstallSignalHandlers();
  void RestoreSignalHandlers();
  // Reads what standard input holds now, without blocking, and turns the Esc delay into Esc: all
  // of it when `whole`, else until some event is queued.
  void ReadAvailableInput(bool whole = false);
  void Decode(std::string_view bytes);
  void TakeReplies();
  void HandleSignals();
  void Suspend();
  // Fits the buffer to the terminal's size; the next frame repaints every cell.
  void FollowTerminalSize();
  void Draw();
  // Fits the copy of what curses holds to the drawn area; false when that copy no longer tells
  // what the terminal shows, so that every cell is drawn.
  bool KnowDrawnCells(int rows, int columns);
  void DrawSizeHint();
  // The columns the cell takes when drawn: 2 for a double-width character whose tail is shown.
  int DrawnColumns(int y, int x, int visibleColumns) const;
  // Draws the cell and returns the columns it took.
  int DrawCell(int y, int x, int visibleColumns);
  short ColourPair(int foreground, int background);
  // Waits (bounded) for the answers to the start-up queries, so none reaches the shell.
  void AwaitReplies();

  // Ours while the terminal is open; what they were before is kept in savedActions_.
  static constexpr std::array kHandledSignals = {SIGINT,   SIGTERM, SIGHUP, SIGQUIT,
                                                 SIGWINCH, SIGTSTP, SIGCONT};

  bool open_ = false;
  ::screen* screen_ = nullptr;
  termios savedModes_{};
  std::string savedLocale_;
  std::array<int, 2> signalPipe_{-1, -1};
  std::array<struct sigaction, kHandledSignals.size()> savedActions_{};
  std::chrono::milliseconds escapeDelay_{};  // set by Open
  KeyDecoder decoder_;
  std::chrono::steady_clock::time_point lastByteTime_;
  std::chrono::steady_clock::time_point escapeTimedOut_;  // when the decoder last timed out
  bool inputEnded_ = false;
  int endingSignal_ = 0;
  // Drawing.
  int terminalColumns_ = 0;
  int terminalRows_ = 0;
  std::uint64_t drawnChangeCount_ = 0;
  std::uint64_t rungBellCount_ = 0;  // the model's bells that the terminal has rung
  bool redrawAll_ = true;
  // What curses holds for each drawn cell (drawnRows_ x drawnColumns_), so that a frame puts
  // only the cells that changed; empty when unknown. A fresh curses screen is known blank.
  std::vector<Cell> drawnCells_;
  int drawnRows_ = 0;
  int drawnColumns_ = 0;
  bool screenBlank_ = false;
  int colours_ = 0;  // 0 when colours are off
  bool defaultColours_ = false;
  std::array<short, 17 * 17> pairs_{};
  short nextPair_ = 1;
  // The terminal's answers to the start-up queries.
  bool queriesSent_ = false;
  bool awaitingReplies_ = false;
  int alternateScrollState_ = -1;  // -1 no answer; else the DECRQM state of mode 1007
};

}  // namespace lbe::console
