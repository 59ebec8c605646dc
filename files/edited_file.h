#pragma once
// The edited file: its name, where the image stands in it, loading it into the image at the
// start address and saving the range in use back. Returns data or throws FileError; the F and
// S screens show the outcome and ask the questions a save raises.

#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "files/file_journal.h"
#include "records/record_file.h"

namespace lbe::files {

// The file that is loaded and saved, exactly as typed or passed; empty means none.
extern std::string CurrentFileName;

inline constexpr std::uint64_t kAsMuchAsFits = std::numeric_limits<std::uint64_t>::max();

// Where the image stands in the file. A save replaces exactly `Stretch` with the range in use,
// so the bytes of a file that no load read (those beyond the 64 KiB space or `Length`, those
// before the offset) are never touched.
struct FilePlacement {
  std::uint64_t Offset = 0;              // --offset: the file's byte that loads at StartAddress
  std::uint64_t Length = kAsMuchAsFits;  // --length: at most this many bytes are loaded
  FileStretch Stretch;                   // read by the last load or written by the last save
  // The file as the last load read it or the last save left it, to tell at the next save
  // whether anyone changed it since; empty when nothing is known. It stands for the file named
  // `KnownName`: a save under another name asks nothing.
  std::optional<FileState> Known;
  std::string KnownName;

  bool operator==(const FilePlacement&) const = default;
};
extern FilePlacement Placement;

// The image as last loaded or saved: a save or a rescue copy is due only when it
// changed since.
struct SavedState {
  std::uint64_t Fingerprint = 0;  // of the range and the image at the last MarkImageSaved

  bool operator==(const SavedState&) const = default;
};
extern SavedState Saved;

// Records the image and the range as saved: called after start-up's load, and after every
// successful load and save.
void MarkImageSaved();
// True when the bytes Save would write, or the range they come from, differ from the ones at
// the last MarkImageSaved.
bool ImageChangedSinceSaved();

// What a load has to tell the user, in lines separated by "\n"; empty when nothing.
struct LoadOutcome {
  std::string Notice;
  // Read-only loads: a save of the file was interrupted, and nothing was loaded.
  bool Interrupted = false;
};

// Copies the named file, from Placement.Offset on, into the image at StartAddress and sets EndLine
// from the count. First settles what a save of it left behind: puts the file back when a save
// was interrupted, sets a journal that no longer fits the file aside, leaves alone what it
// cannot trust (each said in the notice). With `readOnly` it writes nothing: facing an
// interrupted save it loads nothing and says so. Loads nothing when the name names no existing
// file, and the next save then writes the range at the offset. Throws FileError when the file
// cannot be read.
LoadOutcome LoadFile(bool readOnly = false);

// What start-up takes from the command line to load the file.
struct StartFile {
  std::optional<std::string> AddressText;     // what followed /A; none: address 0
  std::string Name;                           // empty: no file
  std::uint64_t Offset = 0;                   // --offset
  std::uint64_t Length = kAsMuchAsFits;       // --length
  std::optional<records::FileFormat> Format;  // --format: the file's format whatever its name
};
// The image as start-up leaves it: zeroed, the range set from the address text, the named file
// loaded (LoadFile, `readOnly` as there) and taken as saved; the load's notice.
LoadOutcome LoadStartImage(const StartFile& start, bool readOnly = false);

// Writes the range in use to CurrentFileName in place of Placement.Stretch, asking `ask` first
// when the file changed on disk since Placement.Known or the save would move the bytes after the
// stretch; `progress` hears of a long save; `notes` gets what the save settled first (an
// interrupted save rolled back, a journal set aside). Takes the image as saved and returns true
// when it saved, false when `ask` said no (nothing written). Throws FileError with the file,
// Placement and the saved state as they were.
bool SaveRange(const SaveQuestion& ask = {}, const SaveProgress& progress = {},
               std::vector<std::string>* notes = nullptr);

}  // namespace lbe::files
