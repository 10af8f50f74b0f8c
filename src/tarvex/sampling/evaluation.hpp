// Per-sample evaluation: the RMSD and the cost of every conformation, in batches on the pool's threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "tarvex/compare/rmsd.hpp"
#include "tarvex/cost/cost.hpp"
#include "tarvex/poll.hpp"
#include "tarvex/sampling/progress.hpp"
#include "tarvex/sampling/sampling.hpp"
#include "tarvex/thread_pool.hpp"
#include "tarvex/walks/lattice_point.hpp"

namespace tarvex {

// Index i of both lists belongs to the i-th conformation.
struct SampleScores {
  std::vector<double> costs, rmsds;
};

// Scores conformations in the order they are added. The RMSDs (and a cost
// that runs anywhere) run in batches on the pool's workers; meanwhile a cost
// that runs on its own thread evaluates the batches there one at a time, in
// order, and a host cost on the calling thread. The result is the same at any thread count, and so is a
// failure: the one the earliest failing conformation raises, with the RMSD
// before the cost of each (a cost function with side effects only sees
// conformations whose RMSD can be computed).
class Evaluation {
 public:
  // Walks added are of the lattice scale given (conformations: their points
  // times scale).
  Evaluation(std::size_t points, Cost& cost, const GroundTruth& gt, Poll& poll, double scale = 0.0);
  ~Evaluation();
  Evaluation(const Evaluation&) = delete;
  Evaluation& operator=(const Evaluation&) = delete;

  // Room for the scores of this many conformations (a hint, capped).
  void reserve(std::uint64_t expected);

  // A progress line of the conformations scored (cost and RMSD done), out of
  // total; it opens with the first conformation added and ends with finish().
  void show_progress(std::optional<std::uint64_t> total);

  void add(std::span<const Point> conformation);
  // A lattice walk, each coordinate times the scale.
  void add(std::span<const LatticePoint> walk);

  // Waits for every conformation added and hands over the scores.
  SampleScores finish();

 private:
  struct Batch;

  Batch& open_batch();
  // True when the conformation cannot be scored in a batch: its length makes
  // the RMSD or the cost fail, which must happen in order.
  bool fails_in_order(std::size_t points) const;
  void score_in_order(std::span<const Point> conformation);
  void dispatch();
  // The host cost of a batch, here, in chunks that each end within a redraw
  // interval so that the line moves while a slow cost runs.
  void evaluate_host_costs(Batch& batch);
  void open_bar();
  // Waits for the batch on the cost's own thread, if any; its failure stays with it.
  void finish_own_thread();
  void collect_oldest();

  std::size_t points_;
  Cost* cost_;
  const GroundTruth* gt_;
  double scale_;
  CostRuns runs_;
  Batch* own_thread_batch_ = nullptr;  // the batch the cost's own thread is evaluating
  bool cost_failed_ = false;
  std::size_t batch_size_;
  std::size_t max_in_flight_;
  std::unique_ptr<Batch> open_;
  std::deque<std::unique_ptr<Batch>> in_flight_;
  std::vector<std::unique_ptr<Batch>> spare_;
  SampleScores scores_;
  bool progress_ = false;
  std::optional<std::uint64_t> total_;
  OptionalProgressBar bar_;  // opened when the first walks are scored
  std::size_t host_chunk_ = 1;
  // Last, so that it goes first: its destructor waits for the workers still
  // holding batches of a failed run before the batches go.
  TaskGroup group_;
};

// Samples the run, drawing from rng, and scores every walk against the ground truth and with the cost.
SampleScores evaluate_samples(const SamplingRun& run, Cost& cost, const GroundTruth& gt, Poll& poll, Rng& rng);

}  // namespace tarvex
