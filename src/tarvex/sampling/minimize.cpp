// Minimization over every walk of a length: the first conformation with the lowest score.
#include "tarvex/sampling/minimize.hpp"

#include <algorithm>
#include <atomic>
#include <optional>
#include <vector>

#include "tarvex/fail.hpp"
#include "tarvex/sampling/progress.hpp"
#include "tarvex/thread_pool.hpp"
#include "tarvex/total_order.hpp"
#include "tarvex/walks/lattice.hpp"
#include "tarvex/walks/walk_enumerator.hpp"

namespace tarvex {
namespace {

// The running best of one stretch of the enumeration.
struct Best {
  std::uint64_t key = 0;
  bool found = false;
  Conformation conformation;
};

// Walks gathered into batches, each batch scored at once and offered to the
// running best in walk order. The walks are converted to points once per batch,
// and only for a scorer that reads them.
class BatchedMinimum {
 public:
  BatchedMinimum(std::size_t n, double scale, Cost& cost, Best& best)
      : n_(n), scale_(scale), batch_(std::clamp<std::size_t>(8192 / std::max<std::size_t>(n, 1), 16, 1024)),
        cost_(&cost), reads_points_(cost.reads_points()), best_(&best) {
    walks_.reserve(batch_ * n);
    if (reads_points_) points_.reserve(batch_ * n);
    scores_.resize(batch_);
  }

  // Returns how many walks were scored: a whole batch, or none yet.
  std::size_t add(const LatticeWalk& walk) {
    walks_.insert(walks_.end(), walk.begin(), walk.end());
    return ++count_ == batch_ ? flush() : 0;
  }

  // Scores what is gathered; returns how many walks that was.
  std::size_t flush() {
    const std::size_t count = count_;
    if (count == 0) return 0;
    if (reads_points_) to_conformation(walks_, scale_, points_);
    const std::span<double> scores(scores_.data(), count);
    cost_->score_walks({walks_, points_, n_, scale_}, scores);
    for (std::size_t c = 0; c < count; ++c) {
      const std::uint64_t key = total_order_key(scores[c]);
      if (!best_->found || key < best_->key) {
        to_conformation(std::span<const LatticePoint>(walks_).subspan(c * n_, n_), scale_, best_->conformation);
        best_->key = key;
        best_->found = true;
      }
    }
    walks_.clear();
    count_ = 0;
    return count;
  }

 private:
  std::size_t n_;
  double scale_;
  std::size_t batch_;
  Cost* cost_;
  bool reads_points_;
  Best* best_;
  std::vector<LatticePoint> walks_;
  std::vector<Point> points_;
  std::vector<double> scores_;
  std::size_t count_ = 0;
};

Conformation result_of(const Best& best) {
  if (!best.found) fail("assertion failed: the enumeration yielded at least one walk");
  return best.conformation;
}

template <LatticeKind K>
Conformation minimize_in_order(std::size_t n, double scale, bool pbar, Poll& poll, Cost& cost) {
  OptionalProgressBar bar(pbar, std::nullopt);
  Best best;
  BatchedMinimum minimum(n, scale, cost, best);
  WalkEnumerator<K> enumerator(n);
  while (const LatticeWalk* walk = enumerator.next()) {
    poll();
    bar.tick();
    minimum.add(*walk);
  }
  minimum.flush();
  bar.close();
  return result_of(best);
}

// The shortest prefixes that give every thread enough separate subtrees to
// balance uneven ones; none when the walks are too short to be worth it.
template <LatticeKind K>
std::vector<LatticeWalk> split_prefixes(std::size_t n, std::size_t threads) {
  const std::size_t wanted = 32 * threads;
  std::vector<LatticeWalk> prefixes;
  for (std::size_t d = 2; d + 2 <= n; ++d) {
    prefixes.clear();
    WalkEnumerator<K> enumerator(d);
    while (const LatticeWalk* prefix = enumerator.next()) prefixes.push_back(*prefix);
    if (prefixes.size() >= wanted) break;
  }
  return prefixes;
}

template <LatticeKind K>
Conformation minimize_split(std::size_t n, double scale, bool pbar, Poll& host, Cost& cost,
                            const std::vector<LatticeWalk>& prefixes) {
  SharedProgress progress(host, pbar, std::nullopt);
  std::atomic<std::uint64_t>& scored = progress.done();
  Poll& poll = progress.poll();
  std::vector<Best> bests(prefixes.size());
  {
    TaskGroup group(worker_count(), poll);
    for (std::size_t p = 0; p < prefixes.size(); ++p) {
      group.submit([&, p](Poll& task_poll) {
        BatchedMinimum minimum(n, scale, cost, bests[p]);
        WalkEnumerator<K> subtree(n, prefixes[p]);
        while (const LatticeWalk* walk = subtree.next()) {
          task_poll();
          if (const std::size_t done = minimum.add(*walk)) scored.fetch_add(done, std::memory_order_relaxed);
        }
        scored.fetch_add(minimum.flush(), std::memory_order_relaxed);
      });
    }
    group.wait();
  }
  progress.catch_up();
  progress.close();
  // Subtrees in prefix order are the enumeration in order, so the first
  // strict improvement over the parts' bests is the first minimum overall.
  const Best* best = nullptr;
  for (const Best& b : bests)
    if (b.found && (best == nullptr || b.key < best->key)) best = &b;
  if (best == nullptr) fail("assertion failed: the enumeration yielded at least one walk");
  return best->conformation;
}

// The RMSD to the ground truth as a cost of walks: a pure function, scored anywhere.
class RmsdScore final : public Cost {
 public:
  explicit RmsdScore(const GroundTruth& gt) : gt_(&gt) {}
  CostRuns runs() const override { return CostRuns::anywhere; }
  double score_one(std::span<const Point> conformation) override { return ground_truth_rmsd(*gt_, conformation); }
  void score_points(std::span<const Point> points, std::size_t, std::span<double> out) override {
    ground_truth_rmsds(*gt_, points, out);
  }
  std::size_t completed() const override { return 0; }

 private:
  const GroundTruth* gt_;
};

}  // namespace

Conformation minimize_over_walks(std::uint64_t n, LatticeKind lattice, double arc_length, bool pbar, Poll& poll,
                                 Cost& cost) {
  return with_lattice(lattice, [&](auto kc) {
    constexpr LatticeKind K = decltype(kc)::value;
    const double scale = lattice_scale(Lattice(K), arc_length);
    if (cost.runs() == CostRuns::anywhere && worker_count() > 0) {
      const std::vector<LatticeWalk> prefixes = split_prefixes<K>(n, thread_count());
      if (!prefixes.empty()) return minimize_split<K>(n, scale, pbar, poll, cost, prefixes);
    }
    return minimize_in_order<K>(n, scale, pbar, poll, cost);
  });
}

Conformation minimize_rmsd_over_walks(std::uint64_t n, LatticeKind lattice, double arc_length, bool pbar, Poll& poll,
                                      const GroundTruth& gt) {
  RmsdScore score(gt);
  return minimize_over_walks(n, lattice, arc_length, pbar, poll, score);
}

}  // namespace tarvex
