// The dimerization sampler: independent, exactly uniform self-avoiding walks.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

#include "tarvex/poll.hpp"
#include "tarvex/walks/lattice.hpp"
#include "tarvex/walks/point_set.hpp"
#include "tarvex/walks/random.hpp"

namespace tarvex {

// Walks up to this many points are drawn directly; longer ones are joined
// from two halves. Any limit of 3 or more samples the same distribution; these
// were picked by measuring samples per second at 100 and 300 points (the rate
// is flat from about 12 to 32; the diamond lattice, which loses the fewest
// candidates per step, gains from the upper end).
template <LatticeKind K>
inline constexpr std::size_t kDimerizeBaseLimit = K == LatticeKind::tetrahedral ? 24 : 16;

// Uniform on the self-avoiding walks of n points from the origin.
//
// Short walks: non-reversing random walks, abandoned at the first revisited
// point. Every non-reversing walk of n points is equally likely, and the
// self-avoiding ones are a subset, so the accepted walk is uniform; stopping
// at the first revisit only skips draws whose outcome is already rejection.
//
// Long walks: a uniform first part of floor(n / 2) points and an independent
// uniform second part of the rest plus the joint, carried onto the first
// part's end; the pair is redrawn until the join has no repeated point. The
// join is a bijection between pairs and walks of n points, so every accepted
// walk is equally likely.
namespace testing {
struct Peer;  // the tests' access to internals
}  // namespace testing

template <LatticeKind K>
class Dimerizer {
 public:
  explicit Dimerizer(Rng& rng, Poll* poll = nullptr) : Dimerizer(rng, poll, kDimerizeBaseLimit<K>) {}

  // A fresh sample, valid until the next call. No draw for n <= 1.
  const LatticeWalk& operator()(std::size_t n) {
    std::size_t depth = 0;
    for (std::size_t m = n; m > limit_; m = m - m / 2 + 1) ++depth;
    if (scratch_.size() < depth) scratch_.resize(depth);
    walk_.resize(n);
    draw(walk_.data(), n, 0);
    return walk_;
  }

 private:
  friend struct testing::Peer;

  // Walks of up to base_limit points (at least 3) are drawn whole; tests set
  // it low to reach the join on short walks.
  Dimerizer(Rng& rng, Poll* poll, std::size_t base_limit)
      : rng_(&rng), poll_(poll), limit_(std::max<std::size_t>(base_limit, 3)) {}

  void poll() {
    if (poll_ != nullptr) (*poll_)();
  }

  void draw(LatticePoint* out, std::size_t n, std::size_t depth) {
    if (n <= limit_) {
      draw_short(out, n);
      return;
    }
    const std::size_t h = n / 2, m = n - h + 1;
    LatticeWalk& second = scratch_[depth];
    second.resize(m);
    for (;;) {
      poll();
      draw(out, h, depth + 1);
      draw(second.data(), m, depth + 1);
      if (join(out, h, second.data(), m)) return;
    }
  }

  void draw_short(LatticePoint* out, std::size_t n) {
    if (n == 0) return;
    out[0] = kOrigin;
    if (n == 1) return;
    constexpr std::size_t c = coordination(K);
    for (;;) {
      poll();
      std::size_t step = std::size_t(rng_->uniform(0, c));
      out[1] = neighbour<K>(kOrigin, step);
      std::size_t k = 2;
      for (; k < n; ++k) {
        std::size_t next = std::size_t(rng_->uniform(0, c - 1));
        next += next >= kReverseStep<K>[step];
        const LatticePoint p = neighbour<K>(out[k - 1], next);
        if (!is_new_at<K>(out, k, p)) break;
        out[k] = p;
        step = next;
      }
      if (k == n) return;
    }
  }

  // Appends second[1 ..) to first[0 .. h). On the diamond lattice a first part
  // ending on the odd sublattice gets the second part point-reflected, which
  // turns steps from an even point into steps from an odd one. Both parts are
  // self-avoiding, so only points of the second part against the first can
  // clash; the ones next to the joint are tried first.
  bool join(LatticePoint* first, std::size_t h, const LatticePoint* second, std::size_t m) {
    const LatticePoint end = first[h - 1];
    const bool reflect = K == LatticeKind::tetrahedral && is_odd(end);
    set_.reset(h);
    for (std::size_t i = 0; i < h; ++i) set_.insert(first[i]);
    for (std::size_t j = 1; j < m; ++j) {
      const LatticePoint p = reflect ? end - second[j] : end + second[j];
      if (set_.contains(p)) return false;
      first[h - 1 + j] = p;
    }
    return true;
  }

  Rng* rng_;
  Poll* poll_;
  std::size_t limit_;
  LatticeWalk walk_;
  std::vector<LatticeWalk> scratch_;  // the second part at each depth of the recursion
  PointSet set_;
};

}  // namespace tarvex
