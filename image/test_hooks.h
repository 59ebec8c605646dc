#pragma once
// Where the tests step into a save, a roll-back or a rescue copy: a file-system call made to
// fail, a pause half-way. They exist only in the test build of the library (LBE_TEST_HOOKS, set
// for the unit tests, the fuzzers and the test build of the program that the real-terminal
// tests run); in the shipped lbe the calls below are empty inline functions.

#include <functional>
#include <string_view>

namespace lbe::image {

#ifdef LBE_TEST_HOOKS

// Called before each file-system call of a save, a roll-back or a rescue copy, with its number
// (from 1 since the hook was set) and its name ("open", "pwrite", "fdatasync", ...); a non-zero
// result makes that call fail with that errno without running it.
using FileCallHook = std::function<int(int callNumber, std::string_view call)>;
void SetFileCallHook(FileCallHook hook);

// Called at the named points: "save" (half of a save's new bytes written), "rescue" (half of a
// rescue copy written).
using PauseHook = std::function<void(std::string_view where)>;
void SetPauseHook(PauseHook hook);

// The errno the hook asks the call `call` to fail with, or 0.
int FailingCall(std::string_view call);
void PauseAt(std::string_view where);

#else

inline int FailingCall(std::string_view) {
  return 0;
}
inline void PauseAt(std::string_view) {}

#endif

}  // namespace lbe::image
