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
// The path from the root to the node that splits the walk at the pivot cuts
// the walk into whole subtrees: those before the pivot stay, those after it
// move. A move tests the moving subtrees against the staying ones, nearest
// the pivot first, descending only where bounding boxes overlap; on
// acceptance only the symmetries on that path change, and the boxes and ends
// of the path's nodes are recomputed, so the tree keeps its balanced shape.
// Every coordinate is exact integer arithmetic, so the walk read back is the
// one a plain array would hold.
class SawTree {
 public:
  // A self-avoiding walk of at least two points.
  explicit SawTree(std::span<const LatticePoint> walk);

  // Same contract as PivotPairwise::try_pivot.
  bool try_pivot(std::size_t site, SignedPermutation g);

  void write(LatticeWalk& out) const;

 private:
  // The bounding box is kept as (lo.x, lo.y, lo.z, -hi.x, -hi.y, -hi.z): a
  // signed permutation then only reorders the six numbers, a union is their
  // minimum, and two boxes are apart when some lo plus the other's -hi is > 0.
  // One cache line per node, holding everything a descent reads.
  struct alignas(64) Node {
    std::int32_t box[6];  // every point, from the anchor
    LatticePoint end;     // the last point, from the anchor
    LatticePoint split;   // the left child's last point, where the right child's anchor is
    std::int32_t left, right, count;
    SignedPermutation sym;
  };
  // Where a sub-walk's anchor-relative coordinates land: sym(p) + offset.
  struct Frame {
    SignedPermutation sym;
    LatticePoint offset;
  };
  struct Pair {
    std::int32_t a, b;
    Frame b_in_a;
  };

  struct Descent {
    std::int32_t node;
    SignedPermutation sym;
  };

  std::int32_t build(std::int32_t first, std::int32_t last);
  void merge(std::int32_t node);
  bool clash(std::int32_t a, std::int32_t b, Frame b_in_a);

  std::vector<Node> nodes_;  // the leaves first, in walk order
  std::int32_t root_ = -1;
  std::int32_t next_ = 0;
  // A whole subtree on one side of the pivot, placed in the walk's
  // coordinates (after the move, on the moving side), with its box there.
  struct Piece {
    std::int32_t node;
    Frame frame;
    std::int32_t box[6];
  };

  // The nodes from the root down to the one whose split is the pivot.
  std::vector<std::int32_t> path_;
  std::vector<Piece> staying_, moving_;
  std::vector<Pair> pending_;             // the clash test's work list
  mutable std::vector<Descent> descent_;  // write()'s
};

}  // namespace tarvex
