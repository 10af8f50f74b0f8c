// The pivot chain on a plain array: the shorter side moves, the rest waits as a pending transformation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "tarvex/walks/lattice_point.hpp"
#include "tarvex/walks/occupancy.hpp"
#include "tarvex/walks/signed_permutation.hpp"

namespace tarvex {

// Holds the walk as frame(points[i]) + offset. A move that turns the part
// after the pivot by g may instead turn the part before it by g^-1 and fold g
// into the frame: the delivered walk is the same, point for point, and only
// the shorter side is touched. The moved points are tested from the pivot
// outward, where a clash is most likely, against the occupancy table.
// Coordinates wrap like 32-bit machine integers, so the stored ones may drift
// without bound and the delivered ones still come out exact.
class PivotArray {
 public:
  static constexpr std::size_t kMaxPoints = Occupancy::kMaxPoints;

  explicit PivotArray(std::span<const LatticePoint> walk);

  // Applies g about point `site` (site + 1 < size) to every later point of
  // the delivered walk, when the result is self-avoiding; otherwise leaves the
  // walk as it was and returns false.
  bool try_pivot(std::size_t site, SignedPermutation g);

  // The delivered walk, into a buffer the caller reuses.
  void write(LatticeWalk& out) const;

 private:
  template <bool Tail>
  bool move(std::size_t site, SignedPermutation h);
  template <bool Tail, int X, int Y, int Z>
  bool test(std::size_t site, SignedPermutation h);

  LatticeWalk points_;
  LatticeWalk moved_;                 // the candidate positions of the moving side
  std::vector<std::uint32_t> slots_;  // and where each goes in the table
  Occupancy occupancy_;
  SignedPermutation frame_ = 0;
  LatticePoint offset_{0, 0, 0};
};

}  // namespace tarvex
