// lbe --convert on any record text, to raw and to records: the input's last bytes
// (FuzzedDataProvider takes integers from the end) choose its format, the output's, the fill and
// the record length; the rest is the file, written to a fuzz folder of its own.
//
// The oracle is the walk every load uses, with the file's bytes gathered by address here. A file
// that does not parse converts to nothing (status 1, no output). One that parses converts to raw
// as its bytes from the lowest address to the highest, the fill between, unless two of its
// records give one address different values (status 1, no output); to records as a file that
// holds exactly its bytes, whatever record length was asked for (or status 2, no output, for one
// its records cannot hold). The same text read as a .prg converts to records that hold its bytes
// at its load address. Every message is lines of printable text.

#include <fuzzer/FuzzedDataProvider.h>
#include <stdio.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_folder.h"
#include "listing/convert_mode.h"
#include "records/record_walk.h"

namespace lbe::fuzzing {
namespace {

using records::FileFormat;

// A raw output larger than this is not asked for: bytes at 0 and FFFFFFFF would make 4 GiB.
constexpr std::uint64_t kLongestRaw = std::uint64_t{1} << 20;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "convert_fuzz: %s\n", what);
  std::abort();
}

// A record file's bytes by address, as its walk gives them.
struct Gathered {
  bool Parses = true;
  bool Conflict = false;  // two records give one address different values
  std::map<std::uint64_t, std::uint8_t> Bytes;
};

Gathered Gather(FileFormat format, std::string_view text) {
  Gathered gathered;
  records::RecordWalk walk(format, [&](const records::WalkedLine& line) {
    if (line.Parsed == nullptr || line.Parsed->Kind != records::RecordKind::Data) {
      return;
    }
    for (std::size_t i = 0; i < line.Parsed->Length; ++i) {
      const auto [at, added] = gathered.Bytes.emplace(line.Address + i, line.Parsed->Data[i]);
      gathered.Conflict = gathered.Conflict || (!added && at->second != line.Parsed->Data[i]);
    }
  });
  try {
    walk.Feed(text);
    walk.Finish();
  } catch (const records::RecordError&) {
    gathered.Parses = false;
  }
  return gathered;
}

std::string ReadAll(const std::string& name) {
  std::ifstream file(name, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), {}};
}

// Runs the conversion; its status. Its messages must be lines of printable text (file errors
// in Japanese are UTF-8).
int Convert(const listing::Conversion& conversion) {
  char* text = nullptr;
  std::size_t size = 0;
  std::FILE* err = ::open_memstream(&text, &size);
  const int status = listing::ConvertMode(conversion, err);
  std::fclose(err);
  const std::string messages(text, size);
  std::free(text);
  for (const char c : messages) {
    if (static_cast<unsigned char>(c) < 0x20 && c != '\n') {
      Fail("a control character in a message");
    }
  }
  if (!messages.empty() && (!messages.starts_with("lbe: ") || !messages.ends_with("\n"))) {
    Fail("a message that is not lbe's line");
  }
  return status;
}

// The same text as a .prg: its first 2 bytes the load address, the rest its bytes from there,
// converted to Intel HEX, which must hold exactly them; or, for one shorter than its load
// address or running past FFFF, status 1 and no output.
void ConvertProgramFile(const std::string& text) {
  namespace fs = std::filesystem;
  std::error_code error;
  fs::remove("out-prg.hex", error);
  WriteBytes("in.prg", std::vector<unsigned char>(text.begin(), text.end()));
  listing::Conversion conversion;
  conversion.Input.Name = "in.prg";
  conversion.OutputName = "out-prg.hex";
  const int status = Convert(conversion);
  const bool written = fs::exists(conversion.OutputName, error);
  const std::uint64_t load = text.size() < 2 ? 0
                                             : static_cast<std::uint8_t>(text[0]) |
                                                   static_cast<std::uint8_t>(text[1]) << 8;
  if (text.size() < 2 || load + text.size() - 2 > 0x10000) {
    if (status != 1 || written) {
      Fail("a .prg that cannot load was converted");
    }
    return;
  }
  std::map<std::uint64_t, std::uint8_t> bytes;
  for (std::size_t i = 2; i < text.size(); ++i) {
    bytes[load + i - 2] = static_cast<std::uint8_t>(text[i]);
  }
  const Gathered back = Gather(FileFormat::IntelHex, ReadAll(conversion.OutputName));
  if (status != 0 || !written || !back.Parses || back.Bytes != bytes) {
    Fail("the records of a .prg do not hold its bytes at its load address");
  }
}

}  // namespace
}  // namespace lbe::fuzzing

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  lbe::fuzzing::MakeFreshFolder("lbe-convert-fuzz");
  ::setenv("XDG_STATE_HOME", (lbe::fuzzing::FolderPath() + "/state").c_str(), 1);
  ::setenv("HOME", lbe::fuzzing::FolderPath().c_str(), 1);  // nothing reaches the real home
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace lbe::fuzzing;
  namespace fs = std::filesystem;
  FuzzedDataProvider provider(data, size);
  const bool intel = provider.ConsumeBool();
  const bool toIntel = provider.ConsumeBool();
  const auto fill = provider.ConsumeIntegral<std::uint8_t>();
  const auto length = provider.ConsumeIntegralInRange<std::size_t>(0, 255);
  const std::string text = provider.ConsumeRemainingBytesAsString();
  const InsideFolder inside;
  std::error_code error;
  for (const char* name : {"in.hex", "in.s37", "out.bin", "out.hex", "out.s37"}) {
    fs::remove(name, error);
  }
  const std::string input = intel ? "in.hex" : "in.s37";
  WriteBytes(input, std::vector<unsigned char>(text.begin(), text.end()));
  const Gathered gathered = Gather(intel ? FileFormat::IntelHex : FileFormat::SRecord, text);
  const auto& bytes = gathered.Bytes;

  lbe::listing::Conversion conversion;
  conversion.Input.Name = input;
  const std::uint64_t lowest = bytes.empty() ? 0 : bytes.begin()->first;
  const std::uint64_t span = bytes.empty() ? 0 : bytes.rbegin()->first - lowest + 1;
  if (span <= kLongestRaw) {
    conversion.OutputName = "out.bin";
    conversion.Fill = fill;
    const int status = Convert(conversion);
    if (!gathered.Parses || gathered.Conflict) {
      if (status != 1 || fs::exists("out.bin", error)) {
        Fail("a file that does not convert to raw gave an output or another status");
      }
    } else {
      const std::string raw = ReadAll("out.bin");
      if (status != 0 || raw.size() != span) {
        Fail("the raw output is not as long as the file's addresses span");
      }
      for (std::size_t at = 0; at < raw.size(); ++at) {
        const auto found = bytes.find(lowest + at);
        if (static_cast<std::uint8_t>(raw[at]) != (found == bytes.end() ? fill : found->second)) {
          Fail("the raw output holds another byte than the file");
        }
      }
    }
  }

  conversion.OutputName = toIntel ? "out.hex" : "out.s37";
  if (length > 0) {
    conversion.RecordLength = length;
  }
  const int status = Convert(conversion);
  const bool written = fs::exists(conversion.OutputName, error);
  if (!gathered.Parses) {
    if (status != 1 || written) {
      Fail("a file that does not parse gave records or another status");
    }
    return 0;
  }
  if (status == 2 && !toIntel && length > 250 && !written) {
    return 0;  // more than an S-record of this width holds
  }
  if (status != 0 || !written) {
    Fail("a file that parses did not convert to records");
  }
  const Gathered back =
      Gather(toIntel ? FileFormat::IntelHex : FileFormat::SRecord, ReadAll(conversion.OutputName));
  if (!back.Parses || (!gathered.Conflict && back.Bytes != bytes)) {
    Fail("the records written do not hold the file's bytes");
  }
  ConvertProgramFile(text);
  return 0;
}
