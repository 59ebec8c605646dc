// Intel HEX and S-record on any text: the input's last bytes (FuzzedDataProvider takes integers
// from the end) choose the format, the window's base, the pieces it is fed in and a save's span
// and changes; the rest is the file.
//
// Checked: the reader's outcome (the error's line and text, or the window, its marked bytes and
// style) does not depend on where the text was cut; an error text is one short line of
// printable characters. For a file that parses: a fresh write of its window reads back to the
// same window, and a rewrite that saves changed bytes over a span leaves a file that parses and
// reads back to the new bytes inside the span and the old ones outside it.

#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "records/record_file.h"

namespace lbe::fuzzing {
namespace {

using records::FileFormat;
using records::kWindowSize;
using records::MarkedBytes;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "records_fuzz: %s\n", what);
  std::abort();
}

struct Outcome {
  std::array<std::uint8_t, kWindowSize> Bytes{};
  MarkedBytes Marks;
  std::string Error;  // "LINE:text", empty when the file parses
  records::RecordStyle Style;
};

// Reads `text` fed in `pieces` (the rest in one), bytes not marked left at 0.
std::unique_ptr<Outcome> Read(FileFormat format, std::uint64_t base, std::string_view text,
                              const std::vector<std::size_t>& pieces) {
  auto outcome = std::make_unique<Outcome>();
  records::RecordReader reader(format, base, outcome->Bytes, outcome->Marks);
  try {
    std::size_t at = 0;
    for (const std::size_t piece : pieces) {
      reader.Feed(text.substr(at, piece));
      at += std::min(piece, text.size() - at);
    }
    reader.Feed(text.substr(at));
    reader.Finish();
    outcome->Style = reader.Style();
  } catch (const records::RecordError& error) {
    outcome->Error = std::to_string(error.Line()) + ":" + error.what();
    for (const char c : std::string_view(error.what())) {
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
        Fail("a control character in an error text");
      }
    }
    if (std::string_view(error.what()).size() > 70) {
      Fail("an error text longer than a message line");
    }
    outcome->Bytes.fill(0);
    outcome->Marks.reset();
  }
  return outcome;
}

bool SameWindow(const Outcome& one, const Outcome& other) {
  if (one.Marks != other.Marks) {
    return false;
  }
  for (std::size_t at = 0; at < kWindowSize; ++at) {
    if (one.Marks[at] && one.Bytes[at] != other.Bytes[at]) {
      return false;
    }
  }
  return true;
}

}  // namespace
}  // namespace lbe::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace lbe::fuzzing;
  FuzzedDataProvider provider(data, size);
  const FileFormat format = provider.ConsumeBool() ? FileFormat::IntelHex : FileFormat::SRecord;
  const std::uint64_t bases[] = {0, 0x10000, 0x12340, 0xFFFF0000};
  const std::uint64_t base = bases[provider.ConsumeIntegralInRange(0, 3)];
  std::vector<std::size_t> pieces;
  const int count = provider.ConsumeIntegralInRange(0, 6);
  for (int i = 0; i < count; ++i) {
    pieces.push_back(provider.ConsumeIntegralInRange<std::size_t>(0, 80));
  }
  const auto from = provider.ConsumeIntegral<std::uint16_t>();
  const auto to = provider.ConsumeIntegral<std::uint16_t>();
  const auto changed = provider.ConsumeIntegral<std::uint16_t>();
  const auto dropped = provider.ConsumeIntegral<std::uint16_t>();
  const std::string text = provider.ConsumeRemainingBytesAsString();

  const auto whole = Read(format, base, text, {});
  const auto cut = Read(format, base, text, pieces);
  if (whole->Error != cut->Error || !SameWindow(*whole, *cut)) {
    Fail("the outcome depends on where the text was cut");
  }
  if (!whole->Error.empty()) {
    return 0;
  }
  const std::string fresh =
      lbe::records::WriteRecordFile(format, whole->Style, base, whole->Bytes, whole->Marks);
  const auto freshRead = Read(format, base, fresh, {});
  if (!freshRead->Error.empty() || !SameWindow(*whole, *freshRead)) {
    Fail("a fresh write does not read back to its window");
  }

  // The save: one byte typed (marked from now on), one mark taken away, one span written.
  auto saved = std::make_unique<Outcome>(*whole);
  saved->Bytes[changed] ^= 0x5A;
  saved->Marks.set(changed);
  saved->Marks.reset(dropped);
  lbe::records::RecordRewrite rewrite(format, base, saved->Bytes, saved->Marks, from, to);
  rewrite.Survey(text);
  rewrite.FinishSurvey();
  std::size_t at = 0;
  for (const std::size_t piece : pieces) {
    rewrite.Feed(std::string_view(text).substr(at, piece));
    at += std::min(piece, text.size() - at);
  }
  rewrite.Feed(std::string_view(text).substr(at));
  rewrite.Finish();
  if (rewrite.ReplaceOffset() + rewrite.ReplaceLength() > text.size()) {
    Fail("the stretch runs past the file");
  }
  std::string after = text;
  after.replace(rewrite.ReplaceOffset(), rewrite.ReplaceLength(), rewrite.NewText());
  const auto back = Read(format, base, after, {});
  if (!back->Error.empty()) {
    Fail("the rewritten file does not parse");
  }
  for (std::size_t address = 0; address < kWindowSize; ++address) {
    const bool inSpan = address >= from && address <= to;
    const Outcome& meant = inSpan ? *saved : *whole;
    if (back->Marks[address] != meant.Marks[address] ||
        (meant.Marks[address] && back->Bytes[address] != meant.Bytes[address])) {
      Fail("the rewritten file does not read back to the saved window");
    }
  }
  // A second save of the same bytes finds the file already saying them.
  lbe::records::RecordRewrite again(format, base, saved->Bytes, saved->Marks, from, to);
  again.Survey(after);
  again.FinishSurvey();
  again.Feed(after);
  again.Finish();
  if (again.ReplaceLength() != 0 || !again.NewText().empty()) {
    Fail("a second save of the same bytes changes the file");
  }
  return 0;
}
