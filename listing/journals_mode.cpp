#include "listing/journals_mode.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "files/file_layer.h"
#include "files/journal_list.h"
#include "text/visible_text.h"

namespace lbe::listing {

namespace {

using files::JournalStanding;

void ReportError(std::FILE* err, std::string_view message) {
  std::fprintf(err, "lbe: %s\n", files::WithLineFeeds(message).c_str());
}

std::string Count(std::uint64_t count, std::string_view one, std::string_view more) {
  return std::to_string(count) + " " + std::string(count == 1 ? one : more);
}

std::string AgeText(std::int64_t seconds) {
  constexpr std::int64_t kHour = 60 * 60;
  constexpr std::int64_t kDay = 24 * kHour;
  if (seconds < kHour) {
    return "less than an hour old";
  }
  if (seconds < kDay) {
    return Count(static_cast<std::uint64_t>(seconds / kHour), "hour", "hours") + " old";
  }
  return Count(static_cast<std::uint64_t>(seconds / kDay), "day", "days") + " old";
}

std::string WhyItWaits(const files::ListedJournal& journal) {
  switch (journal.Standing) {
    case JournalStanding::Untrusted:
      return "cannot be trusted: " + journal.Detail;
    case JournalStanding::SetAside:
      return "set aside: kept for you to look at";
    case JournalStanding::SetAsideNow:
      return "its file is not at that path, and it is over 30 days old: set aside now as "
             "unclaimed, and still put back when its file is loaded";
    case JournalStanding::Unclaimed:
      return "its file is not at that path: unclaimed for over 30 days, and still put back when "
             "its file is loaded";
    case JournalStanding::FileMissing:
      return "its file is not at that path";
    case JournalStanding::OtherFile:
      return "that path now names another file";
    case JournalStanding::FileThere:
      return "its file is there: open it in lbe to settle it";
    case JournalStanding::NoPath:
      return "no path was recorded: open its file in lbe to settle it";
    case JournalStanding::NotLookedAt:
      break;
  }
  return "not looked at: " + journal.Detail;
}

std::string FileOf(bool headerRead, const std::string& path) {
  if (!headerRead) {
    return "(path not read)";
  }
  return path.empty() ? "(path not recorded)" : text::VisibleText(path);
}

bool Flushed(std::FILE* out, std::FILE* err) {
  if (std::fflush(out) != 0) {
    ReportError(err, std::string("standard output: ") + files::PlatformErrorText(errno));
    return false;
  }
  return true;
}

int ListAll(std::FILE* out, std::FILE* err) {
  const std::vector<files::ListedJournal> journals =
      files::ListJournals(static_cast<std::int64_t>(std::time(nullptr)), files::ReadMountTable());
  if (journals.empty()) {
    std::fputs("No journal is waiting.\n", out);
  }
  for (const files::ListedJournal& journal : journals) {
    std::fprintf(out, "%s\n", JournalLine(journal).c_str());
  }
  return Flushed(out, err) ? 0 : 1;
}

int Remove(const std::string& name, std::FILE* out, std::FILE* err) {
  const files::JournalPlace place = files::FindNamedJournal(name);
  const std::string path = files::RemoveJournal(place);
  std::fprintf(out, "Removed the journal %s of %s.\n", text::VisibleText(place.Shown()).c_str(),
               FileOf(true, path).c_str());
  return Flushed(out, err) ? 0 : 1;
}

// The answer to the question, read from `in`: true for "y" or "yes", in any case.
bool AnsweredYes(std::FILE* in, std::FILE* out) {
  char line[64];
  if (std::fgets(line, sizeof line, in) == nullptr) {
    std::fputs("\n", out);  // no answer: the next line starts on a line of its own
    return false;
  }
  std::string answer(line);
  while (!answer.empty() &&
         (answer.back() == '\n' || answer.back() == '\r' || answer.back() == ' ')) {
    answer.pop_back();
  }
  return answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes" || answer == "YES";
}

int Apply(const JournalsRequest& request, std::FILE* in, std::FILE* out, std::FILE* err) {
  const files::JournalPlace place = files::FindNamedJournal(*request.Apply);
  const std::string journal = text::VisibleText(place.Shown());
  bool notTerminal = false;
  const files::PutBackOutcome outcome =
      files::ApplyJournal(place, request.FileName, [&](const files::PutBackFigures& figures) {
        const std::string length =
            figures.LengthNow == figures.LengthAfter
                ? "its length stays " + Count(figures.LengthNow, "byte", "bytes")
                : "its length goes from " + std::to_string(figures.LengthNow) + " to " +
                      Count(figures.LengthAfter, "byte", "bytes");
        std::fprintf(out,
                     "The journal %s puts back what a save of %s overwrote:\n%s in %s change back, "
                     "and %s.\n",
                     journal.c_str(), text::VisibleText(figures.FilePath).c_str(),
                     Count(figures.Bytes, "byte", "bytes").c_str(),
                     Count(figures.Stretches, "stretch", "stretches").c_str(), length.c_str());
        if (::isatty(::fileno(in)) != 1) {
          std::fflush(out);
          ReportError(err, "standard input is not a terminal to answer on: nothing was put back");
          notTerminal = true;
          return false;
        }
        std::fputs("Put these bytes back? (y/N) ", out);
        std::fflush(out);
        return AnsweredYes(in, out);
      });
  if (!outcome.Applied) {
    if (!notTerminal) {
      std::fputs("Nothing was put back.\n", out);
      Flushed(out, err);
    }
    return 1;
  }
  const files::PutBackFigures& figures = outcome.Figures;
  std::fprintf(out, "Put back %s in %s of %s, now %s long, and removed the journal %s.\n",
               Count(figures.Bytes, "byte", "bytes").c_str(),
               Count(figures.Stretches, "stretch", "stretches").c_str(),
               text::VisibleText(figures.FilePath).c_str(),
               Count(figures.LengthAfter, "byte", "bytes").c_str(), journal.c_str());
  return Flushed(out, err) ? 0 : 1;
}

}  // namespace

std::string JournalLine(const files::ListedJournal& journal) {
  return text::VisibleText(journal.Path) + "\tfor " + FileOf(journal.HeaderRead, journal.FilePath) +
         "\t" + Count(journal.Size, "byte", "bytes") + "\t" + AgeText(journal.AgeSeconds) + "\t" +
         WhyItWaits(journal);
}

int JournalsMode(const JournalsRequest& request, std::FILE* in, std::FILE* out, std::FILE* err) {
  try {
    if (request.Remove) {
      return Remove(*request.Remove, out, err);
    }
    if (request.Apply) {
      return Apply(request, in, out, err);
    }
    return ListAll(out, err);
  } catch (const files::FileError& error) {
    std::fflush(out);
    ReportError(err, error.what());
    return 1;
  }
}

}  // namespace lbe::listing
