#include "console/key_input.h"

#include "console/console_state.h"
#include "console/text_output.h"

namespace lbe::console {

namespace {

// What is at the head of the queue: a key press (left there), another event (taken off), or
// nothing.
enum class Head { KeyPress, OtherEvent, Empty };

Head TakeHead() {
  if (Device().InputEventCount() == 0) {
    return Head::Empty;
  }
  InputEvent event;
  if (!Device().PeekInput(event)) {
    return Head::Empty;
  }
  if (event.Type == EventType::Key && event.KeyDown) {
    return Head::KeyPress;
  }
  Device().ReadInput(event);
  return Head::OtherEvent;
}

}  // namespace

void StartInput() {
  const std::uint32_t need = kProcessedInput | kWindowInput | kMouseInput;
  const std::uint32_t mode = Device().InputMode();
  if ((mode & need) != need) {
    Device().SetInputMode(mode | need);
  }
}

void StopInput() {
  FlushInput();
}

bool PollInput() {
  return TakeHead() == Head::KeyPress;
}

KeyPress WaitKeyOrPaste() {
  for (;;) {
    // Block only when the queue is empty: other events are dropped one poll at a time.
    for (Head head = TakeHead(); head != Head::KeyPress; head = TakeHead()) {
      if (head == Head::Empty && !Device().WaitForInput()) {
        throw InputEnded{};
      }
    }
    InputEvent event;
    Device().ReadInput(event);
    if (event.VirtualKeyCode != 0) {
      return {event.VirtualKeyCode, event.Character, IsPasted(event),
              event.Source == KeySource::PasteStart};
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

void ShowNow() {
  Device().Present();
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
