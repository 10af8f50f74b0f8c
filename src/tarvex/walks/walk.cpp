// Straight and random walks and the repeated-point tests.
#include "tarvex/walks/walk.hpp"

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

LatticeWalk random_walk(const Lattice& lattice, std::size_t n, Rng& rng) {
  LatticeWalk walk;
  walk.reserve(n);
  if (n == 0) return walk;
  walk.push_back(kOrigin);
  for (std::size_t i = 1; i < n; ++i) {
    walk.push_back(neighbours(lattice, walk.back())[rng.uniform(0, lattice.steps.size())]);
  }
  return walk;
}

bool has_repeat_pairwise(std::span<const LatticePoint> walk) {
  for (std::size_t i = 0; i < walk.size(); ++i) {
    for (std::size_t j = i + 1; j < walk.size(); ++j) {
      if (walk[i] == walk[j]) return true;
    }
  }
  return false;
}

bool has_repeat_hashed(std::span<const LatticePoint> walk, PointSet& set) {
  set.reset(walk.size());
  for (const LatticePoint& p : walk) {
    if (!set.insert(p)) return true;
  }
  return false;
}

bool has_repeat_hashed(std::span<const LatticePoint> walk) {
  thread_local PointSet set;
  return has_repeat_hashed(walk, set);
}

bool last_is_new(std::span<const LatticePoint> walk) {
  if (walk.empty()) return true;
  const LatticePoint last = walk.back();
  for (std::size_t i = 0; i + 1 < walk.size(); ++i) {
    if (walk[i] == last) return false;
  }
  return true;
}

}  // namespace tarvex
