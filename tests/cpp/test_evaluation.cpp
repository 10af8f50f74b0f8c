// The batched evaluation: the same scores and the same failure at every thread count.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "panic_message.hpp"
#include "sampling_helpers.hpp"
#include "tarvex/compare/rmsd.hpp"
#include "tarvex/cost/cost.hpp"
#include "tarvex/fail.hpp"
#include "tarvex/sampling/evaluation.hpp"
#include "tarvex/thread_pool.hpp"

namespace tarvex {
namespace {

using testing::panic_message;

struct ThreadCount {
  explicit ThreadCount(std::size_t n) { set_thread_count(n); }
  ~ThreadCount() { set_thread_count(available_cpus()); }
};

// A host cost that sees every conformation once, in order, and can fail at one.
class CountingCost final : public HostCost {
 public:
  explicit CountingCost(std::size_t fail_at) : fail_at_(fail_at) {}
  double score_one(std::span<const Point> c) override {
    if (seen == fail_at_) fail("host cost failed at {}", seen);
    return c[1].x + double(seen++);
  }
  std::size_t seen = 0;

 private:
  std::size_t fail_at_;
};

const EnergyTable kTable = {{U'A', {{U'A', -1.0}, {U'B', 0.5}}}, {U'B', {{U'A', 2.0}, {U'B', -3.0}}}};

std::vector<Conformation> models() {
  std::vector<Conformation> out;
  for (int m = 0; m < 5; ++m) {
    Conformation c;
    for (int i = 0; i < 6; ++i) c.push_back({3.8 * i, 0.7 * m * (i % 2), 0.3 * i * i});
    out.push_back(c);
  }
  return out;
}

SampleScores run_at(std::size_t threads, const SamplingRun& run, Cost& cost) {
  ThreadCount count(threads);
  const GroundTruth gt = build_ground_truth(models());
  Poll poll;
  return evaluate_samples(run, cost, gt, poll, thread_rng());
}

// The scores one at a time, as the single-threaded loop computes them.
SampleScores reference(const SamplingRun& run, Cost& cost) {
  const GroundTruth gt = build_ground_truth(models());
  SampleScores out;
  Poll poll;
  sample_walks(run, poll, [&](const Conformation& c) {
    out.rmsds.push_back(ground_truth_rmsd(gt, c));
    out.costs.push_back(cost.score_one(c));
  });
  return out;
}

TEST(Evaluation, ScoresEqualTheOneAtATimeLoopAtAnyThreadCount) {
  const SamplingRun run{6, 0, {SamplingMethod::Kind::enumerate, 0, 0}, LatticeKind::cubic, 3.8, false};
  const std::unique_ptr<Cost> contact = make_contact_cost(build_contact_energy_cost(kTable, "ABBAAB", 1, 7.8));
  const SampleScores expected = reference(run, *contact);
  CountingCost reference_host(SIZE_MAX);
  const SampleScores expected_host = reference(run, reference_host);
  ASSERT_GT(expected.costs.size(), 1000u);
  for (std::size_t threads : {1, 2, 5}) {
    const SampleScores got = run_at(threads, run, *contact);
    EXPECT_EQ(got.costs, expected.costs) << threads;
    EXPECT_EQ(got.rmsds, expected.rmsds) << threads;
    CountingCost host(SIZE_MAX);
    const SampleScores in_order = run_at(threads, run, host);
    EXPECT_EQ(in_order.costs, expected_host.costs) << threads;
    EXPECT_EQ(in_order.rmsds, expected.rmsds) << threads;
  }
}

TEST(Evaluation, HostCostSeesEveryConformationInOrderAndItsFailureEndsTheRun) {
  const SamplingRun run{6, 0, {SamplingMethod::Kind::enumerate, 0, 0}, LatticeKind::cubic, 3.8, false};
  for (std::size_t threads : {1, 3}) {
    CountingCost counting(777);
    EXPECT_EQ(panic_message([&] { run_at(threads, run, counting); }), "host cost failed at 777") << threads;
    EXPECT_EQ(counting.seen, 777u) << threads;
  }
}

// A length that makes the RMSD fail fails before the cost sees anything.
TEST(Evaluation, LengthMismatchFailsBeforeAnyCost) {
  const SamplingRun run{4, 50, {SamplingMethod::Kind::dimerize, 0, 0}, LatticeKind::fcc, 3.8, false};
  for (std::size_t threads : {1, 3}) {
    CountingCost counting(SIZE_MAX);
    EXPECT_EQ(panic_message([&] { run_at(threads, run, counting); }),
              "assertion failed: the conformation has 4 points but the ground-truth model has 6");
    EXPECT_EQ(counting.seen, 0u);
  }
}

}  // namespace
}  // namespace tarvex
