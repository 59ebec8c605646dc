#include "files/test_hooks.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <string>
#include <utility>

namespace lbe::files {

namespace {

FileCallHook callHook;
int callCount = 0;
PauseHook pauseHook;
std::string userDatabase;

}  // namespace

void SetFileCallHook(FileCallHook hook) {
  callHook = std::move(hook);
  callCount = 0;
}

void SetPauseHook(PauseHook hook) {
  pauseHook = std::move(hook);
}

void SetUserDatabase(std::string path) {
  userDatabase = std::move(path);
}

std::string_view UserDatabase() {
  return userDatabase.empty() ? std::string_view("/etc/passwd") : std::string_view(userDatabase);
}

int FailingCall(std::string_view call) {
  return callHook ? callHook(++callCount, call) : 0;
}

void PauseFromEnvironment() {
  const auto seconds = [](const char* name) {
    const char* text = std::getenv(name);
    return text == nullptr ? std::time_t{0}
                           : static_cast<std::time_t>(std::strtoul(text, nullptr, 10));
  };
  const std::time_t inSave = seconds("LBE_TEST_PAUSE_IN_SAVE");
  const std::time_t inRescue = seconds("LBE_TEST_PAUSE_IN_RESCUE");
  SetPauseHook([inSave, inRescue](std::string_view where) {
    timespec left{where == "save" ? inSave : where == "rescue" ? inRescue : 0, 0};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
  });
}

void PauseAt(std::string_view where) {
  if (pauseHook) {
    pauseHook(where);
  }
}

}  // namespace lbe::files
