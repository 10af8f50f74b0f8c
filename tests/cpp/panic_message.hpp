// The message of the Panic that a piece of code ends with, for the tests of failures.
#pragma once

#include <functional>
#include <string>

#include "tarvex/fail.hpp"

namespace tarvex::testing {

// "<no panic>" when run returns normally; other exceptions pass through.
inline std::string panic_message(const std::function<void()>& run) {
  try {
    run();
  } catch (const Panic& panic) {
    return panic.what();
  }
  return "<no panic>";
}

}  // namespace tarvex::testing
