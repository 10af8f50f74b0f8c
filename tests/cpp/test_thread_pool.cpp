// The shared worker pool: every task runs once, failures and Ctrl-C end a group, fork() rebuilds it.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "tarvex/fail.hpp"
#include "tarvex/thread_pool.hpp"
#include "testing/peer.hpp"

namespace tarvex {
namespace {

struct ThreadCount {
  explicit ThreadCount(std::size_t n) { set_thread_count(n); }
  ~ThreadCount() { set_thread_count(available_cpus()); }
};

// Runs `count` tasks that each record their index; true when each ran once.
bool run_all(std::size_t count) {
  Poll poll;
  std::vector<std::atomic<int>> runs(count);
  TaskGroup group(worker_count(), poll);
  for (std::size_t i = 0; i < count; ++i) group.submit([&runs, i](Poll&) { ++runs[i]; });
  group.wait();
  for (auto& r : runs)
    if (r.load() != 1) return false;
  return true;
}

TEST(ThreadPool, EveryTaskRunsOnceAtAnyThreadCount) {
  for (std::size_t threads : {1, 2, 5}) {
    ThreadCount count(threads);
    EXPECT_TRUE(run_all(2000)) << threads << " threads";
  }
}

TEST(ThreadPool, OneThreadRunsEachTaskAtSubmission) {
  ThreadCount count(1);
  Poll poll;
  TaskGroup group(worker_count(), poll);
  EXPECT_FALSE(testing::Peer::parallel(group));
  int runs = 0;
  group.submit([&](Poll&) { ++runs; });
  EXPECT_EQ(runs, 1);
  EXPECT_THROW(group.submit([](Poll&) { fail("at once"); }), Panic);
}

TEST(ThreadPool, TaskFailureIsRethrownByWait) {
  ThreadCount count(3);
  Poll poll;
  TaskGroup group(worker_count(), poll);
  for (int i = 0; i < 50; ++i) group.submit([](Poll& p) { p(); });
  group.submit([](Poll&) { fail("task failed"); });
  try {
    group.wait();
    ADD_FAILURE() << "wait() returned";
  } catch (const Panic& failure) {
    EXPECT_STREQ(failure.what(), "task failed");
  }
}

int interrupt_now() { throw Interrupted{}; }

// A worker task that would run for a minute stops at its next poll once the
// owner's check fails, and wait() reports the owner's failure.
TEST(ThreadPool, OwnerInterruptStopsRunningTasksPromptly) {
  ThreadCount count(3);
  Poll owner(+[] { interrupt_now(); });
  TaskGroup group(worker_count(), owner);
  std::atomic<int> started{0};
  for (int i = 0; i < 2; ++i)
    group.submit([&](Poll& p) {
      ++started;
      const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(1);
      while (std::chrono::steady_clock::now() < end) p();
    });
  while (started.load() < 2) std::this_thread::yield();
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_THROW(group.wait(), Interrupted);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(5));
}

TEST(ThreadPool, GroupsFromSeveralThreadsAllFinish) {
  ThreadCount count(3);
  std::atomic<int> good{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < 6; ++t)
    callers.emplace_back([&] {
      for (int k = 0; k < 20; ++k) good += run_all(200);
    });
  for (auto& c : callers) c.join();
  EXPECT_EQ(good.load(), 6 * 20);
}

// True once every worker has run a task. A worker still starting when the
// process forks may hold the sanitizer runtime's locks, which the child never
// gets back (glibc's own are reset by fork).
bool workers_running() {
  const std::thread::id owner = std::this_thread::get_id();
  std::mutex m;
  std::set<std::thread::id> seen;
  for (int round = 0; round < 500; ++round) {
    Poll poll;
    TaskGroup group(worker_count(), poll);
    for (int i = 0; i < 16; ++i)
      group.submit([&](Poll&) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const std::lock_guard lock(m);
        if (std::this_thread::get_id() != owner) seen.insert(std::this_thread::get_id());
      });
    group.wait();
    const std::lock_guard lock(m);
    if (seen.size() >= worker_count()) return true;
  }
  return false;
}

// Workers idled by a lowered count must not swallow the wake-up of a task
// that an allowed worker should take.
TEST(ThreadPool, LoweredCountStillWakesTheAllowedWorkers) {
  {
    ThreadCount many(5);
    ASSERT_TRUE(workers_running());
  }
  ThreadCount count(3);
  for (int trial = 0; trial < 20; ++trial) {
    Poll poll;
    TaskGroup group(worker_count(), poll);
    std::atomic<int> started{0};
    std::atomic<bool> release{false};
    for (int i = 0; i < 2; ++i)
      group.submit([&](Poll&) {
        ++started;
        while (!release.load()) std::this_thread::yield();
      });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (started.load() < 2 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    const bool both = started.load() == 2;
    release = true;
    group.wait();
    ASSERT_TRUE(both) << "trial " << trial << ": a task waited for the owner";
  }
}

TEST(ThreadPool, ForkedChildStartsItsOwnWorkers) {
  ThreadCount count(3);
  ASSERT_TRUE(workers_running());
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(run_all(1000) ? 0 : 1);
  int status = 0;
  for (int i = 0; i < 500 && waitpid(child, &status, WNOHANG) == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  if (waitpid(child, &status, WNOHANG) == 0) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    FAIL() << "the child hung";
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(run_all(100));
}

}  // namespace
}  // namespace tarvex
