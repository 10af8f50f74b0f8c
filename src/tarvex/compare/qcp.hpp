// Largest eigenvalue of the key matrix of cross-covariances, four pairs per vector: polynomial, Newton, error bound.
#pragma once

#include <cstdint>
#include <limits>

#include "tarvex/simd_ops.hpp"

namespace tarvex::qcp {

// Internal linkage, as in simd_ops.hpp.
namespace {

using simd::M4;
using simd::V4;

inline constexpr double kEps = std::numeric_limits<double>::epsilon();

// The characteristic polynomial x^4 + c2 x^2 + c1 x + c0 of the symmetric,
// traceless 4x4 key matrix of a cross-covariance h (quaternion form of the
// superposition); its largest root is the best trace(R h^T) over proper
// rotations R. frob2 = |h|^2.
struct KeyPolynomial {
  V4 c2, c1, c0, frob2;
};

// h[3 r + c] = sum over points of a[r] b[c].
[[gnu::always_inline]] inline KeyPolynomial key_polynomial(const V4 (&h)[9]) {
  const V4 sxx = h[0], sxy = h[1], sxz = h[2];
  const V4 syx = h[3], syy = h[4], syz = h[5];
  const V4 szx = h[6], szy = h[7], szz = h[8];

  const V4 m00 = sxx + syy + szz, m01 = syz - szy, m02 = szx - sxz, m03 = sxy - syx;
  const V4 m11 = sxx - syy - szz, m12 = sxy + syx, m13 = szx + sxz;
  const V4 m22 = -sxx + syy - szz, m23 = syz + szy;
  const V4 m33 = -sxx - syy + szz;

  V4 frob2 = sxx * sxx;
  for (int k = 1; k < 9; ++k) frob2 += h[k] * h[k];
  // det of the key matrix by 2x2 minors of rows (0, 1) and rows (2, 3).
  const V4 s0 = m00 * m11 - m01 * m01;
  const V4 s1 = m00 * m12 - m01 * m02;
  const V4 s2 = m00 * m13 - m01 * m03;
  const V4 s3 = m01 * m12 - m11 * m02;
  const V4 s4 = m01 * m13 - m11 * m03;
  const V4 s5 = m02 * m13 - m12 * m03;
  const V4 k5 = m22 * m33 - m23 * m23;
  const V4 k4 = m12 * m33 - m13 * m23;
  const V4 k3 = m12 * m23 - m13 * m22;
  const V4 k2 = m02 * m33 - m03 * m23;
  const V4 k1 = m02 * m23 - m03 * m22;
  const V4 k0 = m02 * m13 - m03 * m12;
  const V4 c0 = s0 * k5 - s1 * k4 + s2 * k3 + s3 * k2 - s4 * k1 + s5 * k0;
  const V4 det = sxx * (syy * szz - syz * szy) - sxy * (syx * szz - syz * szx) + sxz * (syx * szy - syy * szx);
  return {-2 * frob2, -8 * det, c0, frob2};
}

// The root is at most the nuclear norm of h, so at most sqrt(3) |h|, and at
// most sqrt(|a|^2 |b|^2): the smaller of the squares of the two bounds.
template <class Ops>
[[gnu::always_inline]] inline V4 squared_upper_bound(const KeyPolynomial& p, const V4& norms_product) {
  return Ops::min(norms_product, 3 * p.frob2);
}

// One step of Laguerre's method from x above the largest root. For a
// polynomial whose roots are all real (the key matrix is symmetric) it stays
// above that root and converges to it cubically, from far away too, where
// Newton only gains a quarter of the distance per step.
template <class Ops>
[[gnu::always_inline]] inline V4 laguerre_step(const KeyPolynomial& p, const V4& x) {
  const V4 x2 = x * x;
  const V4 value = ((x2 + p.c2) * x + p.c1) * x + p.c0;
  const V4 slope = (4 * x2 + 2 * p.c2) * x + p.c1;
  const V4 curvature = 12 * x2 + 2 * p.c2;
  // 3 (3 P'^2 - 4 P P'') >= 0 for real roots; only rounding can make it negative.
  const V4 discriminant = simd::abs(3 * (3 * slope * slope - 4 * value * curvature));
  return x - 4 * value / (slope + Ops::sqrt(discriminant));
}

// Two Laguerre steps, then Newton's method on the 4 * count polynomials side
// by side, each x[j] starting above its largest root. Above that root (which is >= 0) the polynomial and
// its first three derivatives are positive, so Newton descends monotonically
// and a step leaves an error of at most 2 P''(x) step^2 / P'(x): once that is
// negligible the lane stops, without a last step to confirm it. tail[j] gets
// that last 2 P''(x) step^2, the part of the error bound that belongs to the
// iteration. All advance in lock-step because one Newton step is a chain of
// dependent operations: side by side they overlap. A stopped lane keeps its
// value while the rest of its vector goes on, so that a pair's result never
// depends on its neighbours (and is the same lane by lane or by vectors). A lane whose slope vanishes (no
// structure to rotate) or is NaN becomes NaN, which the error bound rejects,
// and so does a repeated root that makes the cap matter.
template <class Ops, int kMax>
[[gnu::always_inline]] inline void descend(int count, const KeyPolynomial* p, V4* x, V4* tail) {
  static_assert(kMax * 4 <= 32);
  for (int j = 0; j < count; ++j) x[j] = laguerre_step<Ops>(p[j], laguerre_step<Ops>(p[j], x[j]));
  std::uint32_t active = (std::uint64_t{1} << (4 * count)) - 1;  // bit 4 j + l: lane l of vector j
  if constexpr (Ops::kLaneByLane) {
    for (int iter = 0; iter < 60 && active != 0; ++iter) {
      for (int k = 0; k < 4 * count; ++k) {
        if (!(active >> k & 1)) continue;
        const int j = k / 4, l = k % 4;
        const double c2 = p[j].c2[l], c1 = p[j].c1[l], c0 = p[j].c0[l];
        const double xj = x[j][l], x2 = xj * xj;
        const double value = ((x2 + c2) * xj + c1) * xj + c0;
        const double slope = (4 * x2 + 2 * c2) * xj + c1;
        const double step = value / slope;
        const double next = xj - step;
        const double left = 2 * (12 * x2 + 2 * c2) * step * step;
        x[j][l] = next;
        tail[j][l] = left;
        if (!(left > 1e-16 * next * slope)) active &= ~(std::uint32_t{1} << k);
      }
    }
  } else {
    // Every vector steps until all have stopped: skipping the finished ones
    // would cost a mispredicted branch each time one finishes.
    M4 going[kMax];
    for (int j = 0; j < count; ++j) going[j] = M4{} == 0;
    for (int iter = 0; iter < 60 && active != 0; ++iter) {
      active = 0;
      for (int j = 0; j < count; ++j) {
        const V4 xj = x[j], x2 = xj * xj;
        const V4 value = ((x2 + p[j].c2) * xj + p[j].c1) * xj + p[j].c0;
        const V4 slope = (4 * x2 + 2 * p[j].c2) * xj + p[j].c1;
        const V4 step = value / slope;
        const V4 next = xj - step;
        const V4 left = 2 * (12 * x2 + 2 * p[j].c2) * step * step;
        x[j] = going[j] ? next : xj;
        tail[j] = going[j] ? left : tail[j];
        going[j] &= left > 1e-16 * next * slope;
        active |= Ops::lanes(going[j]);
      }
    }
  }
}

// The error bound of a root x from descend, as a numerator over P'(x): the
// rounding in the coefficients and in evaluating the polynomial plus the
// iteration's tail. Divided by the slope it bounds |x - root|; it is large
// when the top eigenvalue is nearly repeated, i.e. exactly when the root is
// ill-conditioned. (The tail was measured against the slope one step
// earlier, which is larger, so dividing it by the final slope only loosens
// the bound.)
struct RootError {
  V4 numerator, slope;
};

[[gnu::always_inline]] inline RootError root_error(const KeyPolynomial& p, const V4& x, const V4& tail) {
  const V4 x2 = x * x;
  const V4 slope = (4 * x2 + 2 * p.c2) * x + p.c1;
  const V4 rounding = 64 * kEps * (x2 * x2 + simd::abs(p.c2) * x2 + simd::abs(p.c1 * x) + p.frob2 * p.frob2);
  return {rounding + tail, slope};
}

}  // namespace
}  // namespace tarvex::qcp
