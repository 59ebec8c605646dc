#pragma once
// Screen tests that look at the screen between two keys: a console that hands control back to
// the test each time the screen waits for a key and none is queued, and that keeps every run of
// bytes the program wrote to it.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "console/emulated_console.h"
#include "console/key_codes.h"
#include "scenario.h"

namespace lbe::testing {

class SteppingConsole : public console::EmulatedConsole {
 public:
  // Called when the program waits and nothing is queued: queue more input and return true, or
  // return false to end the input (the waiting call then throws InputEnded).
  std::function<bool()> OnWait;
  // Every WriteBytes call, in order: one entry per piece of one write statement.
  std::vector<std::string> Writes;

  bool WaitForInput() override {
    if (EmulatedConsole::WaitForInput()) {
      return true;
    }
    return OnWait && OnWait() && EmulatedConsole::WaitForInput();
  }
  void WriteBytes(std::string_view bytes) override {
    Writes.emplace_back(bytes);
    EmulatedConsole::WriteBytes(bytes);
  }
};

using SteppingTest = ScreenTest<SteppingConsole>;

}  // namespace lbe::testing

// The short names every stepping screen test uses.
namespace console = lbe::console;
namespace image = lbe::image;
namespace screens = lbe::screens;
namespace Vk = console::Vk;
using console::KeyCode;
