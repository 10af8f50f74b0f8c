// Per-sample evaluation: the RMSD and the cost of every conformation, in batches on the pool's threads.
#include "tarvex/sampling/evaluation.hpp"

#include <cxxabi.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <utility>

#include "tarvex/reserve.hpp"
#include "tarvex/walks/lattice.hpp"

namespace tarvex {

struct Evaluation::Batch {
  std::size_t count = 0;
  std::vector<Point> points;  // count conformations, one after the other
  // Conformations that came as lattice walks: the walks, and points made from
  // them by the worker (or by the owner when an in-order cost needs them).
  std::vector<LatticePoint> walks;
  std::vector<double> rmsds, costs;
  std::exception_ptr failure;       // of the worker's part (RMSDs, contact energies)
  std::exception_ptr cost_failure;  // of the in-order costs
  std::atomic<bool> evaluated{false};
};

namespace {

// Conformations per batch: enough work (some tens of microseconds) that
// handing a batch to a worker costs little, few enough that the workers share
// a short run evenly and that a host cost holds its lock only briefly.
std::size_t batch_size_for(std::size_t points, std::size_t models, bool anywhere) {
  const std::size_t work = std::max<std::size_t>(models, 1) * (points + 8) + (anywhere ? points * points / 2 : 0);
  const std::size_t size = std::clamp<std::size_t>((std::size_t{1} << 16) / std::max<std::size_t>(work, 1), 4, 1024);
  return anywhere ? size : std::min<std::size_t>(size, 64);
}

}  // namespace

Evaluation::Evaluation(std::size_t points, Cost& cost, const GroundTruth& gt, Poll& poll, double scale)
    : points_(points), cost_(&cost), gt_(&gt), scale_(scale), runs_(cost.runs()),
      batch_size_(batch_size_for(points, gt.models, runs_ == CostRuns::anywhere)),
      // Enough batches ahead that a worker never waits for the sampler's
      // next one, and the owner helps only when the workers fall behind.
      max_in_flight_(6 * thread_count() + 1), group_(worker_count(), poll) {}

Evaluation::~Evaluation() = default;

void Evaluation::show_progress(std::optional<std::uint64_t> total) {
  progress_ = true;
  total_ = total;
}

void Evaluation::open_bar() {
  if (bar_.get() == nullptr) bar_.open(progress_, total_);
}

void Evaluation::evaluate_host_costs(Batch& batch) {
  if (bar_.get() == nullptr) {
    cost_->score_points(batch.points, points_, batch.costs);
    return;
  }
  Cost& host = *cost_;
  const std::span<const Point> points(batch.points);
  const std::span<double> costs(batch.costs);
  for (std::size_t done = 0; done < batch.count;) {
    const std::size_t k = std::min(host_chunk_, batch.count - done);
    const Clock::time_point start = Clock::now();
    try {
      host.score_points(points.subspan(done * points_, k * points_), points_, costs.subspan(done, k));
    } catch (...) {
      bar_.tick(host.completed());  // the walks scored before the failing one
      throw;
    }
    bar_.tick(k);
    done += k;
    // Doubling while a chunk is short keeps a fast cost's lock taken once for many walks.
    const Clock::duration took = Clock::now() - start;
    if (took < ProgressBar::kMinInterval / 4 && host_chunk_ < batch_size_) {
      host_chunk_ *= 2;
    } else if (took > ProgressBar::kMinInterval && host_chunk_ > 1) {
      host_chunk_ /= 2;
    }
  }
}

void Evaluation::reserve(std::uint64_t expected) {
  scores_.costs.reserve(reserve_for(expected));
  scores_.rmsds.reserve(reserve_for(expected));
}

Evaluation::Batch& Evaluation::open_batch() {
  if (!open_) {
    if (!spare_.empty()) {
      open_ = std::move(spare_.back());
      spare_.pop_back();
    } else {
      open_ = std::make_unique<Batch>();
      open_->points.reserve(batch_size_ * points_);
    }
    open_->count = 0;
    open_->points.clear();
    open_->walks.clear();
    open_->failure = nullptr;
    open_->cost_failure = nullptr;
    open_->evaluated.store(false);
  }
  return *open_;
}

bool Evaluation::fails_in_order(std::size_t points) const { return points != gt_->points || !cost_->accepts(points); }

// The single-threaded order exactly: every earlier conformation first, then
// this one's RMSD, then its cost.
void Evaluation::score_in_order(std::span<const Point> conformation) {
  dispatch();
  while (!in_flight_.empty()) collect_oldest();
  const double rmsd = ground_truth_rmsd(*gt_, conformation);
  const double cost = cost_->score_one(conformation);
  scores_.rmsds.push_back(rmsd);
  scores_.costs.push_back(cost);
  bar_.tick();
}

void Evaluation::add(std::span<const Point> conformation) {
  open_bar();
  if (fails_in_order(conformation.size())) return score_in_order(conformation);
  if (open_ && !open_->walks.empty()) dispatch();
  Batch& batch = open_batch();
  batch.points.insert(batch.points.end(), conformation.begin(), conformation.end());
  if (++batch.count == batch_size_) dispatch();
}

void Evaluation::add(std::span<const LatticePoint> walk) {
  open_bar();
  if (fails_in_order(walk.size())) {
    Conformation conformation;
    to_conformation(walk, scale_, conformation);
    return score_in_order(conformation);
  }
  if (open_ && open_->walks.empty() && open_->count > 0) dispatch();
  Batch& batch = open_batch();
  // A batch holds one kind: conformations added as points close it first.
  batch.walks.insert(batch.walks.end(), walk.begin(), walk.end());
  if (++batch.count == batch_size_) dispatch();
}

void Evaluation::dispatch() {
  if (!open_ || open_->count == 0) return;
  std::unique_ptr<Batch> owned = std::move(open_);
  Batch& batch = *owned;
  batch.rmsds.resize(batch.count);
  batch.costs.resize(batch.count);
  in_flight_.push_back(std::move(owned));
  const bool lattice = !batch.walks.empty();
  const bool anywhere = runs_ == CostRuns::anywhere;
  // Costs that must run in order, here, need the points before the worker
  // has made them.
  if (lattice && !anywhere) to_conformation(batch.walks, scale_, batch.points);
  // A failure stays with its batch, so that the batches are judged in order.
  group_.submit([&batch, lattice, anywhere, this](Poll&) {
    try {
      if (lattice && anywhere) to_conformation(batch.walks, scale_, batch.points);
      ground_truth_rmsds(*gt_, batch.points, batch.rmsds);
      if (anywhere) {
        if (lattice)
          cost_->score_walks({batch.walks, batch.points, points_, scale_}, batch.costs);
        else
          cost_->score_points(batch.points, points_, batch.costs);
      }
    } catch (const abi::__forced_unwind&) {
      throw;  // a thread ended by pthread_exit
    } catch (...) {
      batch.failure = std::current_exception();
    }
    batch.evaluated.store(true, std::memory_order_release);
  });
  if (runs_ == CostRuns::own_thread) {
    // One batch at a time on the cost's thread, while this thread samples on.
    finish_own_thread();
    cost_->start(batch.points, points_, batch.costs);
    own_thread_batch_ = &batch;
  } else if (runs_ == CostRuns::caller) {
    try {
      evaluate_host_costs(batch);
    } catch (const abi::__forced_unwind&) {
      throw;  // a thread ended by pthread_exit
    } catch (...) {
      batch.cost_failure = std::current_exception();
      cost_failed_ = true;
    }
  }
  // A failed cost is reported once every earlier batch is judged.
  if (cost_failed_)
    while (!in_flight_.empty()) collect_oldest();
  while (in_flight_.size() > max_in_flight_) collect_oldest();
}

void Evaluation::finish_own_thread() {
  if (own_thread_batch_ == nullptr) return;
  Batch& batch = *std::exchange(own_thread_batch_, nullptr);
  try {
    cost_->wait();
  } catch (const Interrupted&) {
    throw;  // Ctrl-C ends the call at once
  } catch (const abi::__forced_unwind&) {
    throw;  // a thread ended by pthread_exit
  } catch (...) {
    batch.cost_failure = std::current_exception();
    cost_failed_ = true;
  }
}

void Evaluation::collect_oldest() {
  if (own_thread_batch_ == in_flight_.front().get()) finish_own_thread();
  std::unique_ptr<Batch> batch = std::move(in_flight_.front());
  in_flight_.pop_front();
  group_.wait_until([&] { return batch->evaluated.load(std::memory_order_acquire); });
  if (batch->failure) std::rethrow_exception(batch->failure);
  if (batch->cost_failure) std::rethrow_exception(batch->cost_failure);
  scores_.rmsds.insert(scores_.rmsds.end(), batch->rmsds.begin(), batch->rmsds.end());
  scores_.costs.insert(scores_.costs.end(), batch->costs.begin(), batch->costs.end());
  // Host costs are counted as they are scored, in dispatch().
  if (runs_ != CostRuns::caller) bar_.tick(batch->count);
  spare_.push_back(std::move(batch));
}

SampleScores Evaluation::finish() {
  open_bar();
  dispatch();
  while (!in_flight_.empty()) collect_oldest();
  bar_.close();
  return std::move(scores_);
}

SampleScores evaluate_samples(const SamplingRun& run, Cost& cost, const GroundTruth& gt, Poll& poll, Rng& rng) {
  Evaluation evaluation(run.n, cost, gt, poll, run.scale());
  const bool enumerate = run.method.kind == SamplingMethod::Kind::enumerate;
  if (!enumerate) evaluation.reserve(run.sample_size);
  // The line counts walks scored, not walks produced ahead of their scores.
  SamplingRun unbarred = run;
  unbarred.pbar = false;
  if (run.pbar) evaluation.show_progress(enumerate ? std::nullopt : std::optional<std::uint64_t>(run.sample_size));
  sample_lattice_walks(unbarred, rng, poll, [&](const LatticeWalk& walk) { evaluation.add(walk); });
  return evaluation.finish();
}

}  // namespace tarvex
