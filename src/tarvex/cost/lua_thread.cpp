// A thread of its own for a Lua state, so that whoever waits for Lua code can always stop waiting.
#include "tarvex/cost/lua_thread.hpp"

#include <sched.h>
#include <signal.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <new>
#include <optional>
#include <utility>

#include "tarvex/cost/lua_state.hpp"
#include "tarvex/fail.hpp"

namespace tarvex {

using Clock = std::chrono::steady_clock;

namespace {

std::atomic<std::size_t> abandoned_threads{0};  // still stuck; see LuaThread()

// The owner waits for a result by yielding its CPU for a short while before
// it sleeps: evaluations handed over one by one often finish within it, and
// a sleeping owner would pay its own wake-up on top of the Lua thread's. The
// Lua thread sleeps at once; spinning on a busy machine only delays whichever
// thread holds the work.
constexpr std::chrono::microseconds kSpin{50};

// Yields until ready() or kSpin has passed; returns ready().
template <class Ready>
bool yield_until(Ready&& ready) {
  const auto until = Clock::now() + kSpin;
  for (;;) {
    for (int k = 0; k < 16; ++k) {
      if (ready()) return true;
      sched_yield();
    }
    if (Clock::now() >= until) return ready();
  }
}

}  // namespace

struct LuaThread::Shared {
  using Task = std::function<void(Shared&)>;

  std::mutex mutex;
  std::condition_variable to_lua;    // a task was handed over, or quit
  std::condition_variable to_owner;  // the task finished
  // Guarded by mutex (busy is written under it; the owner's first wait also
  // reads it without):
  Task task;                      // handed over, not yet taken
  std::atomic<bool> busy{false};  // handed over and not finished
  bool quit = false;              // end once idle
  bool stop = false;              // the owner gave up: run no more Lua code
  bool open = false;              // state is open: interrupt() may reach it
  bool closed = false;            // the state is closed for good
  bool abandoned = false;         // counted in abandoned_threads
  std::exception_ptr failure;     // what the last task threw
  // Touched by the Lua thread only (and by interrupt() while open):
  std::optional<LuaState> state;

  // The state, created on first use.
  LuaState& lua() {
    {
      std::lock_guard lock(mutex);
      if (stop) fail("Lua code was interrupted");
      if (closed) fail("The Lua state is closed");
      if (state) return *state;
    }
    state.emplace();
    std::lock_guard lock(mutex);
    open = true;
    return *state;
  }

  void close_state() noexcept {
    {
      std::lock_guard lock(mutex);
      open = false;
      closed = true;
    }
    state.reset();
  }

  // Caller holds mutex.
  void interrupt() noexcept {
    if (open) state->interrupt();
  }
};

namespace {

void* thread_main(void* argument) {
  auto* handed = static_cast<std::shared_ptr<LuaThread::Shared>*>(argument);
  const std::shared_ptr<LuaThread::Shared> shared = std::move(*handed);
  delete handed;
  LuaThread::Shared& s = *shared;
  std::unique_lock lock(s.mutex);
  for (;;) {
    s.to_lua.wait(lock, [&] { return s.task || s.quit; });
    if (!s.task) break;
    LuaThread::Shared::Task task = std::exchange(s.task, nullptr);
    lock.unlock();
    std::exception_ptr failure;
    try {
      task(s);
    } catch (...) {
      failure = std::current_exception();
    }
    // Whatever the task shares with its owner is released here, not by
    // the owner while this thread might still use it.
    task = nullptr;
    lock.lock();
    s.failure = std::move(failure);
    s.busy.store(false, std::memory_order_release);
    s.to_owner.notify_all();
  }
  const bool abandoned = s.abandoned;
  lock.unlock();
  s.close_state();
  if (abandoned) abandoned_threads.fetch_sub(1);
  return nullptr;
}

}  // namespace

LuaThread::LuaThread() {
  // Each stuck thread keeps its state and its stack's address space (some
  // 280 MB): past a few, new Lua work is refused rather than the process
  // running out of threads or memory later, somewhere less clear.
  if (const std::size_t stuck = abandoned_threads.load(); stuck >= kMaxAbandoned)
    fail(
        "{} Lua threads are still stuck in code that could not be interrupted (a loop in a finaliser, or a "
        "C function that does not return); no new Lua cost can run in this process",
        stuck);
  shared_ = std::make_shared<Shared>();
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) throw std::bad_alloc();
  pthread_attr_setstacksize(&attributes, kStackSize);
  // Signals are for the host's threads: Python handles them on its main
  // thread, and a Lua thread must not take one meant for it.
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  auto* handed = new std::shared_ptr<Shared>(shared_);
  const int status = pthread_create(&thread_, &attributes, thread_main, handed);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  pthread_attr_destroy(&attributes);
  if (status != 0) {
    delete handed;
    shared_.reset();
    // Out of memory for the stack, or of threads.
    throw std::bad_alloc();
  }
}

LuaThread::~LuaThread() {
  if (shared_) settle(Clock::now() + kGrace);
}

LuaThread::LuaThread(LuaThread&& other) noexcept : shared_(std::move(other.shared_)), thread_(other.thread_) {}

LuaThread& LuaThread::operator=(LuaThread&& other) noexcept {
  if (this != &other) {
    if (shared_) settle(Clock::now() + kGrace);
    shared_ = std::move(other.shared_);
    thread_ = other.thread_;
  }
  return *this;
}

void LuaThread::hand(Shared::Task task) {
  Shared& s = *shared_;
  {
    std::lock_guard lock(s.mutex);
    if (s.busy) fail("The Lua state is still busy");
    s.task = std::move(task);
    s.busy = true;
  }
  s.to_lua.notify_one();
}

void LuaThread::start(Job job) {
  if (!shared_) fail("The Lua state is closed");
  hand([job = std::move(job)](Shared& shared) { job(shared.lua()); });
}

std::exception_ptr LuaThread::wait(const Check& check) {
  if (!shared_) fail("The Lua state is closed");
  Shared& s = *shared_;
  yield_until([&] { return !s.busy.load(std::memory_order_acquire); });
  std::unique_lock lock(s.mutex);
  while (!s.to_owner.wait_for(lock, kCheckEvery, [&] { return !s.busy; })) {
    if (!check) continue;
    lock.unlock();
    try {
      check();
    } catch (...) {
      settle(Clock::now() + kGrace);
      throw;
    }
    lock.lock();
  }
  return std::exchange(s.failure, nullptr);
}

void LuaThread::close(const Check& check) {
  if (!shared_) return;
  hand([](Shared& shared) { shared.close_state(); });
  wait(check);
  join();
}

void LuaThread::join() noexcept {
  {
    std::lock_guard lock(shared_->mutex);
    shared_->quit = true;
  }
  shared_->to_lua.notify_one();
  pthread_join(thread_, nullptr);
  shared_.reset();
}

void LuaThread::settle(Clock::time_point deadline) noexcept {
  Shared& s = *shared_;
  std::unique_lock lock(s.mutex);
  s.stop = true;
  // Interrupting again now and then: the state may open after the first
  // try, and a hook set while LuaJIT switches its own dispatch can be lost.
  constexpr std::chrono::milliseconds kRetry{10};
  const auto finish = [&] {
    while (s.busy && Clock::now() < deadline) {
      s.interrupt();
      s.to_owner.wait_for(lock, kRetry, [&] { return !s.busy; });
    }
    return !s.busy;
  };
  bool done = finish();
  if (done && !s.closed) {
    s.task = [](Shared& shared) { shared.close_state(); };
    s.busy = true;
    s.to_lua.notify_one();
    done = finish();
  }
  if (done) {
    lock.unlock();
    join();
    return;
  }
  // Abandoned: it keeps its share of the state and frees it if it ever
  // finishes. Until then it only runs when nothing else wants the CPU.
  s.quit = true;
  s.abandoned = true;
  abandoned_threads.fetch_add(1);
  lock.unlock();
  // Through the handle, still ours until detached: a thread id alone could
  // by then belong to another thread.
#ifdef SCHED_IDLE
  const sched_param idle{};
  pthread_setschedparam(thread_, SCHED_IDLE, &idle);
#else
  // Without an idle class (macOS), the lowest priority of the ordinary one.
  sched_param lowest{};
  lowest.sched_priority = sched_get_priority_min(SCHED_OTHER);
  pthread_setschedparam(thread_, SCHED_OTHER, &lowest);
#endif
  pthread_detach(thread_);
  shared_.reset();
}

}  // namespace tarvex
