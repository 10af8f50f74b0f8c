// The residuals of best superpositions from cross-covariances and norms, four pairs per vector.
//
// prefix_kernel.cpp compiles it for any machine, prefix_kernel_avx2.cpp for
// AVX2/FMA, in the way simd.hpp describes.
#pragma once

#include <algorithm>
#include <cstddef>
#include <limits>

#include "tarvex/compare/linalg.hpp"
#include "tarvex/simd.hpp"

namespace tarvex::search::detail {

// out[k] = ga[k] + gb[k] - 2 lambda_k, lambda_k the largest root of the key
// polynomial of h[k]: the residual of the best proper superposition of two
// centred structures with cross-covariance h[k] and squared norms ga[k],
// gb[k]. Where the root cannot be trusted to 1e-8 of the residual (a side
// without extent, a nearly repeated top eigenvalue) the value is NaN and the
// caller computes it otherwise.
using ResidualsFunction = void (*)(const Mat3* h, const double* ga, const double* gb, std::size_t count, double* out);
void residuals_portable(const Mat3* h, const double* ga, const double* gb, std::size_t count, double* out);
// The AVX2/FMA build; null when the build has none.
const ResidualsFunction* residuals_avx2();

}  // namespace tarvex::search::detail

TARVEX_KERNEL_BEGIN("avx2,fma")

#include "tarvex/compare/qcp.hpp"

namespace tarvex::search::detail {
namespace {

// The largest relative error of a residual taken from the root. Looser than
// the RMSD kernel's (which reports values): the search only ranks and cuts,
// and its cuts keep a margin; the rest is computed from singular values.
inline constexpr double kTrust = 1e-8;

template <class Ops>
[[gnu::always_inline]] inline void residuals_by(const Mat3* h, const double* ga, const double* gb, std::size_t count,
                                                double* out) {
  using simd::V4;
  // Vectors of pairs whose root finding overlaps.
  constexpr int kPass = 8;
  for (std::size_t first = 0; first < count; first += std::size_t{4} * kPass) {
    const std::size_t here = std::min<std::size_t>(std::size_t{4} * kPass, count - first);
    const int vectors = int((here + 3) / 4);
    qcp::KeyPolynomial p[kPass];
    V4 x[kPass], tail[kPass], g[kPass];
    for (int j = 0; j < vectors; ++j) {
      V4 hv[9], a = simd::splat(0), b = simd::splat(0);
      for (V4& v : hv) v = simd::splat(0);
      for (std::size_t l = 0; l < 4; ++l) {
        const std::size_t k = first + 4 * std::size_t(j) + l;
        if (k >= first + here) break;
        for (int e = 0; e < 9; ++e) hv[e][l] = h[k][e / 3][e % 3];
        a[l] = ga[k];
        b[l] = gb[k];
      }
      p[j] = qcp::key_polynomial(hv);
      g[j] = a + b;
      x[j] = Ops::sqrt(qcp::squared_upper_bound<Ops>(p[j], a * b)) * (1 + 4 * qcp::kEps);
    }
    qcp::descend<Ops, kPass>(vectors, p, x, tail);
    for (int j = 0; j < vectors; ++j) {
      // The root's error bound against the residual, as the RMSD kernel
      // judges it: an untrusted lane (short, nearly collinear prefixes,
      // whose top eigenvalue is nearly repeated) is left to the caller.
      const qcp::RootError error = qcp::root_error(p[j], x[j], tail[j]);
      const V4 s = g[j] - 2 * x[j];
      const V4 bound = 2 * error.numerator + 4 * qcp::kEps * g[j] * error.slope;
      const unsigned trusted = Ops::lanes_at_most(bound, kTrust * s * error.slope) &
                               Ops::lanes_at_most(-error.slope, simd::splat(-std::numeric_limits<double>::min()));
      for (std::size_t l = 0; l < 4; ++l) {
        const std::size_t k = first + 4 * std::size_t(j) + l;
        if (k >= first + here) break;
        out[k] = trusted >> l & 1 ? s[l] : std::numeric_limits<double>::quiet_NaN();
      }
    }
  }
}

}  // namespace
}  // namespace tarvex::search::detail

TARVEX_KERNEL_END
