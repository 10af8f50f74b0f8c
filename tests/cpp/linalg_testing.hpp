// 3x3 helpers only the tests need: products, a symmetric eigen-decomposition and the scalar key-matrix root.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "tarvex/compare/linalg.hpp"
#include "tarvex/compare/qcp.hpp"

namespace tarvex::testing {

inline Mat3 transpose3(const Mat3& m) {
  Mat3 t{};
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) t[c][r] = m[r][c];
  return t;
}

inline Mat3 multiply3(const Mat3& a, const Mat3& b) {
  Mat3 p{};
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) p[r][c] = a[r][0] * b[0][c] + a[r][1] * b[1][c] + a[r][2] * b[2][c];
  return p;
}

struct SymmetricEigen3 {
  std::array<double, 3> values;  // not sorted
  Mat3 vectors;                  // column k belongs to values[k]; orthogonal
};

// Cyclic two-sided Jacobi rotations on a symmetric matrix (only the upper
// triangle is read). Non-finite input gives NaN values and identity vectors;
// the number of sweeps is bounded so no input can keep it going.
inline SymmetricEigen3 symmetric_eigen3(const Mat3& k) {
  constexpr double kEps = std::numeric_limits<double>::epsilon();
  SymmetricEigen3 out{{0, 0, 0}, identity3()};
  double a[3][3];
  double scale = 0;
  for (int r = 0; r < 3; ++r) {
    for (int c = r; c < 3; ++c) {
      if (!std::isfinite(k[r][c])) {
        out.values.fill(std::numeric_limits<double>::quiet_NaN());
        return out;
      }
      a[r][c] = a[c][r] = k[r][c];
      scale = std::max(scale, std::fabs(k[r][c]));
    }
  }
  if (scale == 0) return out;
  // Entries of magnitude <= 1 keep the squares clear of overflow and underflow.
  for (auto& row : a)
    for (double& x : row) x /= scale;

  Mat3& v = out.vectors;
  constexpr int kPairs[3][2] = {{0, 1}, {0, 2}, {1, 2}};
  for (int sweep = 0; sweep < 64; ++sweep) {
    bool rotated = false;
    for (const auto& pair : kPairs) {
      const int p = pair[0], q = pair[1], r = 3 - p - q;
      const double apq = a[p][q];
      if (std::fabs(apq) <= kEps * std::sqrt(std::fabs(a[p][p] * a[q][q])) || apq == 0) {
        a[p][q] = a[q][p] = 0;
        continue;
      }
      rotated = true;
      const auto [c, s, t] = jacobi_rotation((a[q][q] - a[p][p]) / (2 * apq));
      a[p][p] -= t * apq;
      a[q][q] += t * apq;
      a[p][q] = a[q][p] = 0;
      const double arp = a[r][p], arq = a[r][q];
      a[r][p] = a[p][r] = c * arp - s * arq;
      a[r][q] = a[q][r] = s * arp + c * arq;
      for (int i = 0; i < 3; ++i) {
        const double vip = v[i][p], viq = v[i][q];
        v[i][p] = c * vip - s * viq;
        v[i][q] = s * vip + c * viq;
      }
    }
    if (!rotated) break;
  }
  for (int i = 0; i < 3; ++i) out.values[i] = a[i][i] * scale;
  return out;
}

// The kernel's largest key-matrix root for one cross-covariance h, by the
// same code in one lane: the root from `upper` downward and its error bound
// (infinite when the slope at the root is not positive).
struct KeyMatrixRoot {
  double value;
  double error_bound;
};

inline KeyMatrixRoot key_matrix_max_eigenvalue(const Mat3& h, double upper) {
  simd::V4 lanes[9];
  for (int k = 0; k < 9; ++k) lanes[k] = simd::splat(h[k / 3][k % 3]);
  const qcp::KeyPolynomial p = qcp::key_polynomial(lanes);
  const double nuclear_bound = std::sqrt(qcp::squared_upper_bound<simd::Portable>(p, simd::splat(upper * upper))[0]);
  simd::V4 x = simd::splat(nuclear_bound * (1 + 4 * qcp::kEps)), tail;
  qcp::descend<simd::Portable, 1>(1, &p, &x, &tail);
  const qcp::RootError e = qcp::root_error(p, x, tail);
  return {x[0], e.slope[0] > 0 ? e.numerator[0] / e.slope[0] : std::numeric_limits<double>::infinity()};
}

}  // namespace tarvex::testing
