// The pivot sampler as first written (full tail moved, whole-walk tests): the yardstick for the fast one.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "tarvex/poll.hpp"
#include "tarvex/walks/lattice.hpp"
#include "tarvex/walks/pivot.hpp"
#include "tarvex/walks/point_set.hpp"
#include "tarvex/walks/random.hpp"
#include "tarvex/walks/straight_walk.hpp"
#include "tarvex/walks/symmetry_group.hpp"

namespace tarvex {

// The group elements as matrices acting on points, as the sampler once moved
// walks; it now composes signed-permutation codes instead.
constexpr LatticePoint operator*(const Symmetry& s, LatticePoint d) {
  const auto& m = s.m;
  return {m[0] * d.x + m[1] * d.y + m[2] * d.z, m[3] * d.x + m[4] * d.y + m[5] * d.z,
          m[6] * d.x + m[7] * d.y + m[8] * d.z};
}

// The image of p under s with q held fixed: q + s (p - q).
constexpr LatticePoint apply_about(const Symmetry& s, LatticePoint q, LatticePoint p) { return q + s * (p - q); }

// Every element, the identity included, with probability 1 / order.
template <class Rng>
const Symmetry& random_element(SymmetryGroup group, Rng& rng) {
  return group[rng.uniform(0, group.size())];
}

}  // namespace tarvex

namespace tarvex::testing {

// Walks from this length on test a move with the hash set; shorter ones
// compare pairs directly, which allocates nothing.
inline constexpr std::size_t kReferenceHashFrom = 100;

// Kept verbatim apart from its name, so that the chain it runs, draw for draw
// and point for point, is the one the production sampler must reproduce.
template <LatticeKind K>
class ReferencePivotSampler {
 public:
  // Starts from the straight walk and thermalizes it: n * thermalization_factor
  // accepted moves. A walk of fewer than two points has no pivot site, so it is
  // never moved and never draws.
  ReferencePivotSampler(std::size_t n, Rng& rng, std::uint64_t thermalization_factor,
                        std::uint64_t autocorrelation_factor, Poll& poll)
      : rng_(&rng), poll_(&poll), walk_(straight_walk(Lattice(K), n)) {
    moved_.resize(n);
    const std::uint64_t t = n < 2 ? 0 : detail::saturating_mul(n, thermalization_factor);
    if (t == 0) {
      ratio_ = std::numeric_limits<double>::quiet_NaN();
    } else {
      std::uint64_t accepted = 0, rejected = 0;
      while (accepted < t) {
        (*poll_)();
        if (try_pivot()) {
          ++accepted;
        } else {
          ++rejected;
        }
      }
      // A thermalization without rejections counts one, so the spacing between
      // samples stays finite (a two-point walk accepts every move).
      ratio_ = double(t) / double(std::max<std::uint64_t>(rejected, 1));
    }
    attempts_per_sample_ = detail::saturating_count(double(autocorrelation_factor) * ratio_);
  }

  // One move: a random pivot site (never the last point) and a random group
  // element, applied to the part of the walk after the site.
  bool try_pivot() {
    if (walk_.size() < 2) return false;  // no pivot site, and nothing to draw
    const auto site = std::size_t(rng_->uniform(0, walk_.size() - 1));
    const Symmetry& s = random_element(group_of<K>(), *rng_);
    return try_pivot_at(site, s);
  }

  // Accepts exactly when the whole transformed walk has no repeated point.
  // Both parts are self-avoiding before the move and a symmetry keeps the
  // moved part so, hence only pairs across the site are compared. The walk is
  // written only on acceptance, so a rejection leaves it untouched.
  bool try_pivot_at(std::size_t site, const Symmetry& s) {
    const std::size_t n = walk_.size();
    const bool clash = n < kReferenceHashFrom ? clashes_pairwise(site, s) : clashes_hashed(site, s);
    if (clash) return false;
    std::copy(moved_.begin(), moved_.begin() + std::ptrdiff_t(n - site - 1), walk_.begin() + std::ptrdiff_t(site + 1));
    return true;
  }

  // k move attempts, then the walk (valid until the next call).
  const LatticeWalk& next_sample() {
    for (std::uint64_t i = 0; i < attempts_per_sample_; ++i) {
      (*poll_)();
      try_pivot();
    }
    return walk_;
  }

  const LatticeWalk& walk() const { return walk_; }
  double accept_reject_ratio() const { return ratio_; }
  std::uint64_t attempts_per_sample() const { return attempts_per_sample_; }

 private:
  // Moved point j can only meet fixed point i on its own sublattice. (No
  // girth bound here: the moved part may fold straight back at the site.)
  bool clashes_pairwise(std::size_t site, const Symmetry& s) {
    constexpr std::ptrdiff_t stride = kBipartite<K> ? 2 : 1;
    const auto n = std::ptrdiff_t(walk_.size());
    const auto pivot = std::ptrdiff_t(site);
    const LatticePoint q = walk_[site];
    for (std::ptrdiff_t j = pivot + 1; j < n; ++j) {
      const LatticePoint t = apply_about(s, q, walk_[std::size_t(j)]);
      moved_[std::size_t(j - pivot - 1)] = t;
      std::ptrdiff_t i = pivot - 1;
      if constexpr (stride == 2) i -= (j - i) & 1;
      for (; i >= 0; i -= stride) {
        if (walk_[std::size_t(i)] == t) return true;
      }
    }
    return false;
  }

  bool clashes_hashed(std::size_t site, const Symmetry& s) {
    const std::size_t n = walk_.size();
    const LatticePoint q = walk_[site];
    const std::size_t moved = n - site - 1;
    set_.reset(std::min(site + 1, moved));
    if (site + 1 <= moved) {
      for (std::size_t i = 0; i <= site; ++i) set_.insert(walk_[i]);
      for (std::size_t j = site + 1; j < n; ++j) {
        const LatticePoint t = apply_about(s, q, walk_[j]);
        if (set_.contains(t)) return true;
        moved_[j - site - 1] = t;
      }
    } else {
      for (std::size_t j = site + 1; j < n; ++j) {
        const LatticePoint t = apply_about(s, q, walk_[j]);
        set_.insert(t);
        moved_[j - site - 1] = t;
      }
      for (std::size_t i = site; i-- > 0;) {
        if (set_.contains(walk_[i])) return true;
      }
    }
    return false;
  }

  Rng* rng_;
  Poll* poll_;
  LatticeWalk walk_;
  LatticeWalk moved_;  // the moved part, built before the walk is touched
  PointSet set_;
  double ratio_ = 0.0;
  std::uint64_t attempts_per_sample_ = 0;
};

}  // namespace tarvex::testing
