// Shared checks and helpers for the walk, sampler and driver tests.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "tarvex/walks/lattice.hpp"
#include "walk_helpers.hpp"

namespace tarvex::testing {

inline constexpr LatticeKind kAllLattices[] = {LatticeKind::tetrahedral, LatticeKind::fcc, LatticeKind::bcc,
                                               LatticeKind::cubic};

// For test names, which are built with +.
inline std::string lattice_label(LatticeKind kind) { return std::string(lattice_name(kind)); }

// Every invariant a produced walk must satisfy (see walk_fault).
inline ::testing::AssertionResult is_valid_walk(LatticeKind kind, std::span<const LatticePoint> walk, std::size_t n) {
  const std::string fault = walk_fault(kind, walk, n);
  if (!fault.empty()) return ::testing::AssertionFailure() << fault;
  return ::testing::AssertionSuccess();
}

inline std::int64_t squared_end_to_end(std::span<const LatticePoint> walk) {
  if (walk.empty()) return 0;
  const LatticePoint e = walk.back();
  return std::int64_t(e.x) * e.x + std::int64_t(e.y) * e.y + std::int64_t(e.z) * e.z;
}

}  // namespace tarvex::testing
