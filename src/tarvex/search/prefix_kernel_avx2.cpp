// The residuals of best superpositions compiled for processors with AVX2 and FMA.
#define TARVEX_SIMD_AVX2 1
#include "tarvex/search/prefix_kernel.hpp"

namespace tarvex::search::detail {

#if TARVEX_SIMD_AVX2
namespace {

[[gnu::target("avx2,fma")]] void residuals_avx2(const Mat3* h, const double* ga, const double* gb, std::size_t count,
                                                double* out) {
  residuals_by<simd::Avx2>(h, ga, gb, count, out);
}

constexpr ResidualsFunction kResidualsAvx2 = &residuals_avx2;

}  // namespace
#endif

const ResidualsFunction* residuals_avx2() { return TARVEX_IF_AVX2(&kResidualsAvx2); }

}  // namespace tarvex::search::detail
