// The operations on simd.hpp's vector types that the kernels share, and the flavours of the double kernels.
//
// Included inside a kernel's TARVEX_KERNEL_BEGIN region (simd.hpp), so that
// each build compiles them for its own instruction set.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "tarvex/simd.hpp"

namespace tarvex::simd {
namespace {

template <class V = V4>
[[gnu::always_inline]] inline V splat(double x) {
  if constexpr (sizeof(V) == sizeof(V4)) {
    return V{x, x, x, x};
  } else {
    return V{x, x};
  }
}

template <class V = V4>
[[gnu::always_inline]] inline V load(const double* p) {
  V v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

[[gnu::always_inline]] inline void store(double* p, const V4& v) { std::memcpy(p, &v, sizeof v); }

// Clearing the sign bits: no comparison, which plain SSE2 would do lane by lane.
[[gnu::always_inline]] inline V4 abs(const V4& v) {
  constexpr std::int64_t kMagnitude = 0x7fffffffffffffff;
  return V4(M4(v) & kMagnitude);
}

[[gnu::always_inline]] inline U8 load8(const std::int32_t* p) {
  U8 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

[[gnu::always_inline]] inline void store8(std::int32_t* p, U8 v) { std::memcpy(p, &v, sizeof v); }

// Eight copies of k: signed lanes (M8) for a signed k, unsigned ones (U8) otherwise.
template <class T>
[[gnu::always_inline]] inline auto splat8(T k) {
  if constexpr (std::numeric_limits<T>::is_signed) {
    return M8{k, k, k, k, k, k, k, k};
  } else {
    return U8{k, k, k, k, k, k, k, k};
  }
}

// Flavours of the four-lane double kernels. Whatever the machine: the
// lane-wise comparisons and selections go through scalar code (GCC would split
// a 256-bit comparison into scalar ones on plain SSE2 anyway, and pass the
// masks through memory), so the root finding runs lane by lane: kLaneByLane.
// Sums of products go two lanes at a time (kSumLanes), which keeps the nine
// accumulators of a cross-covariance in the sixteen SSE registers.
struct Portable {
  static constexpr bool kLaneByLane = true;
  static constexpr int kSumLanes = 2;
  [[gnu::always_inline]] static V4 sqrt(const V4& v) { return V4{root(v[0]), root(v[1]), root(v[2]), root(v[3])}; }
  // The square root without the library call that sets errno for NaN and
  // negative arguments (padding lanes are NaN).
  [[gnu::always_inline]] static double root(double x) {
    return x >= 0 ? std::sqrt(x) : std::numeric_limits<double>::quiet_NaN();
  }
  [[gnu::always_inline]] static V4 min(const V4& a, const V4& b) {
    return V4{a[0] < b[0] ? a[0] : b[0], a[1] < b[1] ? a[1] : b[1], a[2] < b[2] ? a[2] : b[2],
              a[3] < b[3] ? a[3] : b[3]};
  }
  // Bit l set where a[l] <= b[l] (never for NaN).
  [[gnu::always_inline]] static unsigned lanes_at_most(const V4& a, const V4& b) {
    return unsigned(a[0] <= b[0]) | unsigned(a[1] <= b[1]) << 1 | unsigned(a[2] <= b[2]) << 2 |
           unsigned(a[3] <= b[3]) << 3;
  }
};

#if TARVEX_SIMD_AVX2
// Only in the AVX2 build: one instruction each, and the root finding a
// vector at a time.
struct Avx2 {
  static constexpr bool kLaneByLane = false;
  static constexpr int kSumLanes = 4;
  [[gnu::always_inline]] static V4 sqrt(const V4& v) { return _mm256_sqrt_pd(v); }
  [[gnu::always_inline]] static V4 min(const V4& a, const V4& b) { return _mm256_min_pd(a, b); }
  [[gnu::always_inline]] static unsigned lanes_at_most(const V4& a, const V4& b) {
    return unsigned(_mm256_movemask_pd(_mm256_cmp_pd(a, b, _CMP_LE_OQ)));
  }
  [[gnu::always_inline]] static unsigned lanes(const M4& m) {
    return unsigned(_mm256_movemask_pd(_mm256_castsi256_pd(__m256i(m))));
  }
};
#endif

}  // namespace
}  // namespace tarvex::simd
