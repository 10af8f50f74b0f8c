// Walks grown point by point and ranked by the RMSD of their prefixes: a plain beam and an exact branch and bound.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "tarvex/compare/linalg.hpp"
#include "tarvex/poll.hpp"
#include "tarvex/search/superpose.hpp"
#include "tarvex/walks/lattice_point.hpp"

namespace tarvex::search {

// The sums that give the best superposition of any prefix of a walk on a
// target in O(1) per added point: the centred cross-covariance and norms
// follow from the raw sums and the target's prefix sums.
struct PrefixSums {
  std::int64_t sx = 0, sy = 0, sz = 0, sq = 0;  // of the walk's points and their squared norms
  Mat3 h{};                                     // sum of w_i t_i^T

  PrefixSums extended(LatticePoint w, const Point& t) const;
};

// A target with its running sums, prefix m covering points [0, m).
struct PrefixTarget {
  std::vector<Point> points;
  std::vector<Point> sum;    // sum[m]: of the first m points
  std::vector<double> norm;  // norm[m]: of their squared norms

  explicit PrefixTarget(const Target& target);
};

// The sum of squared distances after the best proper superposition of the
// first m points of a walk (its sums s) on the same prefix of the target.
// Batched: the root finding runs four pairs at a time.
class PrefixResiduals {
 public:
  void add(const PrefixSums& s, const PrefixTarget& t, std::size_t m);
  // The residuals of everything added since the last call, in order.
  std::span<const double> compute();

 private:
  std::vector<Mat3> h_;
  std::vector<double> ga_, gb_, out_;
};

// Width `width` beam: at every length the prefixes of least residual (the
// smallest over the targets) are kept and extended by every step that stays
// self-avoiding. Prefixes equal up to a rotation of the lattice are grown
// once. Returns nothing when every prefix was trapped. The extensions of each
// length are spread over the thread pool; on_length runs on the calling
// thread after each length.
// With tail > 0, at most per_tail of the prefixes kept at a length end in
// the same `tail` points (while others are left to fill the width).
struct BeamDiversity {
  std::size_t tail = 0, per_tail = 1;
};
template <LatticeKind K>
std::optional<LatticeWalk> prefix_beam(std::span<const Target> targets, std::size_t width, Poll& poll,
                                       const std::function<void()>& on_length = {}, BeamDiversity diversity = {});

// The walk of least residual (the smallest over the targets), by a
// depth-first search over walks that prunes every prefix whose residual is
// already at least `bound` (a prefix's residual never exceeds that of its
// extensions). Returns nothing if no walk beats the bound, or when `budget`
// prefixes were visited first (then the search is not finished).
struct ExactResult {
  std::optional<LatticeWalk> walk;
  bool finished;
};
template <LatticeKind K>
ExactResult exact_fit(std::span<const Target> targets, double bound, std::uint64_t budget, Poll& poll);

}  // namespace tarvex::search
