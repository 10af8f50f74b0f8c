// The pivot chain on a plain array: the shorter side moves, the rest waits as a pending transformation.
#pragma once

#include <cstddef>
#include <span>

#include "tarvex/walks/lattice_point.hpp"
#include "tarvex/walks/occupancy.hpp"
#include "tarvex/walks/signed_permutation.hpp"

namespace tarvex {

// Holds the walk as frame(points[i]) + offset. A move that turns the part
// after the pivot by g may instead turn the part before it by g^-1 and fold g
// into the frame: the delivered walk is the same, point for point, and only
// the shorter side is touched. The moved points are tested from the pivot
// outward, where a clash is most likely, against the occupancy table.
class PivotArray {
 public:
  explicit PivotArray(std::span<const LatticePoint> walk);

  // Applies g about point `site` (site + 1 < size) to every later point of
  // the delivered walk, when the result is self-avoiding; otherwise leaves the
  // walk as it was and returns false.
  bool try_pivot(std::size_t site, SignedPermutation g);

  // The delivered walk, into a buffer the caller reuses.
  void write(LatticeWalk& out) const;

 private:
  bool move_tail(std::size_t site, SignedPermutation h);
  bool move_head(std::size_t site, SignedPermutation h);
  void recentre();

  LatticeWalk points_;
  LatticeWalk moved_;  // the candidate positions of the moving side
  Occupancy occupancy_;
  SignedPermutation frame_ = 0;
  LatticePoint offset_{0, 0, 0};
};

}  // namespace tarvex
