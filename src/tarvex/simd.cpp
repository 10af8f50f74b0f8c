// The processor check behind every choice of SIMD kernel.
#include "tarvex/simd.hpp"

namespace tarvex::simd {

bool cpu_has_avx2() noexcept {
#if TARVEX_HAVE_AVX2
  static const bool yes = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") && __builtin_cpu_supports("popcnt");
  }();
  return yes;
#else
  return false;
#endif
}

}  // namespace tarvex::simd
