#pragma once
// The user's state folder, where journals and typed sums are kept, and the other folders a save
// run in another environment (sudo, sudo -E, cron, another XDG_STATE_HOME) may have journalled
// in. Knows nothing of journals' contents, the console or the image.
//
// The folder belongs to the user who runs lbe: $XDG_STATE_HOME/lbe, else ~/.local/state/lbe,
// where ~ is $HOME only while HOME is the user's own; under another user's HOME (sudo -E) it is
// the effective user's home from the user database, and XDG_STATE_HOME, which is then also the
// other user's, is passed over. Every folder on the way is the user's or root's and writable by
// nobody else unless sticky; links on the way are followed when the user or root owns them;
// the folder itself is the user's (or root's) and writable by nobody else. Folders are created
// only inside folders the user owns.

#include <sys/stat.h>

#include <string>
#include <string_view>
#include <vector>

#include "files/file_layer.h"

namespace lbe::files {

// The effective user's home as the user database gives it (a static program cannot ask the
// system's name services, so the file is read as it is); empty when it names none.
std::string OwnHome();

// The user's state folder, open; -1 when there is none that is safe to use, and then, in
// `refusal`, why one that is there is not used (empty when there is none). `path` gets its path
// with a closing "/" (without it when it is not used). With `create` the missing folders are
// made, mode 0700, inside folders of the user's own.
FileDescriptor OpenStateFolder(bool create, std::string& path, std::string* refusal = nullptr);

// Called when a save journals in the state folder: when that folder is not the one in the user's
// home (XDG_STATE_HOME names another), the home's state folder lists it (made when missing), so
// that a load under another XDG_STATE_HOME still looks there.
void NoteStateFolderInUse();

// The user's state folder's path ($XDG_STATE_HOME/lbe, else ~/.local/state/lbe) with its closing
// "/"; empty when there is none that is safe to use (not the user's own, open to others, or
// reached through a link).
std::string StateFolder();

// Why the open file `fd` in a state folder is not to be trusted; empty when its status is as
// lbe leaves one: a regular file with one link, owned by the user (or by the owner of `file`,
// when given), that nobody else may write.
std::string DistrustOfStatus(int fd, const struct stat* file);

// Renames `name` in the open folder `folder` to NAME+`suffix` (then ".1", ".2", ...), never over
// anything; the new name, or empty with errno set.
std::string RenameAside(int folder, const std::string& name, std::string_view suffix);

// A folder a save may have left a journal in, open for reading.
struct SearchedFolder {
  FileDescriptor Folder{-1};
  std::string Path;      // with a closing "/"
  std::string Distrust;  // why what is in it is not applied; empty when it is the user's own
  bool Own = false;      // the user's state folder, where a save journals
};
// Every state folder a save of this user may have journalled in: the user's own, then
// $XDG_STATE_HOME/lbe, $HOME/.local/state/lbe, the home's from the user database and the folders
// those homes list (NoteStateFolderInUse), each once, those that exist. Nothing is created. A
// folder that fails the checks above is still opened for reading, with its Distrust set, so that a
// journal in it can be named.
// `ownRefusal`, when given, gets what OpenStateFolder's `refusal` would: why the user's own state
// folder, which is there, is not used (empty when it is, or is missing), and `ownPath` its path,
// without a closing "/".
std::vector<SearchedFolder> SearchedStateFolders(std::string* ownRefusal = nullptr,
                                                 std::string* ownPath = nullptr);

}  // namespace lbe::files
