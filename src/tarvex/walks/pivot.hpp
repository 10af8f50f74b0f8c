// The pivot sampler: a Markov chain of symmetry moves on self-avoiding walks.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>

#include "tarvex/fail.hpp"
#include "tarvex/poll.hpp"
#include "tarvex/walks/lattice.hpp"
#include "tarvex/walks/pivot_pairwise.hpp"
#include "tarvex/walks/random.hpp"
#include "tarvex/walks/saw_tree.hpp"
#include "tarvex/walks/signed_permutation.hpp"
#include "tarvex/walks/straight_walk.hpp"
#include "tarvex/walks/symmetry_group.hpp"

namespace tarvex {

namespace detail {

inline std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
  std::uint64_t out;
  return __builtin_mul_overflow(a, b, &out) ? std::numeric_limits<std::uint64_t>::max() : out;
}

// NaN and negatives give 0, values from 2^64 on give the largest count.
inline std::uint64_t saturating_count(double x) {
  if (!(x >= 0.0)) return 0;
  if (x >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(x);
}

// Attempts moves until t of them are accepted and returns t per rejection,
// the ratio the spacing between samples scales with; NaN when t is 0. A
// thermalization without rejections counts one, so the spacing stays finite
// (a two-point walk accepts every move).
template <class Attempt>
double thermalize(std::uint64_t t, Poll& poll, Attempt attempt) {
  if (t == 0) return std::numeric_limits<double>::quiet_NaN();
  std::uint64_t accepted = 0, rejected = 0;
  while (accepted < t) {
    poll();
    if (attempt()) {
      ++accepted;
    } else {
      ++rejected;
    }
  }
  return double(t) / double(std::max<std::uint64_t>(rejected, 1));
}

}  // namespace detail

// From this length on the chain runs on the saw-tree, whose moves cost about
// log n against the pairwise test's n^2 / 16 compares (eight at a time).
// Below it the pairwise form is faster per sample, since writing the walk out
// of the tree visits 2n nodes, and no slower per move; at 500 points the
// tree's cheaper moves already outweigh that over a thermalization of 100
// and 10,000 samples (bench_pivot --crossover places the switch).
inline constexpr std::size_t kPivotTreeFrom = 450;
static_assert(kPivotTreeFrom <= PivotPairwise::kMaxPoints + 1);

namespace testing {
struct Peer;  // the tests' access to internals
}  // namespace testing

template <LatticeKind K>
class PivotSampler {
 public:
  // Starts from the straight walk and thermalizes it: n * thermalization_factor
  // accepted moves. A walk of fewer than two points has no pivot site, so it is
  // never moved and never draws.
  PivotSampler(std::size_t n, Rng& rng, std::uint64_t thermalization_factor, std::uint64_t autocorrelation_factor,
               Poll& poll)
      : rng_(&rng), poll_(&poll), walk_(straight_walk(Lattice(K), n)) {
    if (n >= kPivotTreeFrom) {
      tree_.emplace(walk_);
    } else if (n >= 2) {
      pairwise_.emplace(walk_);
    }
    const std::uint64_t t = n < 2 ? 0 : detail::saturating_mul(n, thermalization_factor);
    ratio_ = detail::thermalize(t, poll, [this] { return try_pivot(); });
    attempts_per_sample_ = detail::saturating_count(double(autocorrelation_factor) * ratio_);
  }

  // One move: a random pivot site (never the last point) and a random group
  // element, applied to the part of the walk after the site.
  bool try_pivot() {
    const std::size_t n = walk_.size();
    if (n < 2) return false;  // no pivot site, and nothing to draw
    const auto site = std::size_t(rng_->uniform(0, n - 1));
    // One draw over the group's elements, kept as an index into the codes.
    const auto element = std::size_t(rng_->uniform(0, kCodes.size()));
    return move(site, kCodes[element]);
  }

  // k move attempts, then the walk (valid until the next call).
  const LatticeWalk& next_sample() {
    if (pairwise_) {
      // Marked first: a poll may throw between an accepted move and the end.
      stale_ = stale_ || attempts_per_sample_ > 0;
      pairwise_->run(attempts_per_sample_, *rng_, *poll_, kCodes);
      return walk();
    }
    for (std::uint64_t i = 0; i < attempts_per_sample_; ++i) {
      (*poll_)();
      try_pivot();
    }
    return walk();
  }

  // The chain keeps its walk in its own form; the plain points are written
  // out only when asked for.
  const LatticeWalk& walk() const {
    if (stale_) {
      if (tree_) {
        tree_->write(walk_);
      } else {
        pairwise_->write(walk_);
      }
      stale_ = false;
    }
    return walk_;
  }

  double accept_reject_ratio() const { return ratio_; }

 private:
  friend struct testing::Peer;

  static constexpr auto kCodes = signed_permutations(group_of<K>());

  bool move(std::size_t site, SignedPermutation g) {
    const bool accepted = pairwise_ ? pairwise_->try_pivot(site, g) : tree_->try_pivot(site, g);
    stale_ = stale_ || accepted;
    return accepted;
  }

  Rng* rng_;
  Poll* poll_;
  mutable LatticeWalk walk_;
  mutable bool stale_ = false;
  std::optional<PivotPairwise> pairwise_;
  std::optional<SawTree> tree_;
  double ratio_ = 0.0;
  std::uint64_t attempts_per_sample_ = 0;
};

}  // namespace tarvex
