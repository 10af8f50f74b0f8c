// The pairwise pivot kernel compiled for processors with AVX2, and the run-time check for them.
#define TARVEX_PAIRWISE_AVX2 1
#include "tarvex/walks/pivot_pairwise_kernel.hpp"

namespace tarvex::detail {

#ifdef TARVEX_HAVE_AVX2
namespace {

[[gnu::target("avx2")]] bool attempt_avx2(PairwiseWalk& w, std::size_t site, SignedPermutation g) {
  return pairwise_attempt(w, site, g);
}

[[gnu::target("avx2")]] void run_avx2(PairwiseWalk& w, std::uint64_t count, Rng& rng, Poll& poll,
                                      std::span<const SignedPermutation> codes) {
  pairwise_run(w, count, rng, poll, codes);
}

}  // namespace
#endif

PairwiseKernel avx2_pairwise_kernel_if_supported() {
#ifdef TARVEX_HAVE_AVX2
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) return {&attempt_avx2, &run_avx2};
#endif
  return {nullptr, nullptr};
}

}  // namespace tarvex::detail
