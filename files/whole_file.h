#pragma once
// A whole file read in pieces and written whole, each behind the file layer's path checks: a read
// of part of a file, and the write that makes a file hold exactly the bytes given, a new one
// written afresh (new_file.h), one that is there in place through its journal (file_journal.h).
// Knows nothing of the console or the image.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "files/file_journal.h"
#include "files/file_layer.h"
#include "files/new_file.h"

namespace lbe::files {

// What a read of part of a file gave: the bytes, the file's whole length at the time, and what
// the file was then (its StretchSum over the bytes read).
struct FilePiece {
  std::vector<std::uint8_t> Bytes;
  std::uint64_t FileSize = 0;
  FileState State;
};

// At most `maxBytes` bytes of the file from byte `offset` on (none when the file ends before
// it); a file of any size. Only regular files are read (a FIFO or device fails with the open
// message).
FilePiece ReadFilePiece(std::string_view path, std::uint64_t offset, std::size_t maxBytes);

// Afterwards the file holds exactly `bytes`, a symbolic link followed and kept. A file that is
// there gets the journalled in-place write of file_journal.h over its whole length, so it keeps
// its inode, links, owner, mode, ACLs and extended attributes, and a failure leaves it as it was
// (or a journal that gives it back on the next load). A new one is written whole before it gets
// its name (new_file.h): no journal, no state folder, and nothing at all when it fails.
void WriteWholeFile(std::string_view path, std::span<const std::uint8_t> bytes);

// Checks the path and opens the file to read as ReadFilePiece does: a regular file only, under a
// shared lock that another lbe's save would hold exclusively. Throws FileError as it does.
FileDescriptor OpenForReading(std::string_view path);

// WriteWholeFile for an output too long to be held in memory, with what `write` puts into the
// file it is handed: a new file is that file, linked in once complete; a file that
// is there gets the journalled in-place write of its bytes, which are mapped from a scratch file
// rather than read into memory.
void WriteWholeFile(std::string_view path, const OutputWriter& write);

}  // namespace lbe::files
