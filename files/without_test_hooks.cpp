// The shipped lbe: no call is ever failed or held.
#include "files/test_hooks.h"

namespace lbe::files {

int FailingCall(std::string_view) {
  return 0;
}

void PauseAt(std::string_view) {}

std::string_view UserDatabase() {
  return "/etc/passwd";
}

}  // namespace lbe::files
