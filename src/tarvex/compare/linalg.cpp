// Fixed-size 3x3 linear algebra for superposition: determinant, Jacobi rotation, singular value decomposition.
#include "tarvex/compare/linalg.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace tarvex {

namespace {

constexpr double kEps = std::numeric_limits<double>::epsilon();

// Far more than the handful of sweeps Jacobi needs on a 3x3 matrix (the
// convergence is quadratic); only there so that no input can loop forever.
constexpr int kMaxSweeps = 64;

}  // namespace

double det3(const Mat3& m) {
  return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) - m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
         m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
}

JacobiRotation jacobi_rotation(double zeta) {
  // Past 1e150 zeta squared would overflow; t is then 1 / (2 zeta) to full precision.
  const double t =
      std::fabs(zeta) > 1e150 ? 0.5 / zeta : (zeta >= 0 ? 1.0 : -1.0) / (std::fabs(zeta) + std::sqrt(1 + zeta * zeta));
  const double c = 1 / std::sqrt(1 + t * t);
  return {c, c * t, t};
}

Svd3 svd3(const Mat3& unscaled) {
  // Dividing by the largest entry keeps transpose(h) * h representable for
  // any finite h; the singular values are scaled back at the end.
  double scale = 0;
  for (const auto& row : unscaled)
    for (double x : row) scale = std::max(scale, std::fabs(x));
  if (!(scale > 0) || !std::isfinite(scale)) scale = 1;
  Mat3 h = unscaled;
  for (auto& row : h)
    for (double& x : row) x /= scale;

  // One-sided Jacobi: rotate pairs of columns of W = h V until they are
  // orthogonal. Unlike diagonalising transpose(h) * h, this never squares the
  // condition number, so the directions of small singular values (nearly
  // collinear or planar structures) come out as accurately as the large ones.
  Mat3 v = identity3();
  Mat3 w = h;
  constexpr int kPairs[3][2] = {{0, 1}, {0, 2}, {1, 2}};
  for (int sweep = 0; sweep < kMaxSweeps; ++sweep) {
    bool rotated = false;
    for (const auto& pair : kPairs) {
      const int p = pair[0], q = pair[1];
      double alpha = 0, beta = 0, gamma = 0;
      for (int r = 0; r < 3; ++r) {
        alpha += w[r][p] * w[r][p];
        beta += w[r][q] * w[r][q];
        gamma += w[r][p] * w[r][q];
      }
      if (!(std::fabs(gamma) > kEps * std::sqrt(alpha * beta))) continue;
      rotated = true;
      const auto [c, s, t] = jacobi_rotation((beta - alpha) / (2 * gamma));
      for (int r = 0; r < 3; ++r) {
        const double wp = w[r][p], wq = w[r][q];
        w[r][p] = c * wp - s * wq;
        w[r][q] = s * wp + c * wq;
        const double vp = v[r][p], vq = v[r][q];
        v[r][p] = c * vp - s * vq;
        v[r][q] = s * vp + c * vq;
      }
    }
    if (!rotated) break;
  }

  std::array<double, 3> rho{};
  for (int k = 0; k < 3; ++k) rho[k] = w[0][k] * w[0][k] + w[1][k] * w[1][k] + w[2][k] * w[2][k];
  // Three compare-and-swap steps sort by decreasing column norm. Swapping two
  // columns flips the determinant, so the column that moves down is negated
  // to keep V (and W) of the same handedness. NaN never triggers a swap.
  constexpr int kSteps[3][2] = {{0, 1}, {0, 2}, {1, 2}};
  for (const auto& step : kSteps) {
    const int i = step[0], j = step[1];
    if (rho[i] < rho[j]) {
      std::swap(rho[i], rho[j]);
      for (int r = 0; r < 3; ++r) {
        std::swap(w[r][i], w[r][j]);
        std::swap(v[r][i], v[r][j]);
        w[r][j] = -w[r][j];
        v[r][j] = -v[r][j];
      }
    }
  }

  // Householder QR of W: Q accumulates the reflections, w becomes R.
  Mat3 q = identity3();
  for (int k = 0; k < 2; ++k) {
    // A column of tiny entries would square to subnormals and blow 2 / |v|^2
    // up to infinity. The reflection does not depend on the length of v, so v
    // is built from the column scaled by the power of two that brings its
    // largest entry near 1, which rounds nothing.
    double largest = 0;
    for (int r = k; r < 3; ++r) largest = std::max(largest, std::fabs(w[r][k]));
    const int exponent = largest > 0 && std::isfinite(largest) ? -std::ilogb(largest) : 0;
    double x[3] = {0, 0, 0};
    double norm2 = 0;
    for (int r = k; r < 3; ++r) {
      x[r] = std::scalbn(w[r][k], exponent);
      norm2 += x[r] * x[r];
    }
    if (!(norm2 > 0)) continue;
    const double norm = std::sqrt(norm2);
    // Reflect onto -sign(x_k) |x| e_k so that forming v never cancels.
    const double alpha = x[k] >= 0 ? -norm : norm;
    x[k] -= alpha;
    double vnorm2 = 0;
    for (int r = k; r < 3; ++r) vnorm2 += x[r] * x[r];
    if (!(vnorm2 > 0)) continue;
    const double f = 2 / vnorm2;
    for (int c = k; c < 3; ++c) {
      double dot = 0;
      for (int r = k; r < 3; ++r) dot += x[r] * w[r][c];
      for (int r = k; r < 3; ++r) w[r][c] -= f * dot * x[r];
    }
    for (int r = 0; r < 3; ++r) {
      double dot = 0;
      for (int c = k; c < 3; ++c) dot += q[r][c] * x[c];
      for (int c = k; c < 3; ++c) q[r][c] -= f * dot * x[c];
    }
  }

  Svd3 out;
  out.v = v;
  for (int k = 0; k < 3; ++k) {
    // U absorbs the sign of R's diagonal so that the singular values come out
    // non-negative and h = U diag(s) V^T holds.
    const double sign = w[k][k] < 0 ? -1.0 : 1.0;
    out.s[k] = std::fabs(w[k][k]) * scale;
    for (int r = 0; r < 3; ++r) out.u[r][k] = sign * q[r][k];
  }
  return out;
}

Mat3 proper_rotation(const Mat3& h) {
  const Svd3 svd = svd3(h);
  const double d = det3(svd.u) * det3(svd.v) < 0 ? -1.0 : 1.0;
  Mat3 r{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      r[i][j] = svd.u[i][0] * svd.v[j][0] + svd.u[i][1] * svd.v[j][1] + d * svd.u[i][2] * svd.v[j][2];
  return r;
}

}  // namespace tarvex
