// The pairwise pivot chain: set-up, the portable kernel, the choice of kernel and the delivered walk.
#include "tarvex/walks/pivot_pairwise.hpp"

#include <algorithm>

#include "tarvex/fail.hpp"
#include "tarvex/walks/pivot_pairwise_kernel.hpp"

namespace tarvex {

namespace detail {

namespace {

bool attempt_portable(PairwiseWalk& w, std::size_t site, SignedPermutation g) { return pairwise_attempt(w, site, g); }

void run_portable(PairwiseWalk& w, std::uint64_t count, Rng& rng, Poll& poll,
                  std::span<const SignedPermutation> codes) {
  pairwise_run(w, count, rng, poll, codes);
}

}  // namespace

PairwiseKernel portable_pairwise_kernel() { return {&attempt_portable, &run_portable}; }

}  // namespace detail

namespace {

detail::PairwiseKernel kernel_for(PivotPairwise::Kernel kernel) {
  // Chosen on first use; afterwards one indirect call per sample.
  static const detail::PairwiseKernel best =
      simd::choose(detail::portable_pairwise_kernel(), detail::avx2_pairwise_kernel());
  return kernel == PivotPairwise::Kernel::portable ? detail::portable_pairwise_kernel() : best;
}

}  // namespace

PivotPairwise::PivotPairwise(std::span<const LatticePoint> walk, Kernel kernel) : kernel_(kernel_for(kernel)) {
  using W = detail::PairwiseWalk;
  if (walk.size() > kMaxPoints) fail("pairwise pivot chain for {} points, more than {}", walk.size(), kMaxPoints);
  walk_.n = walk.size();
  walk_.stride = (walk.size() + 7) / 8 * 8 + 2 * W::kPad;
  walk_.buffer.assign(W::kColumns * walk_.stride, 0);
  std::fill(walk_.column(W::kKey) - W::kPad, walk_.column(W::kKey) - W::kPad + walk_.stride, W::kNoKey);
  const auto n = std::int32_t(walk.size());
  for (std::int32_t site = 0; site + 1 < n; ++site) {
    // Moving the shorter side; the pivot itself never meets a moved point.
    const bool tail = n - 1 - site <= site;
    const std::int32_t lo = tail ? site + 1 : 0, hi = tail ? n : site;
    const std::int32_t fixed_lo = tail ? 0 : site + 1, fixed_hi = tail ? site : n;
    const std::int32_t groups = (fixed_hi - fixed_lo + 7) / 8;
    walk_.plans.push_back(
        {tail ? site + 1 : site - 8, lo, hi, tail ? fixed_hi - 8 * groups : fixed_lo, (hi - lo + 7) / 8, groups, tail});
  }
  for (std::size_t i = 0; i < walk.size(); ++i) {
    walk_.column(W::kX)[i] = walk[i].x;
    walk_.column(W::kY)[i] = walk[i].y;
    walk_.column(W::kZ)[i] = walk[i].z;
    walk_.column(W::kKey)[i] =
        std::int32_t(detail::key_of(std::uint32_t(walk[i].x), std::uint32_t(walk[i].y), std::uint32_t(walk[i].z)));
  }
}

void PivotPairwise::write(LatticeWalk& out) const {
  const detail::Action& a = detail::kActions[walk_.frame];
  const std::int32_t* x = walk_.column(a.axis[0]);
  const std::int32_t* y = walk_.column(a.axis[1]);
  const std::int32_t* z = walk_.column(a.axis[2]);
  const std::uint32_t nx = a.negate[0], ny = a.negate[1], nz = a.negate[2];
  const LatticePoint offset = walk_.offset;
  const std::size_t n = walk_.n;
  out.resize(n);
  LatticePoint* to = out.data();
  for (std::size_t i = 0; i < n; ++i) {
    to[i] =
        LatticePoint{detail::negate_if(x[i], nx), detail::negate_if(y[i], ny), detail::negate_if(z[i], nz)} + offset;
  }
}

}  // namespace tarvex
