// SIMD kernels: the one way they are written, the vector types they use and the run-time choice of instruction set.
//
// A kernel is written once and compiled twice:
//
//  - Its body goes in a header `<topic>_kernel.hpp` (or, when only the AVX2
//    build needs it, straight into `<topic>_avx2.cpp`), with internal linkage,
//    against the vector types below. Where AVX2 changes more than the
//    instructions (lane masks, square roots), it takes a flavour:
//    simd::Portable, or simd::Avx2 in the AVX2 build.
//  - `<topic>.cpp` compiles the header as it is: the portable build.
//  - `<topic>_avx2.cpp` defines TARVEX_SIMD_AVX2 to 1 before any include; the
//    header brackets its body with TARVEX_KERNEL_BEGIN("avx2,...") and
//    TARVEX_KERNEL_END, which compile it for those features there, and the
//    file hands out its entry points through a function returning a pointer
//    to them: TARVEX_IF_AVX2(&entry_points), null where the build has no AVX2
//    (TARVEX_HAVE_AVX2 unset).
//  - The caller picks once, in a function-local static:
//        static const K kernel = simd::choose(portable, avx2_entry_points());
//    choose() consults cpu_has_avx2(), the only processor check of the code.
//
// Internal linkage keeps the two builds apart: neither file's copy of an
// inline function can replace the other's at link time.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

// x86-64 under GCC or clang: kernels for AVX2 are compiled beside the portable
// ones and chosen at run time.
#if defined(__x86_64__) && defined(__GNUC__)
#define TARVEX_HAVE_AVX2 1
#endif

#if !TARVEX_HAVE_AVX2 && TARVEX_SIMD_AVX2
#undef TARVEX_SIMD_AVX2  // no such instruction set here: the AVX2 files build no kernel of their own
#endif

#if TARVEX_SIMD_AVX2
#include <immintrin.h>
#endif

#define TARVEX_PRAGMA(text) _Pragma(#text)

// TARVEX_TARGET_BEGIN("avx2,fma") ... TARVEX_TARGET_END compiles every function
// declared in between for those features; GCC and clang spell it differently.
// Each kernel names the features it needs and no more: with "fma" the
// compiler contracts a * b + c, which changes results in the last bit.
#if defined(__clang__)
#define TARVEX_TARGET_BEGIN(features) \
  TARVEX_PRAGMA(clang attribute push(__attribute__((target(features))), apply_to = function))
#define TARVEX_TARGET_END TARVEX_PRAGMA(clang attribute pop)
#else
#define TARVEX_TARGET_BEGIN(features) TARVEX_PRAGMA(GCC push_options) TARVEX_PRAGMA(GCC target(features))
#define TARVEX_TARGET_END TARVEX_PRAGMA(GCC pop_options)
#endif

// A kernel header's body between TARVEX_KERNEL_BEGIN("avx2,...") and
// TARVEX_KERNEL_END is compiled for those features in the AVX2 build and as
// it is in the portable one; TARVEX_IF_AVX2(x) is x in the AVX2 build and
// null otherwise.
#if TARVEX_SIMD_AVX2
#define TARVEX_KERNEL_BEGIN(features) TARVEX_TARGET_BEGIN(features)
#define TARVEX_KERNEL_END TARVEX_TARGET_END
#define TARVEX_IF_AVX2(x) (x)
#else
#define TARVEX_KERNEL_BEGIN(features)
#define TARVEX_KERNEL_END
#define TARVEX_IF_AVX2(x) nullptr
#endif

// GCC notes that 32-byte vectors passed by value change the ABI on machines
// without AVX. No kernel function taking them has external linkage, so no
// other code depends on that ABI; the note is silenced for every file that
// includes this one.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace tarvex::simd {

// Whether this processor (and its operating system) runs AVX2 together with
// FMA and POPCNT, as every AVX2 processor does; asked of the processor once.
// False in a build without AVX2 kernels.
bool cpu_has_avx2() noexcept;

// The kernel to run: the AVX2 build's, when there is one (`avx2` not null)
// and the processor runs it; otherwise the portable one.
template <class Kernel>
Kernel choose(const Kernel& portable, const Kernel* avx2) {
  return avx2 != nullptr && cpu_has_avx2() ? *avx2 : portable;
}

namespace {

// GCC vector types: the arithmetic operators work lane by lane on every
// target, and in code compiled for AVX2 each operation is one 256-bit
// instruction (a * b + c contracting to a fused multiply-add where FMA is
// among the features). Without AVX2 each is two SSE2 operations.
using V4 = double __attribute__((vector_size(32)));
using M4 = std::int64_t __attribute__((vector_size(32)));  // comparisons: all ones or zero per lane
using V2 = double __attribute__((vector_size(16)));
// Eight 32-bit lanes: wrapping arithmetic, and comparisons giving all-ones or zero lanes.
using U8 = std::uint32_t __attribute__((vector_size(32)));
using M8 = std::int32_t __attribute__((vector_size(32)));

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
TARVEX_TARGET_BEGIN("avx2,fma")
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
TARVEX_TARGET_END
#endif

}  // namespace
}  // namespace tarvex::simd
