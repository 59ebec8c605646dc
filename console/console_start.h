#pragma once
// The console layer's start-up and shut-down, above its window, text output and key input:
// each of them starts and stops its own state, in the order these two give.

#include "console/console_device.h"

namespace lbe::console {

// Takes over `device`: UTF-8 output, the modes the layer needs, the 80 x 25 window, cleared.
void ConsoleStart(ConsoleDevice& device);
// Gives back the code page and the colours, discards pending input, flushes the output, and
// lets go of the device.
void ConsoleStop();

}  // namespace lbe::console
