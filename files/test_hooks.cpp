#include "files/test_hooks.h"

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

void PauseAt(std::string_view where) {
  if (pauseHook) {
    pauseHook(where);
  }
}

}  // namespace lbe::files
