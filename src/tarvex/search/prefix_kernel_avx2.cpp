// The residuals of best superpositions compiled for processors with AVX2 and FMA, and the run-time check for them.
#define TARVEX_KERNEL_AVX2 1
#include "tarvex/search/prefix_kernel.hpp"

namespace tarvex::search::detail {

#ifdef TARVEX_HAVE_AVX2
namespace {

[[gnu::target("avx2,fma")]] void residuals_avx2(const Mat3* h, const double* ga, const double* gb, std::size_t count,
                                                double* out) {
  residuals_by<simd::Avx2>(h, ga, gb, count, out);
}

}  // namespace
#endif

ResidualsFunction residuals_avx2_if_supported() {
#ifdef TARVEX_HAVE_AVX2
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return &residuals_avx2;
#endif
  return nullptr;
}

}  // namespace tarvex::search::detail
