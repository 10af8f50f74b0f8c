// A cheap periodic chance for the host to stop a long computation (Ctrl-C).
#pragma once

#include <cstdint>

namespace tarvex {

// Long loops call poll() once per unit of work (a walk, a pivot attempt, a
// candidate walk). Every kEvery calls it runs the check, which throws
// Interrupted when the host wants the computation to end (or Cancelled on a
// worker whose group was cancelled). With no check (unit tests, benchmarks)
// it only counts. A check may be costly (the module takes the interpreter
// lock), so it decides itself how often it really looks.
class Poll {
 public:
  using Check = void (*)();
  using ContextCheck = void (*)(void*);
  static constexpr std::uint32_t kEvery = 256;

  Poll() = default;
  explicit Poll(Check check)
      : check_(check == nullptr ? nullptr : &call_plain), context_(reinterpret_cast<void*>(check)) {}
  Poll(ContextCheck check, void* context) : check_(check), context_(context) {}

  void operator()() {
    if (--countdown_ == 0) [[unlikely]] {
      countdown_ = kEvery;
      check_now();
    }
  }

  // The check at once: a thread about to wait, or done with a long step.
  void check_now() {
    if (check_ != nullptr) check_(context_);
  }

 private:
  static void call_plain(void* check) { reinterpret_cast<Check>(check)(); }

  ContextCheck check_ = nullptr;
  void* context_ = nullptr;
  std::uint32_t countdown_ = kEvery;
};

}  // namespace tarvex
