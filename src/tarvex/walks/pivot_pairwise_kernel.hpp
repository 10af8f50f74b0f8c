// The pairwise pivot move on eight-lane integer vectors, compiled once per instruction set.
//
// pivot_pairwise.cpp compiles it for any machine, pivot_pairwise_avx2.cpp for
// AVX2, in the way simd.hpp describes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <type_traits>

#include "tarvex/poll.hpp"
#include "tarvex/simd.hpp"
#include "tarvex/walks/lattice_point.hpp"
#include "tarvex/walks/pivot_pairwise.hpp"
#include "tarvex/walks/random.hpp"
#include "tarvex/walks/signed_permutation.hpp"

TARVEX_KERNEL_BEGIN("avx2")

#include "tarvex/simd_ops.hpp"

namespace tarvex::detail {
namespace {

// Coordinates and keys wrap, so the arithmetic is unsigned.
using simd::load8;
using simd::M8;
using simd::splat8;
using simd::store8;
using simd::U8;

[[gnu::always_inline]] inline bool any_lane(M8 m) {
#if TARVEX_SIMD_AVX2
  const auto v = reinterpret_cast<__m256i>(m);
  return !_mm256_testz_si256(v, v);
#else
  std::uint64_t w[4];
  std::memcpy(w, &m, sizeof w);
  return (w[0] | w[1] | w[2] | w[3]) != 0;
#endif
}

// A point's key (see PairwiseWalk), for one point or eight.
template <class U>
[[gnu::always_inline]] inline U key_of(U x, U y, U z) {
  return (x + (y << 10) + (z << 20)) & PairwiseWalk::kKeyBits;
}

// frame^-1 g frame, the delivered g in the stored coordinates.
inline constexpr auto kConjugates = [] {
  std::array<std::array<SignedPermutation, kSignedPermutations>, kSignedPermutations> out{};
  for (unsigned f = 0; f < kSignedPermutations; ++f) {
    for (unsigned g = 0; g < kSignedPermutations; ++g) {
      out[f][g] = compose(inverse_of(SignedPermutation(f)), compose(SignedPermutation(g), SignedPermutation(f)));
    }
  }
  return out;
}();

// PivotPairwise::try_pivot. The moving side goes eight points at a time from
// the pivot outward, each block's candidate keys against every fixed key, so
// that most rejections end within the first block. (Looking for the clash
// after every few fixed groups, or sharing each fixed key between two
// blocks, measured slower.) Both sides are self-avoiding and a symmetry
// keeps the moving one so, hence a clash is a moved point landing on the
// fixed side. The walk's columns change only once the whole side has passed,
// when the candidates are made again and written over the moved points.
[[gnu::always_inline]] inline bool pairwise_attempt(PairwiseWalk& w, std::size_t site, SignedPermutation g) {
  const PairwiseWalk::Plan& plan = w.plans[site];
  const auto s = std::ptrdiff_t(site);
  const bool tail = plan.tail;
  const SignedPermutation frame = w.frame;
  // In the stored coordinates the delivered g reads frame^-1 g frame; moving
  // the head instead turns it by the inverse.
  const Action& act_h = kActions[kConjugates[frame][tail ? g : inverse_of(g)]];

  std::int32_t* const x = w.column(PairwiseWalk::kX);
  const std::ptrdiff_t stride = std::ptrdiff_t(w.stride);
  std::int32_t* const keys = x + PairwiseWalk::kKey * stride;
  // Row r of h reads column axis[r], negated or not: p[r] = ±source[r][j] + shift[r],
  // where the shift keeps the pivot in place.
  const std::int32_t* source[3];
  U8 negate[3], shift[3];
  for (int r = 0; r < 3; ++r) {
    source[r] = x + act_h.axis[r] * stride;
    const std::uint32_t mask = act_h.negate[r];
    negate[r] = splat8(mask);
    shift[r] = splat8(std::uint32_t(x[r * stride + s]) - ((std::uint32_t(source[r][s]) ^ mask) - mask));
  }
  const auto moved = [&](std::ptrdiff_t j, U8(&p)[3]) {
    for (int r = 0; r < 3; ++r) p[r] = ((load8(source[r] + j) ^ negate[r]) - negate[r]) + shift[r];
    return key_of(p[0], p[1], p[2]);
  };

  const std::ptrdiff_t first = plan.first, step = tail ? 8 : -8, blocks = plan.blocks, groups = plan.groups;
  const std::int32_t* const fixed = keys + plan.fixed;
  const M8 lanes = {0, 1, 2, 3, 4, 5, 6, 7};
  const M8 lo8 = splat8(plan.lo), hi8 = splat8(plan.hi);

  for (std::ptrdiff_t b = 0, j = first; b < blocks; ++b, j += step) {
    U8 p[3];
    const U8 key = moved(j, p);
    const M8 index = lanes + std::int32_t(j);
    const M8 valid = (index >= lo8) & (index < hi8);
    M8 hit = {};
    for (std::ptrdiff_t i = 0; i < 8 * groups; i += 8) {
#pragma GCC unroll 8
      for (int u = 0; u < 8; ++u) hit |= key == splat8(std::uint32_t(fixed[i + u]));
    }
    if (any_lane(hit & valid)) return false;
  }

  // Blocks are disjoint and each is read whole before it is written, so the
  // columns can be rewritten in place.
  for (std::ptrdiff_t b = 0, j = first; b < blocks; ++b, j += step) {
    U8 p[3];
    const U8 key = moved(j, p);
    const M8 index = lanes + std::int32_t(j);
    const U8 valid = U8((index >= lo8) & (index < hi8));
    for (int r = 0; r < 3; ++r) {
      std::int32_t* column = x + r * stride + j;
      store8(column, (p[r] & valid) | (load8(column) & ~valid));
    }
    store8(keys + j, (key & valid) | (load8(keys + j) & ~valid));
  }
  if (!tail) {
    // The delivered walk is the moved one turned by g about the pivot.
    const LatticePoint pivot = act(frame, LatticePoint{x[s], x[stride + s], x[2 * stride + s]}) + w.offset;
    w.offset = pivot + act(g, w.offset - pivot);
    w.frame = compose(g, frame);
  }
  return true;
}

// The draws of PivotSampler::try_pivot, in its order.
[[gnu::always_inline]] inline void pairwise_run(PairwiseWalk& w, std::uint64_t count, Rng& rng, Poll& poll,
                                                std::span<const SignedPermutation> codes) {
  for (std::uint64_t i = 0; i < count; ++i) {
    poll();
    const auto site = std::size_t(rng.uniform(0, w.n - 1));
    const auto element = std::size_t(rng.uniform(0, codes.size()));
    pairwise_attempt(w, site, codes[element]);
  }
}

}  // namespace
}  // namespace tarvex::detail

TARVEX_KERNEL_END
