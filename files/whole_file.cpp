#include "files/whole_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <vector>

#include "files/file_layer.h"
#include "files/journal_store.h"
#include "files/plain_io.h"
#include "files/safe_open.h"

namespace lbe::files {

namespace {

// Opens the checked file for reading under a shared lock: others may read it with us, but
// another lbe saving it holds it exclusively.
FileDescriptor OpenToRead(std::string_view path, struct stat& info) {
  OpenedName opened;
  std::string refusedLink;
  // O_NONBLOCK: opening a FIFO with no writer would otherwise wait forever.
  if (!OpenName(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0, opened, &refusedLink)) {
    if (!refusedLink.empty()) {
      throw RefusedLinkError(refusedLink);
    }
    throw OpenError(path, errno);
  }
  FileDescriptor file = std::move(opened.File);
  if (::fstat(file.Get(), &info) != 0) {
    throw OpenError(path, errno);
  }
  // A FIFO or device has no length to read up to; its bytes are no file's contents.
  if (!S_ISREG(info.st_mode)) {
    throw OpenError(path, ENOTSUP);
  }
  if (::flock(file.Get(), LOCK_SH | LOCK_NB) != 0) {
    throw OpenError(path, errno);
  }
  return file;
}

}  // namespace

FilePiece ReadFilePiece(std::string_view path, std::uint64_t offset, std::size_t maxBytes) {
  CheckPath(path, true);
  struct stat info {};
  const FileDescriptor file = OpenToRead(path, info);
  FilePiece piece;
  piece.FileSize = static_cast<std::uint64_t>(info.st_size);
  const std::uint64_t available = piece.FileSize > offset ? piece.FileSize - offset : 0;
  piece.Bytes.resize(static_cast<std::size_t>(std::min<std::uint64_t>(available, maxBytes)));
  const std::size_t count = piece.Bytes.size();
  // A read that fails, or that ends before the length the file claimed.
  if (!MoveAll(count, [&](std::size_t done) {
        return ::pread(file.Get(), piece.Bytes.data() + done, count - done,
                       static_cast<off_t>(offset + done));
      })) {
    throw ReadError(errno);
  }
  piece.State = StateOf(info, StretchChecksum(piece.Bytes));
  return piece;
}

FileDescriptor OpenForReading(std::string_view path) {
  CheckPath(path, true);
  struct stat info {};
  return OpenToRead(path, info);
}

namespace {

// Where a new output goes when nothing is at `path`: nullopt when a file is there (to be written
// in place). A link to a file yet to be made, which the walk lets pass, leads to where the new
// file goes.
std::optional<std::string> NewFileTarget(std::string_view path) {
  CheckPath(path, false);
  // Reached as the kernel would, a link planted in a shared folder refused. Only a file that is
  // there has bytes a failed write must give back, and a journal to hold them.
  OpenedName reached;
  std::string refusedLink;
  if (OpenName(path, O_PATH | O_CLOEXEC, 0, reached, &refusedLink)) {
    return std::nullopt;
  }
  if (!refusedLink.empty()) {
    throw RefusedLinkError(refusedLink);
  }
  if (errno != ENOENT) {
    throw CreateError(path, errno);
  }
  std::string target(path);
  for (int hop = 0; hop < 40; ++hop) {
    std::string link;
    if (!ReadLink(target, link)) {
      break;
    }
    const std::string parent = ParentOf(target);
    target = link.starts_with('/') || parent.empty()
                 ? link
                 : parent + (parent.back() == '/' ? "" : "/") + link;
  }
  return target;
}

}  // namespace

void WriteWholeFile(std::string_view path, std::span<const std::uint8_t> bytes) {
  if (const auto target = NewFileTarget(path)) {
    WriteNewFile(path, *target, bytes);
    return;
  }
  ReplaceStretch(path, FileStretch{}, bytes);
}

void WriteWholeFile(std::string_view path, const OutputWriter& write) {
  if (const auto target = NewFileTarget(path)) {
    WriteNewFile(path, *target, write);
    return;
  }
  const FileDescriptor scratch = OpenScratchFile(path);
  const OutputFile file(scratch.Get());
  write(file);
  // The save reads the bytes back from the scratch file as it compares, journals and writes
  // them, a piece at a time. A hole there reads as zeros and takes no room.
  const ByteReader read = [&](std::uint64_t offset, std::span<std::uint8_t> into) {
    return ReadAt(scratch.Get(), into.data(), into.size(), offset);
  };
  ReplaceStretch(path, FileStretch{}, file.Length(), read);
}

}  // namespace lbe::files
