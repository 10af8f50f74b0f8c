// Local improvement of a fitted walk by regrowing short windows, judged by the whole walk's superposition.
#include "tarvex/search/refine.hpp"

#include <algorithm>
#include <vector>

#include "tarvex/search/prefix.hpp"
#include "tarvex/walks/lattice.hpp"
#include "tarvex/walks/point_set.hpp"

namespace tarvex::search {
namespace {

template <LatticeKind K>
bool adjacent(LatticePoint a, LatticePoint b) {
  for (std::size_t k = 0; k < coordination(K); ++k)
    if (neighbour<K>(a, k) == b) return true;
  return false;
}

template <LatticeKind K>
class Refiner {
 public:
  Refiner(std::span<const Target> targets, LatticeWalk& walk, Poll& poll) : walk_(walk), poll_(poll) {
    for (const Target& t : targets) targets_.emplace_back(t);
    n_ = walk.size();
    sums_.resize(targets_.size());
    for (std::size_t t = 0; t < targets_.size(); ++t)
      for (std::size_t i = 0; i < n_; ++i) sums_[t] = sums_[t].extended(walk[i], targets_[t].points[i]);
    current_ = residual_of(sums_);
  }

  double current() const { return current_; }

  // The best regrowth of points [first, first + length); true if it improved.
  bool regrow(std::size_t first, std::size_t length) {
    first_ = first;
    length_ = length;
    seen_.reset(n_);
    for (std::size_t i = 0; i < n_; ++i)
      if (i < first || i >= first + length) seen_.insert(walk_[i]);
    // Without a left neighbour the window grows from its right one backwards.
    backwards_ = first == 0;
    best_ = current_;
    improved_ = false;
    trial_.assign(length, kOrigin);
    if (backwards_) {
      if (first + length >= n_) return false;
      grow(0, walk_[first + length]);
    } else {
      grow(0, walk_[first - 1]);
    }
    if (!improved_) return false;
    // The sums first: they replace the window's old points.
    for (std::size_t t = 0; t < targets_.size(); ++t) sums_[t] = with_window(t, best_trial_);
    for (std::size_t k = 0; k < length; ++k) walk_[first + k] = best_trial_[k];
    current_ = best_;
    return true;
  }

 private:
  // Point k of the window (counted from the end it grows from) next to `from`.
  void grow(std::size_t k, LatticePoint from) {
    poll_();
    for (std::size_t j = 0; j < coordination(K); ++j) {
      const LatticePoint p = neighbour<K>(from, j);
      if (seen_.contains(p)) continue;
      bool clash = false;
      for (std::size_t q = 0; q < k; ++q) clash = clash || trial_[q] == p;
      if (clash) continue;
      trial_[k] = p;
      if (k + 1 < length_) {
        grow(k + 1, p);
        continue;
      }
      // Closed against the far side, when there is one.
      const std::size_t far = backwards_ ? std::size_t(-1) : first_ + length_;
      if (!backwards_ && far < n_ && !adjacent<K>(p, walk_[far])) continue;
      score();
    }
  }

  // The window's points in walk order.
  void ordered(std::vector<LatticePoint>& out) const {
    out.resize(length_);
    for (std::size_t k = 0; k < length_; ++k) out[k] = backwards_ ? trial_[length_ - 1 - k] : trial_[k];
  }

  PrefixSums with_window(std::size_t t, const std::vector<LatticePoint>& window) const {
    PrefixSums s = sums_[t];
    for (std::size_t k = 0; k < length_; ++k) {
      const std::size_t i = first_ + k;
      const LatticePoint o = walk_[i], p = window[k];
      const Point& b = targets_[t].points[i];
      s.sx += p.x - o.x, s.sy += p.y - o.y, s.sz += p.z - o.z;
      s.sq += (std::int64_t(p.x) * p.x + std::int64_t(p.y) * p.y + std::int64_t(p.z) * p.z) -
              (std::int64_t(o.x) * o.x + std::int64_t(o.y) * o.y + std::int64_t(o.z) * o.z);
      const double d[3] = {double(p.x - o.x), double(p.y - o.y), double(p.z - o.z)}, bb[3] = {b.x, b.y, b.z};
      for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) s.h[r][c] += d[r] * bb[c];
    }
    return s;
  }

  void score() {
    ordered(window_);
    for (std::size_t t = 0; t < targets_.size(); ++t) residuals_.add(with_window(t, window_), targets_[t], n_);
    const std::span<const double> r = residuals_.compute();
    const double value = *std::min_element(r.begin(), r.end());
    // A real gain, not the same walk's value again through other rounding.
    if (value < best_ - 1e-9 * (best_ + 1)) {
      best_ = value;
      best_trial_ = window_;
      improved_ = true;
    }
  }

  double residual_of(const std::vector<PrefixSums>& sums) {
    for (std::size_t t = 0; t < targets_.size(); ++t) residuals_.add(sums[t], targets_[t], n_);
    const std::span<const double> r = residuals_.compute();
    return *std::min_element(r.begin(), r.end());
  }

  LatticeWalk& walk_;
  Poll& poll_;
  std::vector<PrefixTarget> targets_;
  std::size_t n_ = 0;
  std::vector<PrefixSums> sums_;
  double current_ = 0;
  PrefixResiduals residuals_;
  PointSet seen_;
  std::size_t first_ = 0, length_ = 0;
  bool backwards_ = false, improved_ = false;
  double best_ = 0;
  std::vector<LatticePoint> trial_, window_, best_trial_;
};

}  // namespace

template <LatticeKind K>
double refine(std::span<const Target> targets, LatticeWalk& walk, std::size_t window, std::size_t passes, Poll& poll) {
  Refiner<K> refiner(targets, walk, poll);
  const std::size_t n = walk.size();
  for (std::size_t pass = 0; pass < passes; ++pass) {
    bool changed = false;
    for (std::size_t length = 1; length <= std::min(window, n - 1); ++length)
      for (std::size_t first = 0; first + length <= n; ++first) changed = refiner.regrow(first, length) || changed;
    if (!changed) break;
  }
  return refiner.current();
}

template double refine<LatticeKind::tetrahedral>(std::span<const Target>, LatticeWalk&, std::size_t, std::size_t,
                                                 Poll&);
template double refine<LatticeKind::fcc>(std::span<const Target>, LatticeWalk&, std::size_t, std::size_t, Poll&);
template double refine<LatticeKind::bcc>(std::span<const Target>, LatticeWalk&, std::size_t, std::size_t, Poll&);
template double refine<LatticeKind::cubic>(std::span<const Target>, LatticeWalk&, std::size_t, std::size_t, Poll&);

}  // namespace tarvex::search
