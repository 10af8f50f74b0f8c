// The worker threads every call shares: started on first use, asleep when idle, rebuilt after fork().
#pragma once

#include <chrono>
#include <cstddef>
#include <exception>
#include <functional>

#include "tarvex/poll.hpp"

namespace tarvex {

// CPUs this process may run on (its affinity mask), at least 1.
std::size_t available_cpus();

// Threads a call may keep busy, the calling thread included; with 1 no worker
// is ever started. A change applies to the calls that start afterwards.
std::size_t thread_count();
void set_thread_count(std::size_t n);  // n >= 1

// Starts the workers of thread_count() now rather than at the next call.
// Returns thread_count(): lower than asked when the system refused threads.
std::size_t start_threads();

// The pool's workers that a call started now may use: thread_count() - 1.
inline std::size_t worker_count() { return thread_count() - 1; }

// What a task's poll throws on a worker once its group is cancelled.
class Cancelled : public std::exception {
 public:
  const char* what() const noexcept override { return "cancelled"; }
};

// Tasks run by the pool's workers and by the thread that owns the group. A
// task receives a Poll: on a worker it throws Cancelled once the group is
// cancelled; on the owning thread it is the owner's poll, so the host's check
// (Ctrl-C) keeps running there.
namespace testing {
struct Peer;  // the tests' access to internals
}  // namespace testing

class TaskGroup {
 public:
  using Task = std::function<void(Poll&)>;

  // With workers = 0 nothing is queued: submit() runs each task at once on
  // the calling thread, which is exactly the single-threaded path.
  TaskGroup(std::size_t workers, Poll& poll);
  // Drops the tasks not started and waits for the running ones, so no worker
  // touches what the owner built once the group is gone.
  ~TaskGroup();
  TaskGroup(const TaskGroup&) = delete;
  TaskGroup& operator=(const TaskGroup&) = delete;

  // The longest the owner sleeps between checks while workers run.
  static constexpr std::chrono::milliseconds kWaitSlice{10};

  void submit(Task task);

  // Runs this group's queued tasks on the owning thread and sleeps while
  // workers finish theirs, checking the poll between tasks and at least every
  // kWaitSlice, until every task has finished. A failure (the poll's
  // Interrupted, or a task's exception) cancels the group, waits for the
  // running tasks and is rethrown; of several task failures the first to
  // happen is rethrown.
  void wait() { wait_until(nullptr); }

  // The same until done() holds (it is evaluated under the pool's lock after
  // each task; a task makes it true before returning) or no task is left.
  void wait_until(const std::function<bool()>& done);

  struct State;

 private:
  friend struct testing::Peer;
  // Unstarted tasks are dropped; running ones stop at their next poll.
  void cancel() noexcept;

  Poll* poll_;
  State* state_ = nullptr;
};

}  // namespace tarvex
