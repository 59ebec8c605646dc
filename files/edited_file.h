#pragma once
// The edited file: its name, where the image stands in it, loading it into the image at the
// start address and saving the range in use back, as raw bytes, as the records of an Intel HEX
// or S-record file, or as a .prg file (a load address and the bytes from there). Returns data or
// throws FileError; the F and S screens show the outcome and ask the questions a save raises.

#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "files/file_journal.h"
#include "records/record_file.h"

namespace lbe::files {

// The file that is loaded and saved, exactly as typed or passed; empty means none.
extern std::string CurrentFileName;

inline constexpr std::uint64_t kAsMuchAsFits = std::numeric_limits<std::uint64_t>::max();

// Where the image stands in the file. A save of a raw file replaces exactly `Stretch` with the
// range in use, so the bytes of a file that no load read (those beyond the 64 KiB space or
// `Length`, those before the offset) are never touched. A record file is read whole; a save
// rewrites the records of the range's addresses and keeps every other record.
struct FilePlacement {
  // Raw: the file's byte that loads at StartAddress. Record files: the record address that
  // loads at image address 0, so that it picks which 64 KiB of their address space is loaded.
  std::uint64_t Offset = 0;
  std::uint64_t Length = kAsMuchAsFits;  // --length: at most this many raw bytes are loaded
  // Raw: the stretch read by the last load or written by the last save. Record files: the
  // whole file, as the last load read it or the last save left it.
  FileStretch Stretch;
  // --format: the format every file is read and written in, whatever its name says.
  std::optional<records::FileFormat> FormatOverride;
  // Set by /A (and the A command): a record file's load keeps StartAddress instead of taking
  // the lowest line it holds.
  bool StartAddressGiven = false;
  // A .prg file: the load address its header gives (or --address gave a new one); a save
  // writes it and the bytes from there on.
  std::optional<std::uint16_t> LoadAddress;
  // The New MLX type-in mode: the image holds the file's address A at A - AddressShift (0 to
  // 7), so that a listing printed from a load address off the line grid (0801) has each printed
  // line on one line of the image; every address the user sees or types is the image's plus
  // AddressShift. 0 everywhere else.
  std::int32_t AddressShift = 0;
  // The New MLX type-in mode: every .prg load, the F command's too, sets AddressShift to its
  // load address's distance from the line grid.
  bool LinesFromLoadAddress = false;
  // --address gave LoadAddress for a new .prg: the next load refuses a .prg that has its own.
  bool LoadAddressGiven = false;
  // How the record file last loaded writes its records, for the records a save writes anew;
  // none when the last load read no records.
  std::optional<records::RecordStyle> Style;
  // The file as the last load read it or the last save left it, to tell at the next save
  // whether anyone changed it since; empty when nothing is known. It stands for the file named
  // `KnownName`: a save under another name asks nothing.
  // For a record file its StretchSum is over the whole file.
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

// The format the file `name` is read and written in: --format's, else the one its name says.
records::FileFormat FormatOf(std::string_view name);

// Records the image and the range as saved: called after start-up's load, and after every
// successful load and save.
void MarkImageSaved();
// True when the bytes Save would write, or the range they come from, differ from the ones at
// the last MarkImageSaved; for a record file also when a byte was typed since (held bytes).
bool ImageChangedSinceSaved();

// What a load has to tell the user, in lines separated by "\n"; empty when nothing.
struct LoadOutcome {
  std::string Notice;
  // Read-only loads: a save of the file was interrupted, and nothing was loaded.
  bool Interrupted = false;
};

// Copies the named file, from Placement.Offset on, into the image at StartAddress and sets EndLine
// from the count; the bytes it copied are held (memory_image.h). A record file (FormatOf) is
// read whole instead: the image and its marks cleared, every data byte at its record address less
// Placement.Offset, held; the range from its lowest held line (unless StartAddressGiven) to its
// highest, the bytes below StartAddress outside it. A .prg file is read whole likewise: its
// bytes at its load address less AddressShift, held, the range from that line (unless
// StartAddressGiven) to the line of its last byte; an empty or missing one is new, its load
// address the one --address or the last .prg gave, else StartAddress. A record file that does not
// parse, a .prg of 1 byte or one whose bytes run past FFFF, and a .prg with --offset or --length,
// or that exists after --address, load nothing: FileError saying what is wrong. First settles what
// a save of it left behind: puts the file back when a save was interrupted, sets a journal that no
// longer fits the file aside, leaves alone what it cannot trust (each said in the notice). With
// `readOnly` it writes nothing: facing an interrupted save it loads nothing and says so. Loads
// nothing when the name names no existing file, and the next save then writes the range at the
// offset. Throws FileError when the file cannot be read.
LoadOutcome LoadFile(bool readOnly = false);

// What start-up takes from the command line to load the file.
struct StartFile {
  std::optional<std::string> AddressText;     // what followed /A; none: address 0
  std::string Name;                           // empty: no file
  std::uint64_t Offset = 0;                   // --offset
  std::uint64_t Length = kAsMuchAsFits;       // --length
  std::optional<records::FileFormat> Format;  // --format: the file's format whatever its name
  std::optional<std::uint32_t> LoadAddress;   // --address: a new .prg file's load address
  // The New MLX type-in mode: a .prg is held shifted down by its load address's distance from
  // the line grid (FilePlacement::AddressShift).
  bool LinesFromLoadAddress = false;
};
// The image as start-up leaves it: zeroed, the range set from the address text, the named file
// loaded (LoadFile, `readOnly` as there) and taken as saved; the load's notice. A LoadAddress
// past FFFF is refused with FileError, before anything is read.
LoadOutcome LoadStartImage(const StartFile& start, bool readOnly = false);

// Writes the range in use to CurrentFileName in place of Placement.Stretch, asking `ask` first
// when the file changed on disk since Placement.Known or the save would move the bytes after the
// stretch. Where --length ended the stretch inside the range's last line, in a file that goes on
// after it, only the stretch's own bytes are written, unless a byte past them was typed. A record
// file instead gets the held bytes of the range in place of the data records of the range's
// addresses, every other record kept (and a new or empty one is written afresh), asking only
// whether it changed on disk. A .prg file gets its load address and the image from there (less
// AddressShift) to the later of its last held byte and the range's end, the range's last line cut
// after its last held byte: never a byte below the load address, and never fewer than the file's
// own bytes unless some were deleted. `progress` hears of a long save; `notes` gets what the save
// settled first (an interrupted save rolled back, a journal set aside). Takes the image as saved
// and returns true when it saved, false when `ask` said no (nothing written). Throws FileError with
// the file, Placement and the saved state as they were.
bool SaveRange(const SaveQuestion& ask = {}, const SaveProgress& progress = {},
               std::vector<std::string>* notes = nullptr);

// The rescue copy (rescue_copy.h) of what SaveRange would write. For a record file it is a whole
// record file of its format holding the held bytes of the range, named with that format's suffix
// (NAME.lbe-rescue.hex, NAME.lbe-rescue.srec) so that lbe loads it back as one, at the same
// --offset; a .prg's is a .prg, header and all (NAME.lbe-rescue.prg). Returns the name written;
// throws FileError as WriteRescueCopy.
std::string WriteRescueOfRange();

}  // namespace lbe::files
