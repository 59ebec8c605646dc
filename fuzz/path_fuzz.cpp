// The path checks and the texts typed or passed at start-up: CheckPath (reading and writing)
// and ReadFilePiece inside a fresh temporary folder, ParseAddressText with SetStartAddress,
// ParseCommandLine, ShownFileName and UsageText.
//
// The input's first byte picks the target; the rest is its text. Paths are kept inside the
// folder: a leading "/" gets a name before it and every ".." loses its second dot, so no check
// can reach outside (the checks only look, and ReadFilePiece only reads).
//
// Each target is held to rules stated independently of its code: the first failing text check
// decides the error, a path that passes has its folder (and, for reading, itself as a file), no
// message carries a control character other than its line ends, the address parse agrees with
// a plain hexadecimal reading of at most 8 significant digits, and the command line keeps no
// text that none of its parameters holds, takes everything after "--" as names, shows the
// usage for "--help" first and refuses an unknown long option first. What each parameter is taken
// as is a table of the unit tests.

#include <fuzzer/FuzzedDataProvider.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/command_line.h"
#include "files/file_layer.h"
#include "files/whole_file.h"
#include "fuzz/fuzz_folder.h"
#include "image/address_text.h"
#include "image/memory_image.h"
#include "screens/main_menu.h"
#include "text/utf8.h"
#include "text/visible_text.h"

namespace lbe::fuzzing {
namespace {

using files::FileError;
using files::FileErrorKind;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "path_fuzz: %s\n", what);
  std::abort();
}

// Valid UTF-8 (no replacement character either: VisibleText turns both into "?") with no
// control byte but the line ends.
void CheckShownText(std::string_view text) {
  for (std::string_view rest = text; !rest.empty();) {
    const text::DecodedCharacter decoded = text::DecodeUtf8(rest);
    if (decoded.Character == text::kReplacementCharacter) {
      Fail("shown text that is no valid UTF-8");
    }
    if ((decoded.Character < 0x20 && decoded.Character != U'\r' && decoded.Character != U'\n') ||
        (decoded.Character >= 0x7F && decoded.Character <= 0x9F)) {
      Fail("shown text with a control character");
    }
    rest.remove_prefix(decoded.Length);
  }
}

// ---- Paths -------------------------------------------------------------------------------

std::string InsideFolder(std::string path) {
  if (!path.empty() && path.front() == '/') {
    path.insert(0, "x");
  }
  for (std::size_t dots = path.find(".."); dots != std::string::npos; dots = path.find("..")) {
    path[dots + 1] = '_';
  }
  return path;
}

std::string MakePath(FuzzedDataProvider& provider) {
  static const std::string kStarts[] = {
      "",
      "",
      "",
      std::string(kFolder) + "/",
      std::string(kDataFile) + "/",
      std::string(kLink) + "/",
      std::string(kDataFile),
      std::string(kFolder),
      std::string(kFolder) + "/inner",
      std::string(kEmptyFile),
      std::string(kHugeFile),
      std::string(kFifo),
      std::string(kLink),
      std::string(kDanglingLink),
      std::string(kLinkLoop),
      "./",
  };
  const std::string start = kStarts[provider.ConsumeIntegral<std::uint8_t>() % std::size(kStarts)];
  std::string path = start + provider.ConsumeRandomLengthString(300);
  // Now and then past the length limit, which a short input cannot reach by itself.
  if (provider.ConsumeIntegral<std::uint8_t>() == 0xFF) {
    path.resize(PATH_MAX + provider.ConsumeIntegral<std::uint8_t>() % 4 - 2, 'n');
  }
  return InsideFolder(path);
}

bool IsBlankOrControl(char c) {
  return static_cast<unsigned char>(c) <= 32;
}

bool HasInvalidCharacter(std::string_view path) {
  return std::any_of(path.begin(), path.end(), [](char c) {
    return static_cast<unsigned char>(c) < 32 ||
           std::string_view("\"*<>?|").find(c) != std::string_view::npos;
  });
}

struct ExpectedError {
  FileErrorKind Kind;
  std::string Message;
};

// The error the text-only checks must raise, in their order; empty when the path passes them.
std::optional<ExpectedError> TextCheckError(std::string_view path) {
  const std::string suffix = "\r\n[" + text::VisibleText(path) + "]";
  if (path.size() >= PATH_MAX) {
    return ExpectedError{FileErrorKind::PathTooLong, "指定されたパスが長すぎます" + suffix};
  }
  if (path.find(':') != std::string_view::npos) {
    return ExpectedError{FileErrorKind::NotSupported, "パスの形式がサポートされていません"};
  }
  if (std::all_of(path.begin(), path.end(), IsBlankOrControl)) {
    return ExpectedError{FileErrorKind::BadArgument, "パスが空です"};
  }
  if (HasInvalidCharacter(path)) {
    return ExpectedError{FileErrorKind::BadArgument, "パスに無効な文字が含まれています" + suffix};
  }
  return std::nullopt;
}

bool IsFolder(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool IsNonFolder(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

// The folder a relative path names its entry in: up to its last "/", or the current one.
std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

void CheckPathTarget(FuzzedDataProvider& provider) {
  const bool mustExist = provider.ConsumeBool();
  const std::string path = MakePath(provider);
  std::optional<FileErrorKind> raised;
  std::string message;
  try {
    files::CheckPath(path, mustExist);
  } catch (const FileError& error) {
    raised = error.Kind();
    message = error.what();
    CheckShownText(message);
    const std::string report = files::StopReport(error, "lbe");
    CheckShownText(report);
    if (!report.starts_with(files::KindName(error.Kind())) || !report.ends_with("\n\n")) {
      Fail("a stop report without its kind or its closing line ends");
    }
  }
  if (const std::optional<ExpectedError> expected = TextCheckError(path)) {
    if (raised != expected->Kind || message != expected->Message) {
      Fail("the text checks raised another error than their order gives");
    }
    return;
  }
  const std::string suffix = "\r\n[" + text::VisibleText(path) + "]";
  if (raised == FileErrorKind::FolderNotFound &&
      message != "指定されたパスが見つかりません" + suffix) {
    Fail("the folder-missing message is not its text and the path in square brackets");
  }
  if (raised == FileErrorKind::FileNotFound &&
      message != "指定されたファイルが見つかりません " + suffix) {
    Fail("the file-missing message is not its text and the path in square brackets");
  }
  const std::string folder = FolderOf(path);
  if (!raised) {
    if (!IsFolder(folder)) {
      Fail("a path passed whose folder is missing");
    }
    if (mustExist && !IsNonFolder(path)) {
      Fail("a path passed for reading that names no file");
    }
  } else if (raised == FileErrorKind::FolderNotFound) {
    if (IsFolder(folder)) {
      Fail("folder missing, yet it is there");
    }
  } else if (raised == FileErrorKind::FileNotFound) {
    if (!mustExist || IsNonFolder(path)) {
      Fail("file missing, yet it is there or was not asked for");
    }
  } else {
    Fail("an error the path checks have no reason for");
  }
  if (!raised && mustExist) {
    // The read takes what an independent read of the file gives, cut to the image's space.
    std::vector<std::uint8_t> bytes;
    try {
      bytes = files::ReadFilePiece(path, 0, image::kImageSize).Bytes;
    } catch (const FileError& error) {
      CheckShownText(error.what());
      return;
    }
    std::ifstream file(path, std::ios::binary);
    std::vector<char> expectedBytes(static_cast<std::size_t>(image::kImageSize));
    file.read(expectedBytes.data(), static_cast<std::streamsize>(expectedBytes.size()));
    expectedBytes.resize(static_cast<std::size_t>(file.gcount()));
    if (!std::equal(bytes.begin(), bytes.end(), expectedBytes.begin(), expectedBytes.end(),
                    [](std::uint8_t a, char b) { return a == static_cast<std::uint8_t>(b); })) {
      Fail("the bytes read are not the file's");
    }
  }
}

// ---- Address text ------------------------------------------------------------------------

// Hexadecimal of at most 8 significant digits, read digit by digit.
std::optional<std::uint32_t> PlainHexadecimal(std::string_view text) {
  if (text.empty()) {
    return std::nullopt;
  }
  std::uint32_t value = 0;
  int significant = 0;
  for (char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) {
      return std::nullopt;
    }
    const int digit = std::isdigit(static_cast<unsigned char>(c))
                          ? c - '0'
                          : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
    if (significant > 0 || digit != 0) {
      ++significant;
    }
    value = value << 4 | static_cast<std::uint32_t>(digit);
  }
  if (significant > 8) {
    return std::nullopt;
  }
  return value;
}

void AddressTarget(FuzzedDataProvider& provider) {
  const auto fallback = provider.ConsumeIntegral<std::int32_t>();
  const std::string text = provider.ConsumeRemainingBytesAsString();
  const std::int32_t parsed = image::ParseAddressText(text, fallback);
  const std::optional<std::uint32_t> plain = PlainHexadecimal(text);
  if (parsed != (plain ? static_cast<std::int32_t>(*plain) : fallback)) {
    Fail("ParseAddressText disagrees with a plain hexadecimal reading");
  }
  image::Range = {};
  image::Range.EndLine = 77;
  image::SetStartAddress(parsed);
  const auto& range = image::Range;
  const std::int32_t low16 = parsed & 0xFFFF;
  if (range.StartAddress % 8 != 0 || range.StartAddress > low16 ||
      range.StartAddress <= low16 - 8) {
    Fail("StartAddress is not the low 16 bits rounded down to a line");
  }
  if (range.StartLine != range.StartAddress / 8 || range.EndLine != range.StartLine) {
    Fail("the range is not the one line at the start");
  }
}

// ---- Command line ------------------------------------------------------------------------

// A text the parse kept is one of the parameters, or the end of one (an option's value after
// "=", an address after "/A"): nothing invented.
bool ComesFromAParameter(const std::vector<std::string>& parameters,
                         const std::optional<std::string>& text) {
  return !text ||
         std::any_of(parameters.begin(), parameters.end(),
                     [&](const std::string& parameter) { return parameter.ends_with(*text); });
}

void CommandLineTarget(FuzzedDataProvider& provider) {
  std::vector<std::string> parameters;
  const int count = provider.ConsumeIntegralInRange(0, 8);
  for (int i = 0; i < count; ++i) {
    parameters.push_back(provider.ConsumeRandomLengthString(24));
  }
  const cli::CommandLineOptions options = cli::ParseCommandLine(parameters);
  const std::optional<std::string>& fileName = options.FileName;
  if (fileName && std::find(parameters.begin(), parameters.end(), *fileName) == parameters.end()) {
    Fail("the file name is none of the parameters");
  }
  for (const auto* text :
       {&options.AddressText, &options.OutputName, &options.RemoveJournal, &options.ApplyJournal}) {
    if (!ComesFromAParameter(parameters, *text)) {
      Fail("a text of the command line that none of the parameters holds");
    }
  }
  // After "--" every parameter is a name; "--help" first asks for the usage whatever follows.
  if (!parameters.empty()) {
    std::vector<std::string> named = {"--"};
    named.insert(named.end(), parameters.begin(), parameters.end());
    const cli::CommandLineOptions names = cli::ParseCommandLine(named);
    if (names.FileName != parameters[0] || names.ShowUsage || names.NibbleMovement ||
        names.AddressText || names.OutputName) {
      Fail("a parameter after \"--\" was taken as a switch");
    }
  }
  std::vector<std::string> helped = {"--help"};
  helped.insert(helped.end(), parameters.begin(), parameters.end());
  if (!cli::ParseCommandLine(helped).ShowUsage) {
    Fail("--help first did not ask for the usage");
  }
  std::vector<std::string> unknown = {"--no-such-option"};
  unknown.insert(unknown.end(), parameters.begin(), parameters.end());
  if (cli::ParseCommandLine(unknown).WrongUse != "unknown option '--no-such-option'") {
    Fail("an unknown long option first was not the one refused");
  }

  const std::string shown = screens::ShownFileName(fileName.value_or(""));
  CheckShownText(shown);
  if (!fileName || fileName->empty() ? shown != "[no name]"
                                     : shown.find_first_of("/\\:") != std::string::npos) {
    Fail("the shown name is not the name's last component");
  }
  const std::string usageText = cli::UsageText(parameters.empty() ? "" : parameters[0]);
  if (!usageText.starts_with("Line Binary Editor\n\n")) {
    Fail("usage text without its title");
  }
  const std::size_t line3 = std::string_view("Line Binary Editor\n\n").size();
  const std::size_t synopsis = usageText.find(" [/A[[:]Start-address]] [/M] [FileName]\n", line3);
  if (synopsis == std::string::npos) {
    Fail("usage text without its synopsis");
  }
  const std::string name = usageText.substr(line3, synopsis - line3);
  if (std::any_of(name.begin(), name.end(),
                  [](char c) { return std::islower(static_cast<unsigned char>(c)) || c == '/'; })) {
    Fail("the program name in the usage is not an upper-case base name");
  }
}

void RunOnce(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  switch (provider.ConsumeIntegral<std::uint8_t>() % 4) {
    case 0:
    case 1:
      CheckPathTarget(provider);
      break;
    case 2:
      AddressTarget(provider);
      break;
    default:
      CommandLineTarget(provider);
      break;
  }
}

}  // namespace
}  // namespace lbe::fuzzing

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  lbe::fuzzing::MakeFreshFolder("lbe-path-fuzz");
  const lbe::fuzzing::InsideFolder inside;
  lbe::fuzzing::LayOutFiles();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const lbe::fuzzing::InsideFolder inside;
  lbe::fuzzing::RunOnce(data, size);
  return 0;
}
