#pragma once
// The checksums a typist typed in the type-in mode, one per image line, kept in the user's state
// folder so that typing a long listing can go on another day: the file's format and its parser,
// which trusts nothing it reads, and the safe reading and writing of it. Knows nothing of the
// console or the screens.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "image/memory_image.h"

namespace lbe::files {

// The sum typed for each line of the image (0 to 255); -1 where none was typed.
using TypedSums = std::array<std::int16_t, image::kLastLine + 1>;
TypedSums NoTypedSums();

// Whose sums they are: the loaded file by its absolute path (it may not exist yet), the start
// address, the file offset, and which checksum was typed. A change of any of them is another
// typing: sums typed from a New MLX listing are never taken for lbe's own, nor those of one
// shift for another's, whose lines stand elsewhere in the printed listing.
struct TypedSumsKey {
  std::string Path;
  std::int32_t StartAddress = 0;
  std::uint64_t Offset = 0;
  bool NewMlx = false;            // the New MLX checksum over the printed address
  std::int32_t AddressShift = 0;  // the New MLX listing's distance from the line grid, 0 to 7
  bool operator==(const TypedSumsKey&) const = default;
};

// `name` made absolute against the current folder, "." and ".." taken out by their text alone:
// the file need not exist, and a link in the path is not followed.
std::string AbsoluteFilePath(std::string_view name);

// The text of a sums file. Lines are written in rising order from the key's start line on, by
// their image addresses; New MLX sums carry a "style mlx SHIFT" line after the heading, lbe's own
// none (so that the sums stored before New MLX came keep their file and text).
std::string TypedSumsText(const TypedSumsKey& key, const TypedSums& sums);

struct ParsedTypedSums {
  std::string Error;  // why the text is not a sums file for `key`; empty when it is
  TypedSums Sums = NoTypedSums();
};
// Parses `text` whole: any flaw gives Error and no sums at all, never a part of them.
ParsedTypedSums ParseTypedSums(std::string_view text, const TypedSumsKey& key);

// The outcome of looking for the stored sums of a key.
struct StoredSums {
  bool FolderMissing = false;  // no state folder that is safe to use: nothing can be kept
  std::string Problem;         // a file was there but is not used (already set aside); else empty
  TypedSums Sums = NoTypedSums();
};

// Reads the sums stored for `key`, creating the state folder when there is none yet. A file that
// cannot be trusted (a link, not the user's own, writable by others, not a regular file, too
// big) or that does not parse is renamed aside, never applied, and said in Problem.
StoredSums LoadTypedSums(const TypedSumsKey& key);

// Writes the sums of `key` whole to a new file in the state folder and renames it into place.
// Throws FileError, whose text says why, when that cannot be done; what was stored before then
// stays.
void StoreTypedSums(const TypedSumsKey& key, const TypedSums& sums);

}  // namespace lbe::files
