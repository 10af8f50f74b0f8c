// The batched RMSD kernel compiled for processors with AVX2 and FMA.
#define TARVEX_SIMD_AVX2 1
#include "tarvex/compare/rmsd_kernel.hpp"

namespace tarvex::detail {

#if TARVEX_SIMD_AVX2
namespace {

[[gnu::target("avx2,fma")]] void batch_avx2(const GroundTruth& gt, std::span<const Point> points,
                                            std::span<double> out) {
  BatchKernel<simd::Avx2>::compute(gt, points, out);
}

constexpr BatchFunction kBatchAvx2 = &batch_avx2;

}  // namespace
#endif

const BatchFunction* avx2_batch() { return TARVEX_IF_AVX2(&kBatchAvx2); }

}  // namespace tarvex::detail
