#pragma once
// The journals that wait in the state folders, for lbe --journals: each listed from its header
// with why it waits, found again by the name the listing shows, removed, or put back into its
// file at the user's word. A recorded path on a network or FUSE file system is never looked at,
// so a dead server cannot hold the listing up. Knows nothing of the console or the image.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "files/journal_store.h"

namespace lbe::files {

// Why a journal waits, as the listing tells it.
enum class JournalStanding {
  Untrusted,    // the journal or its state folder is not to be trusted (Detail: why)
  SetAside,     // set aside before: kept for the user to look at
  SetAsideNow,  // its file was not at its path and it was over 30 days old: unclaimed now
  Unclaimed,    // unclaimed before: out of the waiting list, still settled by its file's load
  FileMissing,  // nothing is at the path it recorded
  OtherFile,    // the path now names another file
  FileThere,    // its file is at that path: a load of it settles the journal
  NoPath,       // no path was recorded to look at
  NotLookedAt,  // the path was not looked at (Detail: why)
};

struct ListedJournal {
  std::string Path;         // the journal's path; its new one when set aside now
  bool HeaderRead = false;  // false: an untrusted journal, whose header is not read
  std::string FilePath;     // the path its header holds; may be empty
  std::uint64_t Size = 0;
  std::int64_t AgeSeconds = 0;  // since it was last modified; negative when dated ahead
  JournalStanding Standing = JournalStanding::Untrusted;
  std::string Detail;
};

// Journals of files that are not at their paths are set aside once older than this.
inline constexpr std::int64_t kSetAsideAfterSeconds = std::int64_t{30} * 24 * 60 * 60;

// True for the names journals have in a state folder: NAME.lbe-journal, set aside
// NAME.lbe-journal.set-aside or NAME.lbe-journal.set-aside.N, and unclaimed after 30 days
// NAME.lbe-journal.unclaimed or NAME.lbe-journal.unclaimed.N.
bool IsJournalName(std::string_view name);
bool IsSetAsideName(std::string_view name);
bool IsUnclaimedName(std::string_view name);

// The type of the file system at the longest mount point of `mountTable` (the text of
// /proc/self/mountinfo, its escapes undone) that holds the absolute `path`; the last one mounted
// there when several are. Empty when none does.
std::string MountTypeOf(std::string_view mountTable, std::string_view path);
// True for the types on which looking at a path may wait on a server or a user-space daemon: the
// network file systems, FUSE and the automounter.
bool MayWaitOnOthers(std::string_view type);
// The text of /proc/self/mountinfo; nullopt when it cannot be read.
std::optional<std::string> ReadMountTable();

// Every journal in every searched state folder (state_folder.h), folder by folder in the order
// they are searched and by name in each, read no further than its header. `now` is the time in
// seconds since the epoch; without `mountTable` no recorded path is looked at. A journal of the
// user's own in a trusted folder whose file is not at its path (looked at and missing) and that is
// older than kSetAsideAfterSeconds is set aside (SetAside): nothing is removed.
std::vector<ListedJournal> ListJournals(std::int64_t now,
                                        const std::optional<std::string>& mountTable);

// The journal `name` names as the listing shows it: its path, or its bare name in a searched
// state folder, with that folder's distrust. Throws FileError when it is no journal's name, when
// nothing of that name is in a state folder, or when a bare name is in more than one.
JournalPlace FindNamedJournal(std::string_view name);

// Removes the journal at `place`, the user's own and trusted, unless its file is at the path it
// recorded and it can still put that file back (the file as an interrupted save could have left
// it). The recorded path. Throws FileError, removing nothing, otherwise.
std::string RemoveJournal(const JournalPlace& place);

// What putting a journal's former bytes back into its file would change.
struct PutBackFigures {
  std::string FilePath;           // the file it goes into
  std::uint64_t Bytes = 0;        // bytes that would change back
  std::uint64_t Stretches = 0;    // runs of them
  std::uint64_t LengthNow = 0;    // the file's length now
  std::uint64_t LengthAfter = 0;  // and afterwards
};
// Told what a put-back would change, with the file locked; true: go on.
using PutBackQuestion = std::function<bool(const PutBackFigures&)>;

// Puts the former bytes the journal at `place` holds back into its file, at `filePath` or else
// at the path it recorded, then removes the journal: only a trusted journal of the user's, only
// into the file it was made for (EntryIsFor), under an exclusive lock of the file, and only when
// `ask` says so. The figures; `Applied` false when `ask` said no (nothing was written). Throws
// FileError when it cannot be done (the journal then stays).
struct PutBackOutcome {
  PutBackFigures Figures;
  bool Applied = false;
};
PutBackOutcome ApplyJournal(const JournalPlace& place, const std::optional<std::string>& filePath,
                            const PutBackQuestion& ask);

}  // namespace lbe::files
