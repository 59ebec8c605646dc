#pragma once
// Where the tests step into a save, a roll-back or a rescue copy: a file-system call made to
// fail, a pause half-way. The hooks exist only in the programs the tests build (test_hooks.cpp:
// the unit tests, the fuzzers and the test build of the program that the real-terminal tests
// run); lbe links without_test_hooks.cpp instead, where nothing can be set and every call goes
// ahead, and a build without tests has none of it.

#include <cerrno>
#include <functional>
#include <string>
#include <string_view>

namespace lbe::files {

#ifdef LBE_TEST_SUPPORT
// The errno with which the file-system call `call` ("open", "pwrite", "fdatasync", ...) is to
// fail without being run, or 0: it runs.
int FailingCall(std::string_view call);
// Where a save or a rescue copy may be held: "save" (half of a save's new bytes written),
// "rescue" (half of a rescue copy written), "records" (a record file's save between its two
// readings of the file).
void PauseAt(std::string_view where);
// The user database the user's home is read from: "/etc/passwd", or in the test build the file
// SetUserDatabase named.
std::string_view UserDatabase();
#else
// A build without tests: no call is ever failed or held.
inline int FailingCall(std::string_view) {
  return 0;
}
inline void PauseAt(std::string_view) {}
inline std::string_view UserDatabase() {
  return "/etc/passwd";
}
#endif

// Runs the file-system call `call` named `name`, which returns -1 with errno set when it fails,
// unless FailingCall fails it first.
template <typename Call>
auto Sys(std::string_view name, Call call) -> decltype(call()) {
  if (const int code = FailingCall(name); code != 0) {
    errno = code;
    return -1;
  }
  return call();
}

#ifdef LBE_TEST_SUPPORT
// In the test build only. Called before each such call, numbered from 1 since it was set; a
// non-zero result fails the call with that errno.
using FileCallHook = std::function<int(int callNumber, std::string_view call)>;
void SetFileCallHook(FileCallHook hook);
// In the test build only. Called at each PauseAt.
using PauseHook = std::function<void(std::string_view where)>;
void SetPauseHook(PauseHook hook);
// In the test build only. Empty: the system's own again.
void SetUserDatabase(std::string path);
// In the test build of the program only: LBE_TEST_PAUSE_IN_SAVE or LBE_TEST_PAUSE_IN_RESCUE set to
// a number of seconds holds a save or a rescue copy that long at its PauseAt, for the
// real-terminal tests that signal or kill lbe half-way.
void PauseFromEnvironment();
#endif

}  // namespace lbe::files
