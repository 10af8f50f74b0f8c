// The batched RMSD kernel compiled for processors with AVX2 and FMA, and the run-time check for them.
#define TARVEX_KERNEL_AVX2 1
#include "tarvex/compare/rmsd_kernel.hpp"

namespace tarvex::detail {

#ifdef TARVEX_HAVE_AVX2
namespace {

[[gnu::target("avx2,fma")]] void batch_avx2(const GroundTruth& gt, std::span<const Point> points,
                                            std::span<double> out) {
  BatchKernel<simd::Avx2>::compute(gt, points, out);
}

}  // namespace
#endif

BatchFunction avx2_batch_if_supported() {
#ifdef TARVEX_HAVE_AVX2
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return &batch_avx2;
#endif
  return nullptr;
}

}  // namespace tarvex::detail
