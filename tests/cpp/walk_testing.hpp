// Shared checks and helpers for the walk, sampler and driver tests.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <span>
#include <string>

#include "tarvex/walks/lattice.hpp"
#include "tarvex/walks/walk.hpp"

namespace tarvex::testing {

inline constexpr LatticeKind kAllLattices[] = {LatticeKind::tetrahedral, LatticeKind::fcc, LatticeKind::bcc,
                                               LatticeKind::cubic};

inline std::string lattice_name(LatticeKind kind) {
  switch (kind) {
    case LatticeKind::tetrahedral: return "tetrahedral";
    case LatticeKind::fcc: return "fcc";
    case LatticeKind::bcc: return "bcc";
    case LatticeKind::cubic: return "cubic";
  }
  return "unknown";
}

// Every invariant a produced walk must satisfy: n points, origin first,
// consecutive points neighbours under the lattice's rule, no repeat.
inline ::testing::AssertionResult is_valid_walk(LatticeKind kind, std::span<const LatticePoint> walk,
                                                std::size_t n) {
  if (walk.size() != n) return ::testing::AssertionFailure() << "has " << walk.size() << " points, want " << n;
  if (n == 0) return ::testing::AssertionSuccess();
  if (!(walk[0] == kOrigin)) return ::testing::AssertionFailure() << "does not start at the origin";
  const Lattice lattice(kind);
  for (std::size_t i = 1; i < n; ++i) {
    bool found = false;
    for (const LatticePoint& q : neighbours(lattice, walk[i - 1])) found = found || q == walk[i];
    if (!found) return ::testing::AssertionFailure() << "point " << i << " is not a neighbour of point " << i - 1;
  }
  if (has_repeat_hashed(walk)) return ::testing::AssertionFailure() << "repeats a point";
  return ::testing::AssertionSuccess();
}

inline std::int64_t squared_end_to_end(std::span<const LatticePoint> walk) {
  if (walk.empty()) return 0;
  const LatticePoint e = walk.back();
  return std::int64_t(e.x) * e.x + std::int64_t(e.y) * e.y + std::int64_t(e.z) * e.z;
}

}  // namespace tarvex::testing
