#include "files/test_hooks.h"

#include <utility>

namespace lbe::files {

namespace {

FileCallHook callHook;
int callCount = 0;
PauseHook pauseHook;

}  // namespace

void SetFileCallHook(FileCallHook hook) {
  callHook = std::move(hook);
  callCount = 0;
}

void SetPauseHook(PauseHook hook) {
  pauseHook = std::move(hook);
}

int FailingCall(std::string_view call) {
  return callHook ? callHook(++callCount, call) : 0;
}

void PauseAt(std::string_view where) {
  if (pauseHook) {
    pauseHook(where);
  }
}

}  // namespace lbe::files
