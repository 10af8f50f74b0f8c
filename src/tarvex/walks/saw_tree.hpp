// The pivot chain on a saw-tree: a balanced tree of sub-walks with bounding boxes (Clisby, J. Stat. Phys. 2010).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "tarvex/walks/lattice_point.hpp"
#include "tarvex/walks/signed_permutation.hpp"

namespace tarvex {

// A node stands for a sub-walk placed after an anchor point: its left child's
// points, then its right child's points turned by `sym` and carried to the
// left child's last point. A leaf is one point, one step from its anchor.
// A move brings the pivot to the root by rotations, tests the two halves
// against each other by descending only where bounding boxes overlap, and on
// acceptance changes the root's symmetry alone; undoing the rotations then
// restores the balanced shape. Every coordinate is exact integer arithmetic,
// so the walk read back is the one a plain array would hold.
class SawTree {
 public:
  // A self-avoiding walk of at least two points.
  explicit SawTree(std::span<const LatticePoint> walk);

  // Same contract as PivotArray::try_pivot.
  bool try_pivot(std::size_t site, SignedPermutation g);

  void write(LatticeWalk& out) const;

 private:
  struct Node {
    LatticePoint end;  // the last point, from the anchor
    Box box;           // every point, from the anchor
    std::int32_t left, right, count;
    SignedPermutation sym;
  };
  // Where a sub-walk's anchor-relative coordinates land: sym(p) + offset.
  struct Frame {
    SignedPermutation sym;
    LatticePoint offset;
  };

  std::int32_t build(std::int32_t first, std::int32_t last);
  void merge(std::int32_t node);
  void rotate_right(std::int32_t node);
  void rotate_left(std::int32_t node);
  bool clash(std::int32_t a, Frame fa, std::int32_t b, Frame fb) const;
  void write(std::int32_t node, Frame f, LatticePoint*& out) const;

  std::vector<Node> nodes_;  // the leaves first, in walk order
  std::int32_t root_ = -1;
  std::int32_t next_ = 0;
  struct Rotation {
    std::int32_t node;
    bool right;
  };
  std::vector<Rotation> path_;
};

}  // namespace tarvex
