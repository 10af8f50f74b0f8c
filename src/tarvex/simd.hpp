// SIMD kernels: the one way they are written, the vector types they use and the run-time choice of instruction set.
//
// A kernel is written once and compiled twice:
//
//  - Its body goes in a header `<topic>_kernel.hpp` (or, when only the AVX2
//    build needs it, straight into `<topic>_avx2.cpp`), with internal linkage,
//    against the vector types below and the operations of simd_ops.hpp,
//    which it includes inside its region (below). Where AVX2 changes more
//    than the instructions (lane masks, square roots), it takes a flavour:
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

// What simd_ops.hpp needs, included here, outside any region.
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
// among the features). Without AVX2 each is two SSE2 operations. GCC lowers
// them to the instructions of the function they are written in before any
// inlining, hence every function that computes on them, helpers included,
// belongs inside the kernel's region.
using V4 = double __attribute__((vector_size(32)));
using M4 = std::int64_t __attribute__((vector_size(32)));  // comparisons: all ones or zero per lane
using V2 = double __attribute__((vector_size(16)));
// Eight 32-bit lanes: wrapping arithmetic, and comparisons giving all-ones or zero lanes.
using U8 = std::uint32_t __attribute__((vector_size(32)));
using M8 = std::int32_t __attribute__((vector_size(32)));

}  // namespace
}  // namespace tarvex::simd
