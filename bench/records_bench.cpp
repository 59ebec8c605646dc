// Prints how long the record codec takes for 64 KiB of Intel HEX (16-byte records, about
// 176 KiB of text): reading it (fed in 64 KiB pieces, as a load reads), writing it afresh, and
// rewriting it for a one-byte patch; and the peak memory of reading and of rewriting a file that
// holds the same window and then 1 or 64 MiB of records of other addresses (the rewrite with and
// without a way to read the file back), each in a child process of its own so that its peak
// resident set is its alone. The big files are made piece by piece as they are fed, never kept
// whole whole. Usage: records_bench [rounds]

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "records/record_file.h"

namespace {

using lbe::records::FileFormat;
using lbe::records::kWindowSize;
using Clock = std::chrono::steady_clock;

struct Window {
  std::array<std::uint8_t, kWindowSize> Bytes{};
  lbe::records::MarkedBytes Marks;
};

std::unique_ptr<Window> FullWindow() {
  auto window = std::make_unique<Window>();
  for (std::size_t at = 0; at < kWindowSize; ++at) {
    window->Bytes[at] = static_cast<std::uint8_t>(at * 7 + (at >> 8));
  }
  window->Marks.set();
  return window;
}

// Feeds `consumer` the window's records, then `extraMiB` MiB of records at addresses above the
// window (made bank by bank), then the end record.
template <typename Consumer>
void FeedFile(Consumer& consumer, const std::string& windowText, std::size_t extraMiB) {
  consumer.Feed(std::string_view(windowText).substr(0, windowText.size() - 12));  // no end
  const auto banks = std::make_unique<Window>();
  banks->Marks.set();
  std::size_t fed = 0;
  for (std::uint64_t bank = 1; fed < extraMiB << 20; ++bank) {
    std::string text =
        lbe::records::WriteRecordFile(FileFormat::IntelHex, {}, 0, banks->Bytes, banks->Marks);
    text.resize(text.size() - 12);
    // An extended linear address record for the bank, then the bank's data records.
    const std::uint8_t value[2] = {static_cast<std::uint8_t>(bank >> 8),
                                   static_cast<std::uint8_t>(bank)};
    unsigned sum = 2 + 4 + value[0] + value[1];
    char ext[32];
    std::snprintf(ext, sizeof ext, ":02000004%02X%02X%02X\n", value[0], value[1],
                  (0x100 - (sum & 0xFF)) & 0xFF);
    consumer.Feed(ext);
    consumer.Feed(text);
    fed += text.size();
  }
  consumer.Feed(":00000001FF\n");
  consumer.Finish();
}

// A rewrite's survey, fed as FeedFile feeds.
struct Survey {
  lbe::records::RecordRewrite& Save;
  void Feed(std::string_view text) { Save.Survey(text); }
  void Finish() { Save.FinishSurvey(); }
};

template <typename Work>
double MeanMicroseconds(int rounds, Work&& work) {
  const auto start = Clock::now();
  for (int round = 0; round < rounds; ++round) {
    work();
  }
  const std::chrono::duration<double, std::micro> spent = Clock::now() - start;
  return spent.count() / rounds;
}

// Runs `work` in a child and prints its peak resident set.
template <typename Work>
void PeakInChild(const char* label, Work&& work) {
  std::printf("%-44s", label);
  std::fflush(stdout);
  const pid_t child = ::fork();
  if (child == 0) {
    work();
    std::_Exit(0);
  }
  int status = 0;
  rusage usage{};
  ::wait4(child, &status, 0, &usage);
  std::printf("%8ld KiB peak RSS%s\n", usage.ru_maxrss,
              WIFEXITED(status) && WEXITSTATUS(status) == 0 ? "" : " (failed)");
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
  const auto window = FullWindow();
  const std::string text =
      lbe::records::WriteRecordFile(FileFormat::IntelHex, {}, 0, window->Bytes, window->Marks);
  std::printf("64 KiB as Intel HEX: %zu bytes of text; mean of %d rounds\n", text.size(), rounds);

  auto loaded = std::make_unique<Window>();
  const double read = MeanMicroseconds(rounds, [&] {
    loaded->Marks.reset();
    lbe::records::RecordReader reader(FileFormat::IntelHex, 0, loaded->Bytes, loaded->Marks);
    for (std::size_t at = 0; at < text.size(); at += 65536) {
      reader.Feed(std::string_view(text).substr(at, 65536));
    }
    reader.Finish();
  });
  std::printf("%-44s%8.1f us\n", "read (RecordReader)", read);

  std::size_t written = 0;
  const double write = MeanMicroseconds(rounds, [&] {
    written +=
        lbe::records::WriteRecordFile(FileFormat::IntelHex, {}, 0, window->Bytes, window->Marks)
            .size();
  });
  std::printf("%-44s%8.1f us\n", "write afresh (WriteRecordFile)", write);

  auto patched = std::make_unique<Window>(*window);
  patched->Bytes[0x8000] ^= 0xFF;
  std::size_t stretch = 0;
  const double rewrite = MeanMicroseconds(rounds, [&] {
    lbe::records::RecordRewrite save(FileFormat::IntelHex, 0, patched->Bytes, patched->Marks, 0,
                                     0xFFFF);
    for (std::size_t at = 0; at < text.size(); at += 65536) {
      save.Survey(std::string_view(text).substr(at, 65536));
    }
    save.FinishSurvey();
    for (std::size_t at = 0; at < text.size(); at += 65536) {
      save.Feed(std::string_view(text).substr(at, 65536));
    }
    save.Finish();
    stretch = save.ReplaceLength();
  });
  std::printf("%-44s%8.1f us (stretch of %zu bytes)\n",
              "rewrite for a one-byte patch (two readings)", rewrite, stretch);

  for (const std::size_t extra : {std::size_t{0}, std::size_t{1}, std::size_t{64}}) {
    const std::string label = "read, window + " + std::to_string(extra) + " MiB of other records";
    PeakInChild(label.c_str(), [&] {
      auto into = std::make_unique<Window>();
      lbe::records::RecordReader reader(FileFormat::IntelHex, 0, into->Bytes, into->Marks);
      FeedFile(reader, text, extra);
    });
  }
  for (const bool readBack : {false, true}) {
    for (const std::size_t extra : {std::size_t{0}, std::size_t{1}, std::size_t{64}}) {
      const std::string label = std::string(readBack ? "rewrite reading back" : "rewrite keeping") +
                                ", window + " + std::to_string(extra) + " MiB";
      PeakInChild(label.c_str(), [&] {
        lbe::records::RecordRewrite save(FileFormat::IntelHex, 0, patched->Bytes, patched->Marks, 0,
                                         0xFFFF);
        if (readBack) {
          // Nothing after the window changes here: a read back would be a fault.
          save.ReadBackWith([](std::uint64_t, std::size_t) -> std::string { std::_Exit(1); });
        }
        Survey survey{save};
        FeedFile(survey, text, extra);
        FeedFile(save, text, extra);
      });
    }
  }
  return written > 0 ? 0 : 1;
}
