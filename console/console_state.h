#pragma once
// Inside the console layer only: the device it runs on.

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

}  // namespace lbe::console
