#include "console/console_start.h"

#include "console/console_state.h"
#include "console/key_input.h"

namespace lbe::console {

void ConsoleStart(ConsoleDevice& device) {
  if (Console.StartCount-- != 0) {
    return;
  }
  Console.Device = &device;
  Console.StartCodePage = device.OutputCodePage();
  device.SetOutputCodePage(kUtf8CodePage);
  StartInput();
  StartOutput();
  // Drops a non-key event waiting at the head of the queue (a key press stays); no wait needs it.
  PollInput();
  StartWindow();
}

void ConsoleStop() {
  if (++Console.StartCount != 0 || Console.Device == nullptr) {
    return;
  }
  Device().SetOutputCodePage(Console.StartCodePage);
  StopWindow();
  StopInput();
  StopOutput();
  Console.Device = nullptr;
}

}  // namespace lbe::console
