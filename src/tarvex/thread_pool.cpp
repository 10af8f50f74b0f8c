// The worker threads every call shares: started on first use, asleep when idle, rebuilt after fork().
#include "tarvex/thread_pool.hpp"

#include <cxxabi.h>
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <system_error>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <utility>
#include <vector>

#include "tarvex/fail.hpp"

namespace tarvex {

struct TaskGroup::State {
  std::condition_variable changed;  // a task finished or failed; under the pool's mutex
  std::size_t unfinished = 0;       // queued or running
  std::size_t running = 0;          // on workers
  std::atomic<bool> cancelled{false};
  std::atomic<std::uint64_t> finishes{0};  // tasks finished so far, read without the lock
  std::exception_ptr failure;              // the first task failure
};

namespace {

struct Item {
  TaskGroup::State* group;
  TaskGroup::Task task;
};

// Never destroyed: workers sleep on it until the process ends, so neither
// interpreter exit nor static destruction waits for them. After fork() the
// child has none of the parent's workers and starts over with a fresh pool.
struct Pool {
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<Item> queue;
  std::atomic<std::size_t> queued{0};  // queue.size(), read without the lock
  std::size_t started = 0;
  // Workers that may take tasks: the count the last group was made for, or
  // the one set since. Kept here so that a worker's wake-up does not ask the
  // kernel for the affinity mask under the lock.
  std::size_t allowed = 0;
  std::vector<TaskGroup::State*> groups;  // alive, for the child of a fork()
};

// A thread about to sleep on a condition variable first watches for a short
// while: a round of short tasks (fold's replicas run a few hundred
// microseconds per round) would otherwise pay a sleep and a wake-up, tens of
// microseconds on a virtual machine, at each hand-off in both directions.
constexpr std::chrono::microseconds kSpin{200};

template <class Ready>
bool spin_until(Ready ready) {
  const auto until = std::chrono::steady_clock::now() + kSpin;
  for (;;) {
    for (int i = 0; i < 64; ++i) {
      if (ready()) return true;
#if defined(__x86_64__) || defined(__i386__)
      __builtin_ia32_pause();
#endif
    }
    if (std::chrono::steady_clock::now() >= until) return ready();
  }
}

std::atomic<std::size_t> configured_threads{0};  // 0: not set, use available_cpus()
std::atomic<Pool*> current_pool{nullptr};
thread_local TaskGroup::State* running_here = nullptr;  // a worker's task's group

void record_failure(TaskGroup::State& group, std::exception_ptr failure);

void prepare_fork() {
  if (Pool* pool = current_pool.load()) pool->mutex.lock();
}
void parent_after_fork() {
  if (Pool* pool = current_pool.load()) pool->mutex.unlock();
}
// The child has only the forking thread: none of the workers, and none of
// the threads that slept on the pool's condition variables, whose stale
// waiters could block a notify for good. The pool goes on with fresh
// variables and no worker (the next group starts its own); a group's queued
// tasks stay for its owner, and a group whose tasks were running on a
// vanished worker fails at once instead of waiting for them forever.
void child_after_fork() {
  Pool* pool = current_pool.load();
  if (pool == nullptr) return;
  new (&pool->wake) std::condition_variable;
  pool->started = 0;
  for (TaskGroup::State* group : pool->groups) {
    new (&group->changed) std::condition_variable;
    const std::size_t lost = group->running - (group == running_here ? 1 : 0);
    if (lost == 0) continue;
    group->running -= lost;
    group->unfinished -= lost;
    try {
      record_failure(*group, std::make_exception_ptr(Panic("a worker thread of this call did not survive fork()")));
    } catch (...) {
      group->cancelled.store(true);  // no memory for the message: the group still ends
    }
  }
  pool->mutex.unlock();
}

Pool& pool() {
  if (Pool* pool = current_pool.load(std::memory_order_acquire)) return *pool;
  static const bool registered = [] {
    return pthread_atfork(prepare_fork, parent_after_fork, child_after_fork) == 0;
  }();
  (void)registered;
  auto* fresh = new Pool;
  Pool* expected = nullptr;
  if (current_pool.compare_exchange_strong(expected, fresh)) return *fresh;
  delete fresh;  // another thread made one first; it has no worker yet to lose
  return *expected;
}

void finish(TaskGroup::State& group) {
  --group.unfinished;
  group.finishes.fetch_add(1, std::memory_order_release);
  group.changed.notify_all();
}

void record_failure(TaskGroup::State& group, std::exception_ptr failure) {
  if (!group.failure) group.failure = std::move(failure);
  group.cancelled.store(true);
}

void stop_if_cancelled(void* group) {
  if (static_cast<TaskGroup::State*>(group)->cancelled.load(std::memory_order_relaxed)) throw Cancelled{};
}

// Worker `index` takes tasks only while the allowed count leaves room for it,
// so lowering the thread count idles the surplus instead of killing it.
void work(Pool& pool, std::size_t index) {
  std::unique_lock lock(pool.mutex);
  for (;;) {
    if (pool.queue.empty()) {
      lock.unlock();
      spin_until([&] { return pool.queued.load(std::memory_order_acquire) != 0; });
      lock.lock();
    }
    pool.wake.wait(lock, [&] { return !pool.queue.empty() && index < pool.allowed; });
    Item item = std::move(pool.queue.front());
    pool.queue.pop_front();
    pool.queued.store(pool.queue.size(), std::memory_order_relaxed);
    TaskGroup::State& group = *item.group;
    ++group.running;
    running_here = &group;
    lock.unlock();
    std::exception_ptr failure;
    try {
      Poll poll(stop_if_cancelled, &group);
      item.task(poll);
    } catch (const Cancelled&) {
    } catch (const abi::__forced_unwind&) {
      throw;  // a thread ended by pthread_exit
    } catch (...) {
      failure = std::current_exception();
    }
    item.task = nullptr;  // whatever the task captured goes before the owner is told
    lock.lock();
    running_here = nullptr;
    if (failure) record_failure(group, std::move(failure));
    --group.running;
    finish(group);
  }
}

// When the system refuses a thread (a limit on processes or on address
// space), the count drops to the threads that run, for this call and later.
void start_workers(Pool& pool, std::size_t wanted) {
  while (pool.started < wanted) {
    try {
      std::thread(work, std::ref(pool), pool.started).detach();
    } catch (const std::system_error&) {
      pool.allowed = std::min(pool.allowed, pool.started);
      configured_threads.store(pool.started + 1);
      return;
    }
    ++pool.started;
  }
}

}  // namespace

std::size_t available_cpus() {
#if defined(__linux__)
  // The CPUs this process may run on (a container's or a batch job's share),
  // not all the machine has; other systems have no such mask to read.
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<std::size_t>(count);
  }
#endif
  const unsigned hardware = std::thread::hardware_concurrency();
  return hardware > 0 ? hardware : 1;
}

std::size_t thread_count() {
  const std::size_t n = configured_threads.load(std::memory_order_relaxed);
  return n != 0 ? n : available_cpus();
}

void set_thread_count(std::size_t n) {
  if (n < 1) n = 1;
  configured_threads.store(n);
  if (Pool* pool = current_pool.load()) {
    const std::lock_guard lock(pool->mutex);
    pool->allowed = n - 1;
    pool->wake.notify_all();
  }
}

std::size_t start_threads() {
  const std::size_t wanted = thread_count();
  if (wanted > 1) {
    Pool& p = pool();
    const std::lock_guard lock(p.mutex);
    start_workers(p, wanted - 1);
  }
  return thread_count();
}

TaskGroup::TaskGroup(std::size_t workers, Poll& poll) : poll_(&poll) {
  if (workers == 0) return;
  Pool& p = pool();
  auto state = std::make_unique<State>();
  const std::lock_guard lock(p.mutex);
  p.groups.push_back(state.get());
  state_ = state.release();
  p.allowed = workers;
  start_workers(p, workers);
}

TaskGroup::~TaskGroup() {
  if (state_ == nullptr) return;
  cancel();
  Pool& p = pool();
  {
    std::unique_lock lock(p.mutex);
    state_->changed.wait(lock, [&] { return state_->running == 0; });
    std::erase(p.groups, state_);
  }
  delete state_;
}

void TaskGroup::submit(Task task) {
  if (state_ == nullptr) {
    task(*poll_);
    return;
  }
  Pool& p = pool();
  bool surplus = false;
  {
    const std::lock_guard lock(p.mutex);
    if (state_->cancelled.load()) return;
    p.queue.push_back({state_, std::move(task)});
    p.queued.store(p.queue.size(), std::memory_order_release);
    ++state_->unfinished;
    surplus = p.started > p.allowed;
  }
  // A worker beyond the allowed count that took the only wake-up would go
  // back to sleep with it, leaving the task to the owner alone.
  if (surplus) {
    p.wake.notify_all();
  } else {
    p.wake.notify_one();
  }
}

void TaskGroup::cancel() noexcept {
  if (state_ == nullptr) return;
  Pool& p = pool();
  const std::lock_guard lock(p.mutex);
  state_->cancelled.store(true);
  // Dropped tasks count as finished; the running ones finish on their own.
  for (auto it = p.queue.begin(); it != p.queue.end();) {
    if (it->group == state_) {
      it = p.queue.erase(it);
      p.queued.store(p.queue.size(), std::memory_order_relaxed);
      --state_->unfinished;
    } else {
      ++it;
    }
  }
  state_->changed.notify_all();
}

void TaskGroup::wait_until(const std::function<bool()>& done) {
  if (state_ == nullptr) return;
  Pool& p = pool();
  std::unique_lock lock(p.mutex);
  // Long tasks leave the owner waiting for many slices: it watches only
  // after a task finished, not again at every slice that passed quietly.
  std::uint64_t slept_at = std::uint64_t(-1);
  try {
    while (state_->unfinished > 0 && !state_->failure && !(done && done())) {
      // Help with this group's own queued tasks first, oldest first.
      auto mine = p.queue.begin();
      while (mine != p.queue.end() && mine->group != state_) ++mine;
      if (mine != p.queue.end()) {
        Task task = std::move(mine->task);
        p.queue.erase(mine);
        p.queued.store(p.queue.size(), std::memory_order_relaxed);
        lock.unlock();
        try {
          task(*poll_);
        } catch (const abi::__forced_unwind&) {
          throw;  // a thread ended by pthread_exit
        } catch (...) {
          task = nullptr;
          lock.lock();
          record_failure(*state_, std::current_exception());
          finish(*state_);
          continue;
        }
        task = nullptr;
        lock.lock();
        finish(*state_);
      } else {
        const std::uint64_t seen = state_->finishes.load(std::memory_order_relaxed);
        bool moved = false;
        if (seen != slept_at) {
          lock.unlock();
          moved = spin_until([&] { return state_->finishes.load(std::memory_order_acquire) != seen; });
          lock.lock();
        }
        if (!moved) {
          slept_at = seen;
          state_->changed.wait_for(lock, kWaitSlice);
        }
      }
      lock.unlock();
      poll_->check_now();
      lock.lock();
    }
  } catch (const abi::__forced_unwind&) {
    throw;  // a thread ended by pthread_exit
  } catch (...) {
    // The poll failed (Ctrl-C): that is the failure to report.
    if (!lock.owns_lock()) lock.lock();
    record_failure(*state_, std::current_exception());
  }
  if (!state_->failure) return;
  lock.unlock();
  cancel();
  lock.lock();
  state_->changed.wait(lock, [&] { return state_->running == 0; });
  std::exception_ptr failure = state_->failure;
  lock.unlock();
  std::rethrow_exception(failure);
}

}  // namespace tarvex
