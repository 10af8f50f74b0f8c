// Walk helpers that only tests, fuzzers and benchmarks use: random walks, repeat tests, single samples.
#pragma once

#include <cstddef>
#include <span>
#include <string>

#include "tarvex/walks/dimerize.hpp"
#include "tarvex/walks/lattice.hpp"
#include "tarvex/walks/point_set.hpp"
#include "tarvex/walks/random.hpp"

namespace tarvex {

// Uniform steps, reversals and revisits included; the caller filters.
inline LatticeWalk random_walk(const Lattice& lattice, std::size_t n, Rng& rng) {
  LatticeWalk walk;
  walk.reserve(n);
  if (n == 0) return walk;
  walk.push_back(kOrigin);
  for (std::size_t i = 1; i < n; ++i) {
    walk.push_back(neighbours(lattice, walk.back())[rng.uniform(0, lattice.steps.size())]);
  }
  return walk;
}

// The reference: every pair compared.
inline bool has_repeat_pairwise(std::span<const LatticePoint> walk) {
  for (std::size_t i = 0; i < walk.size(); ++i) {
    for (std::size_t j = i + 1; j < walk.size(); ++j) {
      if (walk[i] == walk[j]) return true;
    }
  }
  return false;
}

// Expected linear time, with a set the caller reuses or the calling thread's.
inline bool has_repeat_hashed(std::span<const LatticePoint> walk, PointSet& set) {
  set.reset(walk.size());
  for (const LatticePoint& p : walk) {
    if (!set.insert(p)) return true;
  }
  return false;
}

inline bool has_repeat_hashed(std::span<const LatticePoint> walk) {
  thread_local PointSet set;
  return has_repeat_hashed(walk, set);
}

inline bool last_is_new(std::span<const LatticePoint> walk) {
  if (walk.empty()) return true;
  const LatticePoint last = walk.back();
  for (std::size_t i = 0; i + 1 < walk.size(); ++i) {
    if (walk[i] == last) return false;
  }
  return true;
}

// What makes a produced walk invalid, or nothing: n points, origin first,
// consecutive points neighbours under the lattice's rule, no repeat.
inline std::string walk_fault(LatticeKind kind, std::span<const LatticePoint> walk, std::size_t n) {
  if (walk.size() != n) return "has " + std::to_string(walk.size()) + " points, want " + std::to_string(n);
  if (n == 0) return {};
  if (!(walk[0] == kOrigin)) return "does not start at the origin";
  const Lattice lattice(kind);
  for (std::size_t i = 1; i < n; ++i) {
    bool found = false;
    for (const LatticePoint& q : neighbours(lattice, walk[i - 1])) found = found || q == walk[i];
    if (!found) return "point " + std::to_string(i) + " is not a neighbour of point " + std::to_string(i - 1);
  }
  if (has_repeat_pairwise(walk)) return "repeats a point";
  return {};
}

// One uniform sample from the given generator, or from the calling thread's.
inline LatticeWalk dimerize(const Lattice& lattice, std::size_t n, Rng& rng) {
  return with_lattice(lattice.kind, [&](auto kc) {
    Dimerizer<decltype(kc)::value> dimerizer(rng);
    return LatticeWalk(dimerizer(n));
  });
}

inline LatticeWalk dimerize(const Lattice& lattice, std::size_t n) { return dimerize(lattice, n, thread_rng()); }

}  // namespace tarvex
