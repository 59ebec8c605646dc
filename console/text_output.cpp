#include "console/text_output.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "console/console_state.h"
#include "console/text_cells.h"
#include "console/window.h"
#include "text/utf8.h"

namespace lbe::console {

BufferedOutput OutputBuffer;

namespace {

// Hands the first `count` pending bytes to the window and keeps the rest pending.
void FlushPending(std::size_t count) {
  if (count == 0) {
    return;
  }
  WriteToWindow(CursorColumn(), CursorRow(), OutputBuffer.Bytes.data(),
                static_cast<std::int32_t>(count));
  std::memmove(OutputBuffer.Bytes.data(), OutputBuffer.Bytes.data() + count,
               OutputBuffer.Pending - count);
  OutputBuffer.Pending -= count;
  std::fill(OutputBuffer.Bytes.begin() + static_cast<std::ptrdiff_t>(OutputBuffer.Pending),
            OutputBuffer.Bytes.end(), '\0');
}

// Where a full buffer may be cut: never inside a UTF-8 sequence, so that each flush gets whole
// characters (for ASCII, all 128 bytes).
std::size_t WholeCharacterPrefix() {
  const std::string_view pending(OutputBuffer.Bytes.data(), OutputBuffer.Pending);
  const std::size_t whole = text::WholeCharactersLength(pending);
  return whole > 0 ? whole : pending.size();
}

void Append(std::string_view text) {
  while (!text.empty()) {
    const std::size_t taken = std::min(kOutputBufferSize - OutputBuffer.Pending, text.size());
    std::memcpy(OutputBuffer.Bytes.data() + OutputBuffer.Pending, text.data(), taken);
    OutputBuffer.Pending += taken;
    text.remove_prefix(taken);
    if (OutputBuffer.Pending == kOutputBufferSize) {
      FlushPending(WholeCharacterPrefix());
    }
  }
}

}  // namespace

void StartOutput() {
  OutputBuffer = {};
  const std::uint32_t need = kProcessedOutput | kWrapAtEolOutput;
  const std::uint32_t mode = Device().OutputMode();
  if ((mode & need) != need) {
    Device().SetOutputMode(mode | need);
  }
}

void StopOutput() {
  FlushToWindow();
}

void Write(std::string_view text) {
  Append(text);
  FlushToWindow();
}

void WriteLine(std::string_view text) {
  Append(text);
  Append("\r\n");
  FlushToWindow();
}

void RingBell() {
  FlushToWindow();
  Device().WriteBytes("\a");
}

void FlushToWindow() {
  FlushPending(OutputBuffer.Pending);
}

void WriteToWindow(std::uint8_t column, std::uint8_t row, const char* bytes, std::int32_t count) {
  if (count <= 0) {
    return;
  }
  Console.OutColumn = column;
  Console.OutRow = row;
  MoveCursor(column, row);
  std::string_view rest(bytes, static_cast<std::size_t>(count));
  while (rest.size() >= 2 && rest[0] == '\r' && rest[1] == '\n') {
    rest.remove_prefix(2);
    LineFeed();
  }
  while (!rest.empty() && rest[0] == '\n') {
    rest.remove_prefix(1);
    LineFeed();
  }
  const int width = Console.Right - Console.Left + 1;
  while (!rest.empty()) {
    const int room = std::max(width - Console.OutColumn + 1, 0);
    std::size_t taken = PrefixFittingCells(rest, room);
    if (taken == 0 && room >= width) {
      // A character wider than the whole window: it goes out alone rather than never.
      taken = std::max<std::size_t>(text::DecodeUtf8(rest).Length, 1);
    }
    const std::string_view piece = rest.substr(0, taken);
    rest.remove_prefix(taken);
    std::size_t lineEnd = piece.find("\r\n");
    std::size_t lineEndLength = 2;
    if (lineEnd == std::string_view::npos) {
      lineEnd = piece.find('\n');
      lineEndLength = 1;
    }
    if (lineEnd != std::string_view::npos) {
      if (lineEnd > 0) {
        Device().WriteBytes(piece.substr(0, lineEnd));
      }
      LineFeed();
      if (lineEnd + lineEndLength < piece.size()) {
        Device().WriteBytes(piece.substr(lineEnd + lineEndLength));
      }
    } else if (!piece.empty()) {
      Device().WriteBytes(piece);
    }
    if (!rest.empty()) {
      LineFeed();
    }
  }
}

void LineFeed() {
  Console.OutColumn = 1;
  ++Console.OutRow;
  if (Console.Top + Console.OutRow > Console.Bottom + 1) {
    --Console.OutRow;
    MoveCursor(1, 1);
    ScrollWindowUp();
  }
  MoveCursor(Console.OutColumn, Console.OutRow);
}

}  // namespace lbe::console
