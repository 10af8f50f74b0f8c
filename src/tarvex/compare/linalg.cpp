// Fixed-size 3x3 linear algebra for superposition: symmetric eigen-decomposition, SVD, key-matrix root.
#include "tarvex/compare/linalg.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace tarvex {

namespace {

constexpr double kEps = std::numeric_limits<double>::epsilon();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Far more than the handful of sweeps Jacobi needs on a 3x3 matrix (the
// convergence is quadratic); only there so that no input can loop forever.
constexpr int kMaxSweeps = 64;

}  // namespace

double det3(const Mat3& m) {
  return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
         m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
         m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
}

Mat3 transpose3(const Mat3& m) {
  Mat3 t{};
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) t[c][r] = m[r][c];
  return t;
}

Mat3 multiply3(const Mat3& a, const Mat3& b) {
  Mat3 p{};
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) p[r][c] = a[r][0] * b[0][c] + a[r][1] * b[1][c] + a[r][2] * b[2][c];
  return p;
}

SymmetricEigen3 symmetric_eigen3(const Mat3& k) {
  SymmetricEigen3 out{{0, 0, 0}, identity3()};
  double a[3][3];
  double scale = 0;
  for (int r = 0; r < 3; ++r) {
    for (int c = r; c < 3; ++c) {
      if (!std::isfinite(k[r][c])) {
        out.values = {kNaN, kNaN, kNaN};
        return out;
      }
      a[r][c] = a[c][r] = k[r][c];
      scale = std::max(scale, std::fabs(k[r][c]));
    }
  }
  if (scale == 0) return out;
  // Working on entries of magnitude <= 1 keeps the squares in the rotation
  // formulas clear of overflow and underflow.
  for (auto& row : a)
    for (double& x : row) x /= scale;

  Mat3& v = out.vectors;
  constexpr int kPairs[3][2] = {{0, 1}, {0, 2}, {1, 2}};
  for (int sweep = 0; sweep < kMaxSweeps; ++sweep) {
    bool rotated = false;
    for (const auto& pair : kPairs) {
      const int p = pair[0], q = pair[1], r = 3 - p - q;
      const double apq = a[p][q];
      // Relative criterion: an off-diagonal entry below eps times the
      // geometric mean of its diagonal pair cannot change the eigenvalues
      // beyond rounding, not even the small ones.
      if (std::fabs(apq) <= kEps * std::sqrt(std::fabs(a[p][p] * a[q][q])) || apq == 0) {
        a[p][q] = a[q][p] = 0;
        continue;
      }
      rotated = true;
      const double theta = (a[q][q] - a[p][p]) / (2 * apq);
      double t;
      if (std::fabs(theta) > 1e150) {
        t = 0.5 / theta;
      } else {
        t = (theta >= 0 ? 1.0 : -1.0) / (std::fabs(theta) + std::sqrt(theta * theta + 1));
      }
      const double c = 1 / std::sqrt(t * t + 1);
      const double s = t * c;
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
      const double zeta = (beta - alpha) / (2 * gamma);
      const double t = std::fabs(zeta) > 1e150
                           ? 0.5 / zeta
                           : (zeta >= 0 ? 1.0 : -1.0) / (std::fabs(zeta) + std::sqrt(1 + zeta * zeta));
      const double c = 1 / std::sqrt(1 + t * t);
      const double s = c * t;
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

KeyPolynomial key_polynomial(const Mat3& h) {
  const double sxx = h[0][0], sxy = h[0][1], sxz = h[0][2];
  const double syx = h[1][0], syy = h[1][1], syz = h[1][2];
  const double szx = h[2][0], szy = h[2][1], szz = h[2][2];

  // The symmetric, traceless 4x4 key matrix whose top eigenvalue is the best
  // trace(R h^T) over rotations (quaternion form of the superposition).
  const double m[4][4] = {
      {sxx + syy + szz, syz - szy, szx - sxz, sxy - syx},
      {syz - szy, sxx - syy - szz, sxy + syx, szx + sxz},
      {szx - sxz, sxy + syx, -sxx + syy - szz, syz + szy},
      {sxy - syx, szx + sxz, syz + szy, -sxx - syy + szz},
  };

  double frob2 = 0;
  for (const auto& row : h)
    for (double x : row) frob2 += x * x;
  // det of the key matrix by 2x2 minors of rows (0, 1) and rows (2, 3).
  const double s0 = m[0][0] * m[1][1] - m[1][0] * m[0][1];
  const double s1 = m[0][0] * m[1][2] - m[1][0] * m[0][2];
  const double s2 = m[0][0] * m[1][3] - m[1][0] * m[0][3];
  const double s3 = m[0][1] * m[1][2] - m[1][1] * m[0][2];
  const double s4 = m[0][1] * m[1][3] - m[1][1] * m[0][3];
  const double s5 = m[0][2] * m[1][3] - m[1][2] * m[0][3];
  const double k5 = m[2][2] * m[3][3] - m[3][2] * m[2][3];
  const double k4 = m[2][1] * m[3][3] - m[3][1] * m[2][3];
  const double k3 = m[2][1] * m[3][2] - m[3][1] * m[2][2];
  const double k2 = m[2][0] * m[3][3] - m[3][0] * m[2][3];
  const double k1 = m[2][0] * m[3][2] - m[3][0] * m[2][2];
  const double k0 = m[2][0] * m[3][1] - m[3][0] * m[2][1];
  const double c0 = s0 * k5 - s1 * k4 + s2 * k3 + s3 * k2 - s4 * k1 + s5 * k0;
  return {-2 * frob2, -8 * det3(h), c0, frob2};
}

void key_polynomial_max_roots(std::span<const KeyPolynomial> polys, std::span<const double> upper,
                              std::span<KeyMatrixRoot> out) {
  constexpr std::size_t kBatch = 64;
  for (std::size_t first = 0; first < polys.size(); first += kBatch) {
    const std::size_t count = std::min(kBatch, polys.size() - first);
    double c2[kBatch], c1[kBatch], c0[kBatch], x[kBatch], active[kBatch];
    double tail[kBatch], tail_slope[kBatch];  // error left by the last step, times the slope there
    for (std::size_t j = 0; j < count; ++j) {
      const KeyPolynomial& p = polys[first + j];
      c2[j] = p.c2;
      c1[j] = p.c1;
      c0[j] = p.c0;
      // The nuclear norm of h bounds the root too, and is often the tighter bound.
      x[j] = std::min(upper[first + j], std::sqrt(3 * p.frob2)) * (1 + 4 * kEps);
      tail[j] = 0;
      tail_slope[j] = 1;
      active[j] = 1;
    }
    // Above the largest root (which is >= 0) the polynomial and its first
    // three derivatives are positive, so Newton descends monotonically and a
    // step from x leaves an error of at most 2 P''(x) step^2 / P'(x): once that
    // is negligible the iteration stops, without a last step to confirm it.
    // The polynomials advance in lock-step because one Newton step is a chain
    // of dependent operations: side by side they overlap. The cap only matters
    // for NaN or a repeated root, which the error bound below rejects anyway.
    for (int iter = 0; iter < 60; ++iter) {
      bool any = false;
      for (std::size_t j = 0; j < count; ++j) {
        const double x2 = x[j] * x[j];
        const double value = ((x2 + c2[j]) * x[j] + c1[j]) * x[j] + c0[j];
        const double slope = (4 * x2 + 2 * c2[j]) * x[j] + c1[j];
        const double step = value / slope;
        // Selects rather than arithmetic masks: step is inf or NaN when the
        // slope vanishes, and must not touch x then.
        const bool go = active[j] != 0 && slope > 0;
        const double next = go ? x[j] - step : x[j];
        const double left = 2 * (12 * x2 + 2 * c2[j]) * step * step;
        tail[j] = go ? left : tail[j];
        tail_slope[j] = go ? slope : tail_slope[j];
        active[j] = go && left > 1e-16 * std::fabs(next) * slope ? 1.0 : 0.0;
        x[j] = next;
        any |= active[j] != 0;
      }
      if (!any) break;
    }
    for (std::size_t j = 0; j < count; ++j) {
      const KeyPolynomial& p = polys[first + j];
      const double x2 = x[j] * x[j];
      const double slope = (4 * x2 + 2 * p.c2) * x[j] + p.c1;
      // Rounding in the coefficients and in evaluating the polynomial, divided
      // by its slope at the root: large when the top eigenvalue is nearly
      // repeated, i.e. exactly when the root is ill-conditioned.
      const double p_error =
          64 * kEps * (x2 * x2 + std::fabs(p.c2) * x2 + std::fabs(p.c1 * x[j]) + p.frob2 * p.frob2);
      out[first + j] = {x[j], slope > 0 ? p_error / slope + tail[j] / tail_slope[j]
                                        : std::numeric_limits<double>::infinity()};
    }
  }
}

KeyMatrixRoot key_matrix_max_eigenvalue(const Mat3& h, double upper) {
  const KeyPolynomial p = key_polynomial(h);
  KeyMatrixRoot root;
  key_polynomial_max_roots({&p, 1}, {&upper, 1}, {&root, 1});
  return root;
}

}  // namespace tarvex
