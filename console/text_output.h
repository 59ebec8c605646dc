#pragma once
// Standard output of the program while the console layer runs: a 128-byte stream whose every
// flush is placed in the window (line ends to column 1 of the next window row, text that
// reaches the window's right edge on the next row, the window scrolled at its bottom).

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace lbe::console {

inline constexpr std::size_t kOutputBufferSize = 128;

struct BufferedOutput {
  std::array<char, kOutputBufferSize> Bytes{};
  std::size_t Pending = 0;

  bool operator==(const BufferedOutput&) const = default;
};
extern BufferedOutput OutputBuffer;

// One write statement: the text is appended, and flushed when the buffer fills and at the end.
void Write(std::string_view text);
// One write statement of the text followed by a line end (CR LF).
void WriteLine(std::string_view text = {});

// The terminal's bell, after what is pending: one BEL for the device, which rings it.
void RingBell();

// Hands the pending bytes to WriteToWindow at the console's cursor; always succeeds.
void FlushToWindow();
// Writes `count` bytes at the window position; room is counted in terminal cells and a piece is
// never cut inside a UTF-8 sequence or a double-width character.
void WriteToWindow(std::uint8_t column, std::uint8_t row, const char* bytes, std::int32_t count);
// Column 1 of the next window row, scrolling the window when that row lies below it.
void LineFeed();

}  // namespace lbe::console
