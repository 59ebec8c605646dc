// The kind and text of the FileError an action raises, for tests of the file layer.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "files/file_layer.h"

namespace lbe::testing {

struct FileFailure {
  files::FileErrorKind Kind;
  std::string Message;
};

// Runs `action` and returns the kind and text of the FileError it raised.
template <typename Action>
FileFailure FailureOf(Action&& action) {
  try {
    action();
  } catch (const files::FileError& error) {
    return {error.Kind(), error.what()};
  }
  ADD_FAILURE() << "no FileError was raised";
  return {};
}

}  // namespace lbe::testing
