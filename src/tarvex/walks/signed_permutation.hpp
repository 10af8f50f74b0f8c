// The 48 signed permutations of the axes as byte codes: products, inverses and action on points.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "tarvex/fail.hpp"
#include "tarvex/walks/lattice_point.hpp"
#include "tarvex/walks/symmetry_group.hpp"

namespace tarvex {

// Every element of both lattice groups is a signed permutation matrix, and so
// is every product of them, so the pivot chain can carry its pending
// transformations as one byte each and compose them by table look-up.
// Code c = 8 * order + signs: row r of the matrix takes axis kAxisOrders[order][r],
// negated when bit r of signs is set. Code 0 is the identity.
using SignedPermutation = std::uint8_t;

inline constexpr std::size_t kSignedPermutations = 48;

namespace detail {

inline constexpr std::array<std::array<std::uint8_t, 3>, 6> kAxisOrders = {{
    {0, 1, 2},
    {0, 2, 1},
    {1, 0, 2},
    {1, 2, 0},
    {2, 0, 1},
    {2, 1, 0},
}};

constexpr Symmetry matrix_of(SignedPermutation c) {
  Symmetry s{};
  for (std::size_t r = 0; r < 3; ++r) {
    s.m[r * 3 + kAxisOrders[c / 8][r]] = ((c % 8) >> r) & 1 ? -1 : 1;
  }
  return s;
}

// 256 when s is not a signed permutation matrix.
constexpr unsigned code_of(const Symmetry& s) {
  unsigned axes[3] = {3, 3, 3}, signs = 0;
  for (std::size_t r = 0; r < 3; ++r) {
    for (std::size_t c = 0; c < 3; ++c) {
      const std::int32_t v = s.m[r * 3 + c];
      if (v == 0) continue;
      if ((v != 1 && v != -1) || axes[r] != 3) return 256;
      axes[r] = unsigned(c);
      if (v < 0) signs |= 1u << r;
    }
  }
  for (unsigned order = 0; order < 6; ++order) {
    if (axes[0] == kAxisOrders[order][0] && axes[1] == kAxisOrders[order][1] && axes[2] == kAxisOrders[order][2]) {
      return order * 8 + signs;
    }
  }
  return 256;
}

// Row r of a * b reads row axis_a[r] of b: axis axis_b[axis_a[r]], negated
// when exactly one of the two rows is. Composed on the codes, not as
// matrices, so that the table stays within every compiler's constexpr budget.
constexpr SignedPermutation product_code(unsigned a, unsigned b) {
  unsigned axes[3] = {}, signs = 0;
  for (std::size_t r = 0; r < 3; ++r) {
    const unsigned through = kAxisOrders[a / 8][r];
    axes[r] = kAxisOrders[b / 8][through];
    signs |= ((((a % 8) >> r) ^ ((b % 8) >> through)) & 1u) << r;
  }
  unsigned order = 0;
  while (axes[0] != kAxisOrders[order][0] || axes[1] != kAxisOrders[order][1]) ++order;
  return SignedPermutation(order * 8 + signs);
}

inline constexpr auto kProducts = [] {
  std::array<std::array<SignedPermutation, kSignedPermutations>, kSignedPermutations> out{};
  for (unsigned a = 0; a < kSignedPermutations; ++a) {
    for (unsigned b = 0; b < kSignedPermutations; ++b) out[a][b] = product_code(a, b);
  }
  return out;
}();

inline constexpr auto kInverses = [] {
  std::array<SignedPermutation, kSignedPermutations> out{};
  for (unsigned a = 0; a < kSignedPermutations; ++a) {
    out[a] = SignedPermutation(code_of(inverse(matrix_of(SignedPermutation(a)))));
  }
  return out;
}();

// Per code: the source axis of each row and an all-ones mask for negated rows,
// the form the inner loops want.
struct Action {
  std::array<std::uint8_t, 3> axis;
  std::array<std::uint32_t, 3> negate;
};

inline constexpr auto kActions = [] {
  std::array<Action, kSignedPermutations> out{};
  for (unsigned c = 0; c < kSignedPermutations; ++c) {
    for (std::size_t r = 0; r < 3; ++r) {
      out[c].axis[r] = kAxisOrders[c / 8][r];
      out[c].negate[r] = ((c % 8) >> r) & 1 ? ~std::uint32_t{0} : 0;
    }
  }
  return out;
}();

// Negates v when mask is all ones, wrapping like the lattice coordinates do.
[[gnu::always_inline]] constexpr std::int32_t negate_if(std::int32_t v, std::uint32_t mask) {
  return std::int32_t((std::uint32_t(v) ^ mask) - mask);
}

}  // namespace detail

// a after b: (a * b)(p) = a(b(p)).
constexpr SignedPermutation compose(SignedPermutation a, SignedPermutation b) { return detail::kProducts[a][b]; }
constexpr SignedPermutation inverse_of(SignedPermutation a) { return detail::kInverses[a]; }

// The code of a group element; anything that is not a signed permutation
// matrix is an internal fault.
constexpr SignedPermutation signed_permutation(const Symmetry& s) {
  const unsigned c = detail::code_of(s);
  if (c >= kSignedPermutations)
    fail("pivot symmetry {} {} {} / {} {} {} / {} {} {} is not a signed permutation", s.m[0], s.m[1], s.m[2], s.m[3],
         s.m[4], s.m[5], s.m[6], s.m[7], s.m[8]);
  return SignedPermutation(c);
}

// Codes of a group table, index for index.
template <std::size_t N>
constexpr std::array<SignedPermutation, N> signed_permutations(const std::array<Symmetry, N>& group) {
  std::array<SignedPermutation, N> out{};
  for (std::size_t i = 0; i < N; ++i) out[i] = signed_permutation(group[i]);
  return out;
}

[[gnu::always_inline]] inline LatticePoint act(SignedPermutation c, LatticePoint p) {
  const detail::Action& a = detail::kActions[c];
  const std::int32_t v[3] = {p.x, p.y, p.z};
  return {detail::negate_if(v[a.axis[0]], a.negate[0]), detail::negate_if(v[a.axis[1]], a.negate[1]),
          detail::negate_if(v[a.axis[2]], a.negate[2])};
}

}  // namespace tarvex
