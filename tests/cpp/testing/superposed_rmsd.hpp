// The RMSD of two structures after the best superposition, for tests to check the batched kernel against.
#pragma once

#include <cmath>
#include <cstddef>
#include <span>
#include <vector>

#include "tarvex/compare/rmsd_kernel.hpp"
#include "tarvex/fail.hpp"

namespace tarvex::testing {
namespace {

// Moves `mobile` onto `reference` by the best translation and proper rotation
// and returns the root-mean-square distance of corresponding points, by the
// explicit rotation of the kernel's rare path. Empty structures give NaN;
// non-finite coordinates give NaN.
inline double superposed_rmsd(std::span<const Point> reference, std::span<const Point> mobile) {
  const std::size_t n = reference.size();
  if (mobile.size() != n)
    fail("assertion failed: the conformation has {} points but the ground-truth model has {}", n, mobile.size());
  if (n == 0) return detail::kNaN;
  std::vector<double> a(3 * n), b(3 * n);
  const detail::Centred ca = detail::centre(reference.data(), n, a.data(), 3, 1);
  const detail::Centred cb = detail::centre(mobile.data(), n, b.data(), 3, 1);
  const detail::PairScale s = detail::pair_scale(ca.exponent, cb.exponent);
  return detail::canonical(std::scalbn(detail::exact_rmsd(n, a.data(), s.fa, b.data(), s.fb, 3, 1), s.exponent));
}

}  // namespace
}  // namespace tarvex::testing
