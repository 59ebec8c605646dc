#pragma once
// lbe --journals: the journals that wait in the state folders, one line each with why, and the
// removal of one or the putting back of what one holds, without taking over the terminal. The
// one question it asks is read from standard input. None touches the console.

#include <cstdio>
#include <optional>
#include <string>

namespace lbe::files {
struct ListedJournal;  // files/journal_list.h, kept out of main.cpp's sight
}  // namespace lbe::files

namespace lbe::listing {

struct JournalsRequest {
  std::optional<std::string> Remove;    // --remove=NAME
  std::optional<std::string> Apply;     // --apply=NAME
  std::optional<std::string> FileName;  // with Apply: the file, when it is no longer at its path
};

// One line of the listing, without its line end: the journal's path, "for" and its file's, its
// size, its age and why it waits, separated by tabs.
std::string JournalLine(const files::ListedJournal& journal);

// Without Remove or Apply: lists every journal on `out` ("No journal is waiting." when there is
// none), setting aside those older than 30 days whose file is not at its path; 0.
// With Remove: removes that journal and says so on `out`; with Apply: says on `out` what putting
// its bytes back would change, asks "Put these bytes back? (y/N)", reads the answer from `in`,
// which must be a terminal, and on "y" puts them back and says so. Errors go to `err` as "lbe: "
// and the message. The exit status: 0 when done, 1 when nothing was done.
int JournalsMode(const JournalsRequest& request, std::FILE* in, std::FILE* out, std::FILE* err);

}  // namespace lbe::listing
