// A cheap periodic chance for the host to stop a long computation (Ctrl-C).
#pragma once

#include <cstdint>

namespace tarvex {

// Long loops call poll() once per unit of work (a walk, a pivot attempt, a
// candidate walk). Every kEvery calls it runs the host's check, which throws
// Interrupted when the host wants the computation to end. With no check
// (unit tests, benchmarks) it only counts.
class Poll {
 public:
  using Check = void (*)();
  static constexpr std::uint32_t kEvery = 256;

  explicit Poll(Check check = nullptr) : check_(check) {}

  void operator()() {
    if (--countdown_ == 0) [[unlikely]] {
      countdown_ = kEvery;
      if (check_ != nullptr) check_();
    }
  }

 private:
  Check check_;
  std::uint32_t countdown_ = kEvery;
};

}  // namespace tarvex
