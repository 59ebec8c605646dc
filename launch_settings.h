#pragma once
// What the parsed command line asks of the editor and the listing modes: the one place where
// the command line's options become the parameters of the rooms below main.cpp.

#include "cli/command_line.h"
#include "files/edited_file.h"
#include "listing/convert_mode.h"
#include "listing/listing_modes.h"
#include "screens/main_menu.h"

namespace lbe {

inline files::StartFile StartFileOf(const cli::CommandLineOptions& options) {
  files::StartFile start;
  start.AddressText = options.AddressText;
  start.Name = options.FileName.value_or("");
  start.Offset = options.FileOffset;
  start.Length = options.FileLength.value_or(files::kAsMuchAsFits);
  if (options.Format) {
    start.Format = records::FormatNamed(*options.Format);
  }
  if (options.Address) {
    // The command line lets it through in the editor only for a .prg file.
    start.LoadAddress = static_cast<std::uint32_t>(*options.Address);
  }
  return start;
}

inline listing::ListingStyle ListingStyleOf(const cli::CommandLineOptions& options) {
  return options.NewMlx ? listing::ListingStyle::NewMlx : listing::ListingStyle::Lbe;
}

inline listing::Conversion ConversionOf(const cli::CommandLineOptions& options) {
  listing::Conversion conversion;
  conversion.Input = StartFileOf(options);
  conversion.Input.Format.reset();       // --format names the output's format here
  conversion.Input.LoadAddress.reset();  // --address places a raw input here
  conversion.OutputName = options.OutputName.value_or("");
  if (options.Format) {
    conversion.OutputFormat = records::FormatNamed(*options.Format);
  }
  conversion.WholeFile = !options.OffsetGiven && !options.FileLength;
  conversion.Fill = options.Fill.value_or(0);
  conversion.Address = options.Address;
  conversion.RecordLength = options.RecordLength;
  conversion.StartAddress = options.StartAddress;
  return conversion;
}

// In the editor --style=mlx is only a New MLX type-in, whose lines start at the listing's first
// address.
inline screens::EditorSettings EditorSettingsOf(const cli::CommandLineOptions& options) {
  files::StartFile start = StartFileOf(options);
  const bool newMlx = options.TypeIn && options.NewMlx;
  start.LinesFromLoadAddress = newMlx;
  return screens::EditorSettings{start, options.NibbleMovement, options.TypeIn, newMlx};
}

}  // namespace lbe
