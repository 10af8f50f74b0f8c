// The straight walk, from which the pivot chain starts.
#include "tarvex/walks/straight_walk.hpp"

namespace tarvex {

LatticeWalk straight_walk(const Lattice& lattice, std::size_t n) {
  LatticeWalk walk;
  walk.reserve(n);
  if (n == 0) return walk;
  walk.push_back(kOrigin);
  const bool zigzag = lattice.kind == LatticeKind::tetrahedral;
  for (std::size_t i = 1; i < n; ++i) {
    walk.push_back(neighbours(lattice, walk.back())[zigzag ? i % 2 : 0]);
  }
  return walk;
}

}  // namespace tarvex
