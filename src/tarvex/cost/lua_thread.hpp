// A thread of its own for a Lua state, so that whoever waits for Lua code can always stop waiting.
#pragma once

#include <pthread.h>

#include <chrono>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>

namespace tarvex {

class LuaState;

// The host's chance to end a wait: returns normally, or throws (Interrupted,
// with the host's exception already set) when the caller wants to stop.
using Check = std::function<void()>;

// Owns one LuaState and runs every operation on it, creating and closing it
// included, on a thread of its own, one job at a time. The caller waits in
// slices, calling its check between them, so Lua code that never returns (a
// loop, compiled or not, a finaliser, a blocking read) can never hold it.
//
// When the check throws, the Lua code is interrupted (its next instruction
// raises an error) and the state is closed; if that does not finish within
// kGrace (a loop in a finaliser, which no hook reaches, or a C function that
// does not return) the thread is abandoned: detached with its state, demoted
// to run only when the machine has nothing else to do, and never used again.
// It frees its state and ends if it ever comes back. The destructor does the
// same without a check: it never waits longer than kGrace.
class LuaThread {
 public:
  using Job = std::function<void(LuaState&)>;

  // The longest a wait goes without calling the check.
  static constexpr std::chrono::milliseconds kCheckEvery{20};
  // How long interrupted Lua code has to return and its state to close.
  static constexpr std::chrono::milliseconds kGrace{300};
  // Room for LuaJIT's deepest C recursion within one coroutine (see
  // kLuaStackReserve) and for nested coroutines beside it. Only the pages
  // used are ever backed by memory.
  static constexpr std::size_t kStackSize = std::size_t{256} << 20;
  // Abandoned threads past which no new one starts (PanicException).
  static constexpr std::size_t kMaxAbandoned = 8;

  // Starts the thread; the state is created by the first job.
  LuaThread();
  ~LuaThread();
  LuaThread(LuaThread&& other) noexcept;
  LuaThread& operator=(LuaThread&& other) noexcept;
  LuaThread(const LuaThread&) = delete;
  LuaThread& operator=(const LuaThread&) = delete;

  // Hands a job to the thread (none may be running). The job must own or
  // share everything it touches: an abandoned thread outlives its owner.
  void start(Job job);

  // Waits for the job and returns what it threw, or null. What the check
  // throws is rethrown after giving up as described above.
  std::exception_ptr wait(const Check& check);

  std::exception_ptr run(Job job, const Check& check) {
    start(std::move(job));
    return wait(check);
  }

  // Closes the state (its finalisers run) and ends the thread, waiting as
  // wait() does. Nothing can run afterwards.
  void close(const Check& check);

  struct Shared;

 private:
  // Hands a task to the thread, failing if one is running.
  void hand(std::function<void(Shared&)> task);
  // Interrupts what runs, closes the state and ends the thread, abandoning
  // it if that is not done by the deadline. The thread is gone afterwards.
  void settle(std::chrono::steady_clock::time_point deadline) noexcept;
  void join() noexcept;

  std::shared_ptr<Shared> shared_;
  pthread_t thread_{};
};

}  // namespace tarvex
