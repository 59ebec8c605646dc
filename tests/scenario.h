#pragma once
// Scenario tests: the program's state reset, an emulated console taken over by the console
// layer, keys queued, and a screen run until it returns or the queued keys run out.

#include <gtest/gtest.h>

#include <string>

#include "console/console_start.h"
#include "console/emulated_console.h"
#include "console/key_input.h"
#include "console/text_output.h"
#include "console/window.h"
#include "files/edited_file.h"
#include "image/memory_image.h"
#include "screens/program.h"

namespace lbe::testing {

// A screen test on a console of type `Device`, taken over by the console layer.
template <typename Device>
class ScreenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    screens::ResetProgramState();
    console::ConsoleStart(screen);
  }
  void TearDown() override { console::ConsoleStop(); }

  // Runs `screenFunction` on the queued keys; true when it returned by itself, false when it
  // was still waiting for a key when they ran out.
  template <typename Function>
  bool Run(Function&& screenFunction) {
    try {
      screenFunction();
      return true;
    } catch (const console::InputEnded&) {
      return false;
    }
  }

  // Row `row` (1-based window row) as text, without trailing blanks.
  std::string Row(int row) const {
    std::string text = screen.RowText(row - 1);
    text.erase(text.find_last_not_of(' ') + 1);
    return text;
  }
  // The cursor as a 1-based window column and row.
  int CursorColumn() const { return screen.Cursor().X + 1; }
  int CursorRow() const { return screen.Cursor().Y + 1; }

  Device screen;
};

using ScenarioTest = ScreenTest<console::EmulatedConsole>;

}  // namespace lbe::testing
