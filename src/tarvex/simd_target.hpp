// Whether this build can hold AVX2 code, and the marks that compile a region of code for it.
#pragma once

// x86-64 under GCC or clang: kernels for AVX2 are compiled beside the portable
// ones and chosen at run time.
#if defined(__x86_64__) && defined(__GNUC__)
#define TARVEX_HAVE_AVX2 1
#endif

#define TARVEX_PRAGMA(text) _Pragma(#text)

// TARVEX_TARGET_BEGIN("avx2,fma") ... TARVEX_TARGET_END compiles every function
// declared in between for those features; GCC and clang spell it differently.
#if defined(__clang__)
#define TARVEX_TARGET_BEGIN(features) \
  TARVEX_PRAGMA(clang attribute push(__attribute__((target(features))), apply_to = function))
#define TARVEX_TARGET_END TARVEX_PRAGMA(clang attribute pop)
#else
#define TARVEX_TARGET_BEGIN(features) TARVEX_PRAGMA(GCC push_options) TARVEX_PRAGMA(GCC target(features))
#define TARVEX_TARGET_END TARVEX_PRAGMA(GCC pop_options)
#endif
