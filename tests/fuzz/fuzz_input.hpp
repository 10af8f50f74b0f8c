// Shared pieces of the fuzz targets: turning input bytes into awkward values and checking walks.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <span>

#include "tarvex/point.hpp"
#include "tarvex/walks/lattice.hpp"
#include "walk_helpers.hpp"

namespace tarvex::fuzzing {

// A broken invariant is a finding: abort so that libFuzzer keeps the input.
#define TARVEX_FUZZ_CHECK(condition)                                                         \
  do {                                                                                       \
    if (!(condition)) {                                                                      \
      std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                          \
    }                                                                                        \
  } while (0)

// Mostly ordinary coordinates, with the values that break numerical code
// (signed zeros, NaN of both signs, infinities, the extremes of the range,
// subnormals) and raw bit patterns mixed in.
inline double awkward_double(FuzzedDataProvider& in) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  static constexpr std::array<double, 14> kSpecial = {
      0.0,
      -0.0,
      std::numeric_limits<double>::quiet_NaN(),
      -std::numeric_limits<double>::quiet_NaN(),
      kInf,
      -kInf,
      std::numeric_limits<double>::max(),
      std::numeric_limits<double>::lowest(),
      std::numeric_limits<double>::denorm_min(),
      std::numeric_limits<double>::min(),
      1e154,
      1e-154,
      1.0,
      3.8,
  };
  switch (in.ConsumeIntegralInRange<int>(0, 7)) {
    case 0: return kSpecial[in.ConsumeIntegralInRange<std::size_t>(0, kSpecial.size() - 1)];
    case 1: return std::bit_cast<double>(in.ConsumeIntegral<std::uint64_t>());
    case 2: return in.ConsumeFloatingPoint<double>();
    default: return in.ConsumeFloatingPointInRange<double>(-100.0, 100.0);
  }
}

inline Point awkward_point(FuzzedDataProvider& in) {
  const double x = awkward_double(in), y = awkward_double(in), z = awkward_double(in);
  return {x, y, z};
}

inline LatticeKind lattice_kind(FuzzedDataProvider& in) {
  return static_cast<LatticeKind>(in.ConsumeIntegralInRange<int>(0, 3));
}

// n points, the origin first, every step to a neighbour, no point twice.
inline bool is_valid_walk(LatticeKind kind, std::span<const LatticePoint> walk, std::size_t n) {
  return walk_fault(kind, walk, n).empty();
}

}  // namespace tarvex::fuzzing
