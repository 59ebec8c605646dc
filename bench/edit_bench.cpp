// What the edit mode sends to a terminal: bytes per typed digit, per Right, Down and Page Down,
// the same typed digits in the type-in mode (--type-in) with each line's sum typed after them,
// lbe's own on the random file and on a new one from 0800, and New MLX (--style=mlx, into a new
// .prg from 0801, every address shifted),
// and a burst of 131,072 hex digits, typed (a fast typist on a slow link) and pasted (bracketed
// paste): the time until all of them are taken in and drawn, and the bytes written meanwhile;
// then U, which takes the whole paste back, and what that costs.
//
//   edit_bench [PROGRAM]     (default: the lbe beside this benchmark)
//
// The program runs at 80 x 25 on a pseudo-terminal with a 64 KiB file of random bytes, so that
// every line differs from the next, as in real data.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_pty.h"
#include "image/line_text.h"

namespace {

using lbe::bench::Clock;
using lbe::bench::Milliseconds;
using lbe::bench::PtyProgram;

constexpr const char* kRight = "\x1b[C";
constexpr const char* kDown = "\x1b[B";
constexpr const char* kPageDown = "\x1b[6~";
constexpr const char* kEscape = "\x1b";
const std::string kPasteStart = "\x1b[200~";
const std::string kPasteEnd = "\x1b[201~";

struct Figures {
  std::vector<std::size_t> Bytes;
  void Add(std::size_t bytes) { Bytes.push_back(bytes); }
  double Average() const {
    double sum = 0;
    for (std::size_t bytes : Bytes) {
      sum += static_cast<double>(bytes);
    }
    return Bytes.empty() ? 0 : sum / static_cast<double>(Bytes.size());
  }
  std::size_t Largest() const {
    return Bytes.empty() ? 0 : *std::max_element(Bytes.begin(), Bytes.end());
  }
};

// The bytes the program writes for one key, once its output has gone quiet.
std::size_t BytesForKey(PtyProgram& run, const std::string& key) {
  run.ReadUntilQuiet(Milliseconds(20), Milliseconds(2000));
  const std::size_t before = run.OutputBytes();
  run.Write(key);
  run.ReadUntilQuiet(Milliseconds(20), Milliseconds(2000));
  return run.OutputBytes() - before;
}

void Row(const char* measure, const std::string& value, const char* target) {
  std::printf("%-52s %14s   %s\n", measure, value.c_str(), target);
}

// What one burst cost: whether all of it was taken, the time until then, the bytes written.
struct Burst {
  bool Done = false;
  double Seconds = 0;
  std::size_t Bytes = 0;
};

// From the menu: cuts the range to one line, enters the edit mode at 0000, sends `input` and
// Esc, and reads until the menu shows "0000-FFFF", that is until every digit was taken.
Burst TimeBurst(PtyProgram& run, const std::string& input) {
  run.Write("a");
  run.ReadUntil("Adress:", Milliseconds(5000));
  run.Write("0\r");
  run.ReadUntil("0000-0007", Milliseconds(5000));
  run.Write("e");
  run.ReadUntilQuiet(Milliseconds(200), Milliseconds(5000));
  run.ClearOutput();
  const std::size_t before = run.OutputBytes();
  const auto start = Clock::now();
  run.Write(input);
  run.Write(kEscape);
  Burst burst;
  burst.Done = run.ReadUntil("0000-FFFF", Milliseconds(60000));
  burst.Seconds = std::chrono::duration<double>(Clock::now() - start).count();
  burst.Bytes = run.OutputBytes() - before;
  return burst;
}

// The type-in mode run with `arguments` until the menu shows `ready`, its typed sums kept in
// `stateFolder`: eight lines typed as in the
// edit mode's run, each followed by its right sum. Figures per kind of key: a digit drawn in
// place, the line's last digit (into the sum field), the sum's first digit, its second (the line
// checked, the next one shown); and all keys of the lines together. With `newMlx` the sums are New
// MLX ones over the printed addresses from 0801.
struct TypeInFigures {
  Figures DigitInLine;
  Figures LastDigit;
  Figures FirstSumDigit;
  Figures SecondSumDigit;
  Figures AllKeys;
};

std::optional<TypeInFigures> MeasureTypeIn(const std::vector<std::string>& arguments,
                                           const std::string& ready, const std::string& stateFolder,
                                           const std::string& digits, bool newMlx) {
  setenv("XDG_STATE_HOME", stateFolder.c_str(), 1);
  PtyProgram run(arguments);
  if (!run.Started() || !run.ReadUntil(ready, Milliseconds(10000))) {
    return std::nullopt;
  }
  run.Write("e");
  TypeInFigures figures;
  for (int line = 0; line < 8; ++line) {
    std::uint8_t bytesOfLine[8] = {};
    for (int nibble = 0; nibble < 16; ++nibble) {
      const char digit = digits[static_cast<std::size_t>(nibble + line) % 16];
      const unsigned value = static_cast<unsigned>(digit <= '9' ? digit - '0' : digit - 'A' + 10);
      bytesOfLine[nibble / 2] = static_cast<std::uint8_t>(bytesOfLine[nibble / 2] |
                                                          (nibble % 2 == 0 ? value << 4 : value));
      const std::size_t bytes = BytesForKey(run, std::string(1, digit));
      (nibble < 15 ? figures.DigitInLine : figures.LastDigit).Add(bytes);
      figures.AllKeys.Add(bytes);
    }
    const unsigned sum =
        newMlx ? lbe::image::MlxLineSum(static_cast<std::uint16_t>(0x801 + 8 * line), bytesOfLine)
               : lbe::image::LineSum(bytesOfLine);
    const std::string sumText =
        "0123456789ABCDEF"[sum / 16 % 16] + std::string(1, "0123456789ABCDEF"[sum % 16]);
    figures.FirstSumDigit.Add(BytesForKey(run, sumText.substr(0, 1)));
    figures.SecondSumDigit.Add(BytesForKey(run, sumText.substr(1, 1)));
    figures.AllKeys.Add(figures.FirstSumDigit.Bytes.back());
    figures.AllKeys.Add(figures.SecondSumDigit.Bytes.back());
  }
  run.Write(kEscape);
  run.Write("qy");
  if (!run.Wait(Milliseconds(5000))) {
    run.Signal(SIGTERM);
    run.Wait(Milliseconds(5000));
  }
  return figures;
}

std::string Bytes(const Figures& figures) {
  char text[64];
  std::snprintf(text, sizeof text, "%.1f (max %zu)", figures.Average(), figures.Largest());
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  std::string program = argc > 1 ? argv[1] : "";
  if (program.empty()) {
    const std::string self = argv[0];
    const std::size_t slash = self.find_last_of('/');
    program = (slash == std::string::npos ? std::string(".") : self.substr(0, slash)) + "/lbe";
  }

  char folder[] = "/tmp/lbe-edit-bench-XXXXXX";
  if (mkdtemp(folder) == nullptr) {
    std::perror("edit_bench: mkdtemp");
    return 1;
  }
  const std::string file = std::string(folder) + "/random.bin";
  {
    std::mt19937 random(1);
    std::string bytes(0x10000, '\0');
    for (char& byte : bytes) {
      byte = static_cast<char>(random());
    }
    std::ofstream(file, std::ios::binary) << bytes;
  }

  PtyProgram run({program, "/A0", file});
  if (!run.Started() || !run.ReadUntil("0000-FFFF", Milliseconds(10000))) {
    std::fprintf(stderr, "edit_bench: %s did not show its menu\n", program.c_str());
    return 1;
  }
  run.Write("e");

  // Typed digits: fifteen on each line are drawn in place, the sixteenth shows the next line.
  Figures digitInLine;
  Figures digitWrapping;
  Figures allDigits;
  const std::string digits = "13579BDF2468ACE0";
  for (int line = 0; line < 8; ++line) {
    for (int nibble = 0; nibble < 16; ++nibble) {
      const std::size_t bytes =
          BytesForKey(run, std::string(1, digits[static_cast<std::size_t>(nibble + line) % 16]));
      (nibble < 15 ? digitInLine : digitWrapping).Add(bytes);
      allDigits.Add(bytes);
    }
  }
  // Right in byte steps: seven move the cursor on the line, the eighth shows the next line.
  Figures rightInLine;
  Figures rightWrapping;
  for (int step = 0; step < 64; ++step) {
    (step % 8 < 7 ? rightInLine : rightWrapping).Add(BytesForKey(run, kRight));
  }
  Figures down;
  for (int step = 0; step < 64; ++step) {
    down.Add(BytesForKey(run, kDown));
  }
  Figures pageDown;
  for (int step = 0; step < 64; ++step) {
    pageDown.Add(BytesForKey(run, kPageDown));
  }

  // The burst: from column 0 of line 0, 131,072 digits fill all 8,192 lines. The range is cut
  // to one line first, so the menu's "0000-FFFF" afterwards shows that every digit was taken.
  run.Write(kEscape);
  std::string digitBurst;
  std::mt19937 random(2);
  for (int i = 0; i < 131072; ++i) {
    digitBurst += "0123456789ABCDEF"[random() % 16];
  }
  const long peakBeforeTyping = run.PeakResidentKiB();
  const Burst typed = TimeBurst(run, digitBurst);
  // 131,072 typed digits are as many changes: the undo history is full (10,000 of them).
  const long peakAfterTyping = run.PeakResidentKiB();

  // As many other digits as one bracketed paste, as a terminal sends a pasted hex listing: other
  // ones, so that taking the paste back below changes every line.
  std::string pasteBurst;
  for (int i = 0; i < 131072; ++i) {
    pasteBurst += "0123456789ABCDEF"[random() % 16];
  }
  const Burst pasted = TimeBurst(run, kPasteStart + pasteBurst + kPasteEnd);

  // U takes the whole paste back: the range is one line again.
  run.Write("e");
  run.ReadUntilQuiet(Milliseconds(200), Milliseconds(5000));
  constexpr auto kQuiet = Milliseconds(20);
  const std::size_t beforeUndo = run.OutputBytes();
  const auto undoStart = Clock::now();
  run.Write("u");
  run.ReadUntilQuiet(kQuiet, Milliseconds(5000));
  const double undoSeconds =
      std::chrono::duration<double>(Clock::now() - undoStart - kQuiet).count();
  const std::size_t undoBytes = run.OutputBytes() - beforeUndo;
  run.Write(kEscape);
  const bool undone = run.ReadUntil("0000-0007", Milliseconds(5000));

  run.Write("qy");
  if (!run.Wait(Milliseconds(5000))) {
    run.Signal(SIGTERM);
    run.Wait(Milliseconds(5000));
  }
  const std::string stateFolder = std::string(folder) + "/state";
  const std::optional<TypeInFigures> typeIn =
      MeasureTypeIn({program, "--type-in", "/A0", file}, "0000-FFFF", stateFolder, digits, false);
  const std::optional<TypeInFigures> own =
      MeasureTypeIn({program, "--type-in", "/A800", std::string(folder) + "/new.bin"}, "0800-0807",
                    stateFolder, digits, false);
  const std::optional<TypeInFigures> mlx = MeasureTypeIn(
      {program, "--type-in", "--style=mlx", "--address=801", std::string(folder) + "/prog.prg"},
      "0801-0808", stateFolder, digits, true);
  std::filesystem::remove_all(folder);

  std::printf("%s in the edit mode at 80 x 25, TERM=xterm-256color, random data\n",
              program.c_str());
  Row("measure (bytes written to the terminal)", "average (max)", "target");
  Row("typed digit, drawn in place", Bytes(digitInLine), "at most 15");
  Row("typed digit that ends a line (next line shown)", Bytes(digitWrapping), "");
  Row("typed digit, all 128 of the 8 lines", Bytes(allDigits), "");
  if (typeIn) {
    Row("type-in: typed digit, drawn in place", Bytes(typeIn->DigitInLine), "at most 15");
    Row("type-in: last digit of a line (into the sum field)", Bytes(typeIn->LastDigit), "");
    Row("type-in: first digit of the sum", Bytes(typeIn->FirstSumDigit), "");
    Row("type-in: second digit of the sum (next line shown)", Bytes(typeIn->SecondSumDigit), "");
    Row("type-in: every key of the 8 lines, sums included", Bytes(typeIn->AllKeys),
        "no more than the edit mode's");
  } else {
    Row("type-in", "did not start", "");
  }
  // The same listing typed into a new file, lbe's own sums from 0800 and New MLX's from 0801.
  for (const auto& [name, figures] : {std::pair{"lbe's own", own}, std::pair{"New MLX", mlx}}) {
    if (!figures) {
      Row(name, "did not start", "");
      continue;
    }
    const std::string prefix = std::string(name) + ", new file: ";
    Row((prefix + "digit in place").c_str(), Bytes(figures->DigitInLine), "");
    Row((prefix + "last digit of a line").c_str(), Bytes(figures->LastDigit), "");
    Row((prefix + "first digit of the sum").c_str(), Bytes(figures->FirstSumDigit), "");
    Row((prefix + "second digit of the sum").c_str(), Bytes(figures->SecondSumDigit), "");
    Row((prefix + "every key").c_str(), Bytes(figures->AllKeys), "New MLX as lbe's own");
  }
  Row("Right, byte step on the line", Bytes(rightInLine), "at most 10");
  Row("Right that ends a line (next line shown)", Bytes(rightWrapping), "");
  Row("Down", Bytes(down), "at most 40");
  Row("Page Down", Bytes(pageDown), "at most 40");
  char text[64];
  std::snprintf(text, sizeof text, "%.3f s%s", typed.Seconds, typed.Done ? "" : " (unfinished)");
  Row("burst of 131,072 typed digits: until taken and drawn", text, "under 0.5 s");
  Row("burst: bytes written, the menu after it included", std::to_string(typed.Bytes), "");
  std::snprintf(text, sizeof text, "%.3f s%s", pasted.Seconds, pasted.Done ? "" : " (unfinished)");
  Row("paste of 131,072 digits: until taken and drawn", text, "under 0.5 s");
  Row("paste: bytes written, the menu after it included", std::to_string(pasted.Bytes), "");
  std::snprintf(text, sizeof text, "%.1f ms%s", undoSeconds * 1000, undone ? "" : " (not undone)");
  Row("U after that paste: until drawn", text, "under 50 ms");
  Row("U: bytes written", std::to_string(undoBytes), "one frame");
  std::snprintf(text, sizeof text, "%.1f / %.1f MiB", static_cast<double>(peakBeforeTyping) / 1024,
                static_cast<double>(peakAfterTyping) / 1024);
  Row("peak memory before / after the typed burst", text, "");
  return typed.Done && pasted.Done && undone && typeIn && own && mlx ? 0 : 1;
}
