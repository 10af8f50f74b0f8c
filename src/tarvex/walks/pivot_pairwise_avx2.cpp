// The pairwise pivot kernel compiled for processors with AVX2.
#define TARVEX_SIMD_AVX2 1
#include "tarvex/walks/pivot_pairwise_kernel.hpp"

namespace tarvex::detail {

#if TARVEX_SIMD_AVX2
namespace {

[[gnu::target("avx2")]] bool attempt_avx2(PairwiseWalk& w, std::size_t site, SignedPermutation g) {
  return pairwise_attempt(w, site, g);
}

[[gnu::target("avx2")]] void run_avx2(PairwiseWalk& w, std::uint64_t count, Rng& rng, Poll& poll,
                                      std::span<const SignedPermutation> codes) {
  pairwise_run(w, count, rng, poll, codes);
}

constexpr PairwiseKernel kPairwiseAvx2{&attempt_avx2, &run_avx2};

}  // namespace
#endif

const PairwiseKernel* avx2_pairwise_kernel() { return TARVEX_IF_AVX2(&kPairwiseAvx2); }

}  // namespace tarvex::detail
