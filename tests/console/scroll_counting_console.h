#pragma once
// The emulated console with its count of whole-buffer scrolls in view, for the tests that tell a
// scroll of the buffer from one of the window.

#include "console/emulated_console.h"

namespace lbe::console {

class ScrollCountingConsole : public EmulatedConsole {
 public:
  using EmulatedConsole::EmulatedConsole;

  // How often the whole buffer has scrolled up since it was made.
  long ScrolledRows() const { return scrolledRows_; }
};

}  // namespace lbe::console
