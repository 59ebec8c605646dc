#include "console/key_input.h"

#include "console/console_device.h"
#include "console/text_output.h"
#include "console/window.h"

namespace lbe::console {

namespace {
ConsoleDevice& Device() {
  return *Console.Device;
}
}  // namespace

bool PollInput() {
  if (Device().InputEventCount() == 0) {
    return false;
  }
  InputEvent event;
  if (!Device().PeekInput(event)) {
    return false;
  }
  if (event.Type == EventType::Key && event.KeyDown) {
    return true;
  }
  Device().ReadInput(event);
  return false;
}

KeyPress WaitKeyOrPaste() {
  for (;;) {
    while (!PollInput()) {
      // Block only when the queue is empty: other events are dropped one poll at a time.
      if (Device().InputEventCount() == 0 && !Device().WaitForInput()) {
        throw InputEnded{};
      }
    }
    InputEvent event;
    Device().ReadInput(event);
    if (event.VirtualKeyCode != 0) {
      return {event.VirtualKeyCode, event.Character, IsPasted(event)};
    }
  }
}

KeyCode WaitKey() {
  for (;;) {
    const KeyPress key = WaitKeyOrPaste();
    if (!key.Pasted) {
      return key.Code;
    }
  }
}

void FlushInput() {
  Device().FlushInput();
}

std::string ReadTypedLine() {
  FlushToWindow();
  std::optional<std::string> line = Device().ReadLine();
  if (!line) {
    throw InputEnded{};
  }
  return *line;
}

}  // namespace lbe::console
