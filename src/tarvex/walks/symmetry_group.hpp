// The point symmetries of the lattices: fixed tables of signed permutation matrices.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "tarvex/walks/lattice_point.hpp"

namespace tarvex {

// A 3x3 integer matrix in row-major order. Every table entry is a signed
// permutation matrix, so its inverse is its transpose.
struct Symmetry {
  std::array<std::int32_t, 9> m;
  friend constexpr bool operator==(const Symmetry&, const Symmetry&) = default;
};

constexpr Symmetry inverse(const Symmetry& s) {
  const auto& m = s.m;
  return {{m[0], m[3], m[6], m[1], m[4], m[7], m[2], m[5], m[8]}};
}

using SymmetryGroup = std::span<const Symmetry>;

namespace detail {

// The matrix whose image of (x, y, z) is named by three signed axes: 1 = x,
// 2 = y, 3 = z, negative for a negated axis; (3, -1, -2) is (z, -x, -y).
constexpr Symmetry image(int a, int b, int c) {
  Symmetry s{};
  const int axes[3] = {a, b, c};
  for (int row = 0; row < 3; ++row) {
    const int axis = axes[row] < 0 ? -axes[row] : axes[row];
    s.m[std::size_t(row * 3 + axis - 1)] = axes[row] < 0 ? -1 : 1;
  }
  return s;
}

constexpr Symmetry negated(const Symmetry& s) {
  Symmetry out = s;
  for (auto& v : out.m) v = -v;
  return out;
}

// The 24 rotations of the cube, in the order the pivot sampler draws from.
inline constexpr std::array<Symmetry, 24> kRotations = {
    image(1, 2, 3),    image(-1, -2, 3),  image(-1, 2, -3), image(1, -2, -3), image(3, 1, 2),   image(3, -1, -2),
    image(-3, -1, 2),  image(-3, 1, -2),  image(2, 3, 1),   image(-2, 3, -1), image(2, -3, -1), image(-2, -3, 1),
    image(2, 1, -3),   image(-2, -1, -3), image(2, -1, 3),  image(-2, 1, 3),  image(1, 3, -2),  image(-1, 3, 2),
    image(-1, -3, -2), image(1, -3, 2),   image(3, 2, -1),  image(3, -2, 1),  image(-3, 2, 1),  image(-3, -2, -1),
};

constexpr std::array<Symmetry, 48> cube_group() {
  std::array<Symmetry, 48> g{};
  for (std::size_t k = 0; k < 24; ++k) {
    g[k] = kRotations[k];
    g[24 + k] = negated(kRotations[k]);
  }
  return g;
}

// The rotations that keep the tetrahedron (the first twelve cube rotations)
// followed by the twelve improper elements that keep it.
constexpr std::array<Symmetry, 24> tetrahedral_group() {
  constexpr std::array<Symmetry, 12> improper = {
      image(2, 1, 3),   image(-2, -1, 3), image(2, -1, -3), image(-2, 1, -3), image(1, 3, 2),   image(-1, 3, -2),
      image(-1, -3, 2), image(1, -3, -2), image(3, 2, 1),   image(3, -2, -1), image(-3, 2, -1), image(-3, -2, 1),
  };
  std::array<Symmetry, 24> g{};
  for (std::size_t k = 0; k < 12; ++k) {
    g[k] = kRotations[k];
    g[12 + k] = improper[k];
  }
  return g;
}

}  // namespace detail

// Identity first in both tables.
inline constexpr std::array<Symmetry, 48> kCubeGroup = detail::cube_group();
inline constexpr std::array<Symmetry, 24> kTetrahedralGroup = detail::tetrahedral_group();

}  // namespace tarvex
