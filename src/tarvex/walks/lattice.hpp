// The four lattices: step tables, neighbours, and the scale from lattice units to space.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>

#include "tarvex/fail.hpp"
#include "tarvex/point.hpp"
#include "tarvex/walks/lattice_point.hpp"
#include "tarvex/walks/symmetry_group.hpp"

namespace tarvex {

// The names callers give the lattices, indexed by LatticeKind.
inline constexpr std::array<std::string_view, 4> kLatticeNames = {"tetrahedral", "fcc", "bcc", "cubic"};

constexpr std::string_view lattice_name(LatticeKind kind) { return kLatticeNames[std::size_t(kind)]; }

constexpr std::size_t coordination(LatticeKind kind) {
  switch (kind) {
    case LatticeKind::tetrahedral: return 4;
    case LatticeKind::fcc: return 12;
    case LatticeKind::bcc: return 8;
    case LatticeKind::cubic: return 6;
  }
  return 0;
}

// Step order matters: the straight walk uses steps 0 and 1, random walks draw
// an index into the table and the enumeration visits neighbours by index.
template <LatticeKind K>
inline constexpr std::array<LatticePoint, coordination(K)> kSteps{};

template <>
inline constexpr std::array<LatticePoint, 4> kSteps<LatticeKind::tetrahedral> = {{
    {-1, 1, 1},
    {1, -1, 1},
    {1, 1, -1},
    {-1, -1, -1},
}};
template <>
inline constexpr std::array<LatticePoint, 12> kSteps<LatticeKind::fcc> = {{
    {1, 1, 0},
    {1, -1, 0},
    {1, 0, 1},
    {1, 0, -1},
    {-1, 1, 0},
    {-1, -1, 0},
    {-1, 0, 1},
    {-1, 0, -1},
    {0, 1, 1},
    {0, 1, -1},
    {0, -1, 1},
    {0, -1, -1},
}};
template <>
inline constexpr std::array<LatticePoint, 8> kSteps<LatticeKind::bcc> = {{
    {1, 1, 1},
    {-1, 1, 1},
    {1, -1, 1},
    {1, 1, -1},
    {1, -1, -1},
    {-1, 1, -1},
    {-1, -1, 1},
    {-1, -1, -1},
}};
template <>
inline constexpr std::array<LatticePoint, 6> kSteps<LatticeKind::cubic> = {{
    {1, 0, 0},
    {0, 1, 0},
    {0, 0, 1},
    {-1, 0, 0},
    {0, -1, 0},
    {0, 0, -1},
}};

template <LatticeKind K>
constexpr const auto& group_of() {
  if constexpr (K == LatticeKind::tetrahedral) {
    return kTetrahedralGroup;
  } else {
    return kCubeGroup;
  }
}

// Parity of x + y + z in 32-bit two's complement arithmetic, so negative odd
// sums count as odd.
constexpr bool is_odd(LatticePoint p) {
  return ((std::uint32_t(p.x) + std::uint32_t(p.y) + std::uint32_t(p.z)) & 1u) != 0;
}

// Entry i of the neighbour list of p. On the diamond lattice the odd sublattice
// steps along the negated vectors, which keeps every walk alternating.
template <LatticeKind K>
constexpr LatticePoint neighbour(LatticePoint p, std::size_t i) {
  if constexpr (K == LatticeKind::tetrahedral) {
    return is_odd(p) ? p - kSteps<K>[i] : p + kSteps<K>[i];
  } else {
    return p + kSteps<K>[i];
  }
}

// The step index that leads straight back from the point that step i reached.
// On the diamond lattice that is the same index, taken from the other sublattice.
template <LatticeKind K>
inline constexpr std::array<std::uint8_t, coordination(K)> kReverseStep = [] {
  std::array<std::uint8_t, coordination(K)> out{};
  for (std::size_t i = 0; i < out.size(); ++i) {
    if constexpr (K == LatticeKind::tetrahedral) {
      out[i] = std::uint8_t(i);
    } else {
      for (std::size_t j = 0; j < out.size(); ++j) {
        if (kSteps<K>[j] == -kSteps<K>[i]) out[i] = std::uint8_t(j);
      }
    }
  }
  return out;
}();

// Shortest closed path of the lattice, and whether its points split into two
// sublattices by the parity of x + y + z (then a walk's point i has the parity
// of i). Together they tell which earlier points a new point can coincide with.
template <LatticeKind K>
inline constexpr std::size_t kGirth = K == LatticeKind::tetrahedral ? 6
                                      : K == LatticeKind::fcc       ? 3
                                                                    : 4;
template <LatticeKind K>
inline constexpr bool kBipartite = K != LatticeKind::fcc;

// Whether p differs from every earlier point pts[0 .. k), p being the candidate
// for index k of a walk whose points pts[0 .. k) are already self-avoiding and
// whose point i lies on the sublattice of i. Besides a straight reversal only
// points at least a girth back and on p's sublattice can coincide with p.
template <LatticeKind K>
constexpr bool is_new_at(const LatticePoint* pts, std::size_t k, LatticePoint p) {
  constexpr std::size_t stride = kBipartite<K> ? 2 : 1;
  if (k >= 2 && pts[k - 2] == p) return false;
  if (k < kGirth<K>) return true;
  for (std::size_t i = k - kGirth<K> + stride; i >= stride;) {
    i -= stride;
    if (pts[i] == p) return false;
  }
  return true;
}

// The immutable record of one lattice, built once per sampling run.
struct Lattice {
  LatticeKind kind;
  SymmetryGroup group;
  std::span<const LatticePoint> steps;

  explicit Lattice(LatticeKind k);
};

// Up to twelve neighbours, in step order; no allocation.
struct NeighbourList {
  std::array<LatticePoint, 12> points;
  std::size_t count;

  const LatticePoint* begin() const { return points.data(); }
  const LatticePoint* end() const { return points.data() + count; }
  std::size_t size() const { return count; }
  const LatticePoint& operator[](std::size_t i) const { return points[i]; }
};

NeighbourList neighbours(const Lattice& lattice, LatticePoint p);

// The factor that puts consecutive residues arc_length apart.
double lattice_scale(const Lattice& lattice, double arc_length);

Conformation to_conformation(std::span<const LatticePoint> walk, double scale);
// Same, into a buffer the caller reuses from walk to walk.
void to_conformation(std::span<const LatticePoint> walk, double scale, Conformation& out);

// Calls f(std::integral_constant<LatticeKind, K>{}) for the run-time kind, so
// that per-walk loops are compiled once per lattice.
template <class F>
decltype(auto) with_lattice(LatticeKind kind, F&& f) {
  switch (kind) {
    case LatticeKind::tetrahedral:
      return std::forward<F>(f)(std::integral_constant<LatticeKind, LatticeKind::tetrahedral>{});
    case LatticeKind::fcc: return std::forward<F>(f)(std::integral_constant<LatticeKind, LatticeKind::fcc>{});
    case LatticeKind::bcc: return std::forward<F>(f)(std::integral_constant<LatticeKind, LatticeKind::bcc>{});
    case LatticeKind::cubic: return std::forward<F>(f)(std::integral_constant<LatticeKind, LatticeKind::cubic>{});
  }
  fail("unknown lattice kind {}", int(kind));
}

}  // namespace tarvex
