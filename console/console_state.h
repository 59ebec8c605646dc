#pragma once
// Inside the console layer only: the device it runs on, and each part's share of ConsoleStart
// and ConsoleStop (console/console_start.h), which call them in turn.

#include <cstdlib>

#include "console/console_device.h"
#include "console/window.h"

namespace lbe::console {

// The device ConsoleStart took over. There is none before it or after ConsoleStop: a call then
// ends the program rather than reach a device that may be gone.
inline ConsoleDevice& Device() {
  if (Console.Device == nullptr) {
    std::abort();
  }
  return *Console.Device;
}

// Key input: the input modes the layer needs. At the stop, pending input is discarded.
void StartInput();
void StopInput();
// Text output: an empty stream and the output modes the layer needs. At the stop, what is
// pending goes out.
void StartOutput();
void StopOutput();
// The window: the device's attribute becomes the text attribute, the 80 x 25 window, cleared.
// At the stop, the attribute the device had at the start comes back.
void StartWindow();
void StopWindow();

}  // namespace lbe::console
