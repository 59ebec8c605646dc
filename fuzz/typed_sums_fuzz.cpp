// The parser of the typed sums that the type-in mode keeps in the state folder, fed any text as
// the file's content for one key.
//
// Held to rules drawn from the format, not from the parser: a refused text gives a reason and
// no sums at all; an accepted one gives sums of 0 to 255 only on lines from the key's start
// line on, and the text lbe writes for those sums is accepted again with the same sums.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "files/typed_sums.h"

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "typed_sums_fuzz: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace lbe::files;
  const TypedSumsKey key{"/home/me/game%1\n.rom", 0x0100, 0x14000};
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const ParsedTypedSums parsed = ParseTypedSums(text, key);
  if (!parsed.Error.empty()) {
    if (parsed.Sums != NoTypedSums()) {
      Fail("a refused text gave sums");
    }
    return 0;
  }
  for (std::size_t line = 0; line < parsed.Sums.size(); ++line) {
    const std::int16_t sum = parsed.Sums[line];
    if (sum < -1 || sum > 255 || (sum >= 0 && line < 0x20)) {
      Fail("a sum out of its range or before the start line");
    }
  }
  const ParsedTypedSums again = ParseTypedSums(TypedSumsText(key, parsed.Sums), key);
  if (!again.Error.empty() || again.Sums != parsed.Sums) {
    Fail("the written text of accepted sums does not read back as they are");
  }
  return 0;
}
