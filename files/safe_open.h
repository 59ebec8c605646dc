#pragma once
// Opening a name as the kernel would reach it, one component at a time from "/" or the working
// folder, with the rule for symbolic links in shared folders applied to every link on the way,
// whatever this machine's own setting: a link planted by another user in a folder such as /tmp
// never leads lbe to a file it did not mean. No messages: the caller words the failure.

#include <sys/types.h>

#include <string>
#include <string_view>

#include "files/file_layer.h"

namespace lbe::files {

// What OpenName reached.
struct OpenedName {
  FileDescriptor File{-1};  // the file itself, open with the flags asked
  // The folder that holds it, as reached (links followed), open with O_PATH: for the *at calls
  // and fstat; reopen it by openat(Folder, ".", O_RDONLY) to read or sync it.
  FileDescriptor Folder{-1};
  // Its last component in that folder; "." when the path ends in a folder ("/", "dir/.."),
  // which is then Folder itself. Neither is had for a file reached through a link of the
  // kernel's own in /proc (/dev/stdin): Folder is not open, Name is empty.
  std::string Name;
  std::string RealPath;  // from the open descriptor; empty when it cannot be had (too long)
  bool Created = false;  // O_CREAT made it
};

// Opens `path` as open(2) would with `flags` and `mode`, links followed as the kernel follows
// them (".." after a link is the link target's parent; at most 40 links, then ELOOP; /proc's own
// links lead to what they stand for, whatever their text), except:
// - a link that stands in a sticky folder others may write is followed only when it belongs to
//   the effective user or to the folder's owner (root included); anywhere on the path;
// - with O_CREAT, an existing regular file in such a folder that belongs to neither is not
//   opened (EACCES), and a missing one is created by O_CREAT|O_EXCL in the folder reached,
//   never through a link at that name;
// - O_CREAT|O_EXCL fails with EEXIST on a link at the name, as the kernel's does.
// False with errno set; a refused link (EACCES) is named in `refusedLink`, the path by which the
// walk reached it, which is cleared otherwise.
bool OpenName(std::string_view path, int flags, mode_t mode, OpenedName& out,
              std::string* refusedLink);

// The regular file `path` names (OpenName's rules), opened with `flags` (no O_CREAT) only once it
// is seen to be one, so that no device or FIFO is ever opened: EISDIR for a folder, ENOTSUP for
// anything else that is no regular file, ENOENT when nothing is there.
bool OpenRegularFile(std::string_view path, int flags, OpenedName& out, std::string* refusedLink);

}  // namespace lbe::files
