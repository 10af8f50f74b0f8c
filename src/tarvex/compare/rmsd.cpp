// RMSD after optimal proper superposition, against one structure or the ground-truth models.
#include "tarvex/compare/rmsd.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "tarvex/compare/linalg.hpp"
#include "tarvex/fail.hpp"

namespace tarvex {

namespace {

constexpr double kEps = std::numeric_limits<double>::epsilon();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The residual from the key-matrix root, S = |a|^2 + |b|^2 - 2 lambda, loses
// digits by cancellation when S is small against the norms, and lambda itself
// is ill-conditioned when the top eigenvalue is nearly repeated (collinear
// structures, some symmetric ones). It is used only when its estimated error
// is below this fraction of S (about 5e-12 relative on the RMSD); otherwise
// the rotation is computed and the residual summed point by point.
constexpr double kTrust = 1e-11;

// Conformations up to this many points are centred into a stack buffer.
constexpr std::size_t kStackPoints = 256;

[[noreturn]] void length_mismatch(std::size_t conformation, std::size_t model) {
  fail("assertion failed: the conformation has {} points but the ground-truth model has {}",
       conformation, model);
}

// Arithmetic on NaN yields either sign depending on the operation and the
// machine; one sign keeps the total-order minimum independent of both.
double canonical(double v) { return std::isnan(v) ? kNaN : v; }

// R = U diag(1, 1, d) V^T: the best proper rotation taking the mobile
// (column) side of h onto the reference (row) side. d flips the direction of
// the smallest singular value when the best orthogonal map is a reflection.
Mat3 optimal_rotation(const Mat3& h) {
  const Svd3 svd = svd3(h);
  const double d = det3(svd.u) * det3(svd.v) < 0 ? -1.0 : 1.0;
  Mat3 r{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      r[i][j] = svd.u[i][0] * svd.v[j][0] + svd.u[i][1] * svd.v[j][1] + d * svd.u[i][2] * svd.v[j][2];
  return r;
}

// Sum over points of |R b_i - a_i|^2, both sides centred. Being stationary in
// R at the optimum, it is insensitive to small errors in the rotation, which
// makes this the accurate way to the residual when it is tiny.
template <class CentredA, class CentredB>
double residual(std::size_t n, const Mat3& r, CentredA a, CentredB b) {
  double sum = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const Point p = a(i), q = b(i);
    const double dx = r[0][0] * q.x + r[0][1] * q.y + r[0][2] * q.z - p.x;
    const double dy = r[1][0] * q.x + r[1][1] * q.y + r[1][2] * q.z - p.y;
    const double dz = r[2][0] * q.x + r[2][1] * q.y + r[2][2] * q.z - p.z;
    sum += (dx * dx + dy * dy) + dz * dz;
  }
  return sum;
}

Point centroid(std::span<const Point> s) {
  Point c{0, 0, 0};
  for (const Point& p : s) {
    c.x += p.x;
    c.y += p.y;
    c.z += p.z;
  }
  const double n = static_cast<double>(s.size());
  return {c.x / n, c.y / n, c.z / n};
}

constexpr std::size_t kLanes = GroundTruth::kLanes;

// Cross-covariances of one centred conformation a (structure of arrays)
// against the kLanes models of one block: h[3 r + c][l] = sum_i a_i[r] b_i[c].
// The lanes are independent sums in index order, which the compiler turns
// into vector arithmetic without reassociating anything.
void block_cross_covariance(std::size_t n, const double* a, const double* block, double (&h)[9][kLanes]) {
  for (auto& row : h)
    for (double& x : row) x = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double ar[3] = {a[i], a[n + i], a[2 * n + i]};
    const double* b = block + i * 3 * kLanes;
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c)
        for (std::size_t l = 0; l < kLanes; ++l) h[3 * r + c][l] += ar[r] * b[c * kLanes + l];
  }
}

// Writes the centred coordinates of s into out, coordinate c of point i at
// i * point_stride + c * coordinate_stride, and returns their squared norm.
double centre_into(std::span<const Point> s, double* out, std::size_t point_stride, std::size_t coordinate_stride) {
  const Point c = centroid(s);
  double norm = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const double x = s[i].x - c.x, y = s[i].y - c.y, z = s[i].z - c.z;
    out[i * point_stride] = x;
    out[i * point_stride + coordinate_stride] = y;
    out[i * point_stride + 2 * coordinate_stride] = z;
    norm += (x * x + y * y) + z * z;
  }
  return norm;
}

}  // namespace

GroundTruth build_ground_truth(std::span<const Conformation> models) {
  if (models.empty()) fail("The ground truth must have at least one model !");
  GroundTruth gt;
  gt.models = models.size();
  gt.points = models[0].size();
  const std::size_t n = gt.points;
  const std::size_t blocks = (gt.models + kLanes - 1) / kLanes;
  gt.cells.resize(gt.models * n);
  gt.centred.assign(blocks * kLanes * 3 * n, 0.0);
  gt.norms.assign(blocks * kLanes, 0.0);
  for (std::size_t r = 0; r < gt.models; ++r) {
    const Conformation& model = models[r];
    if (model.size() < n) fail("index out of bounds: the len is {} but the index is {}", model.size(), model.size());
    const std::span<const Point> row(model.data(), n);
    std::copy(row.begin(), row.end(), gt.cells.begin() + static_cast<std::ptrdiff_t>(r * n));
    // Empty models have nothing to centre, and their empty buffer no address to offset.
    if (n == 0) continue;
    double* block = gt.centred.data() + (r / kLanes) * kLanes * 3 * n;
    gt.norms[r] = centre_into(row, block + r % kLanes, 3 * kLanes, kLanes);
  }
  return gt;
}

double superposed_rmsd(std::span<const Point> reference, std::span<const Point> mobile) {
  const std::size_t n = reference.size();
  if (mobile.size() != n) length_mismatch(n, mobile.size());
  if (n == 0) return kNaN;
  const Point ca = centroid(reference), cb = centroid(mobile);
  const auto a = [&](std::size_t i) {
    return Point{reference[i].x - ca.x, reference[i].y - ca.y, reference[i].z - ca.z};
  };
  const auto b = [&](std::size_t i) {
    return Point{mobile[i].x - cb.x, mobile[i].y - cb.y, mobile[i].z - cb.z};
  };
  Mat3 h{};
  for (std::size_t i = 0; i < n; ++i) {
    const Point p = a(i), q = b(i);
    const double pr[3] = {p.x, p.y, p.z}, qc[3] = {q.x, q.y, q.z};
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c) h[r][c] += pr[r] * qc[c];
  }
  return canonical(std::sqrt(residual(n, optimal_rotation(h), a, b) / static_cast<double>(n)));
}

double ground_truth_rmsd(const GroundTruth& gt, std::span<const Point> conformation) {
  if (gt.models == 0) return kNaN;
  const std::size_t n = gt.points;
  if (conformation.size() != n) length_mismatch(conformation.size(), n);
  if (n == 0) return kNaN;
  const double count = static_cast<double>(n);

  std::array<double, 3 * kStackPoints> stack;
  std::vector<double> heap;
  double* a = stack.data();
  if (n > kStackPoints) {
    heap.resize(3 * n);
    a = heap.data();
  }
  const double ga = centre_into(conformation, a, 1, n);

  // Models go through in passes: the cross-covariances and key polynomials of
  // a pass first, then all their roots side by side, then the residuals.
  constexpr std::size_t kPass = 64;
  static_assert(kPass % kLanes == 0);
  Mat3 h[kPass];
  KeyPolynomial poly[kPass];
  double upper[kPass];
  KeyMatrixRoot root[kPass];

  double best = kNaN;
  for (std::size_t first = 0; first < gt.models; first += kPass) {
    const std::size_t count_in_pass = std::min(kPass, gt.models - first);
    for (std::size_t j = 0; j < count_in_pass; j += kLanes) {
      double hb[9][kLanes];
      block_cross_covariance(n, a, gt.centred.data() + (first + j) * 3 * n, hb);
      for (std::size_t l = 0; l < kLanes && j + l < count_in_pass; ++l) {
        Mat3& m = h[j + l];
        for (int r = 0; r < 3; ++r)
          for (int c = 0; c < 3; ++c) m[r][c] = hb[3 * r + c][l];
        poly[j + l] = key_polynomial(m);
        upper[j + l] = std::sqrt(ga * gt.norms[first + j + l]);
      }
    }
    key_polynomial_max_roots({poly, count_in_pass}, {upper, count_in_pass}, {root, count_in_pass});

    for (std::size_t j = 0; j < count_in_pass; ++j) {
      const std::size_t model = first + j;
      const double gb = gt.norms[model];
      const double s = (ga + gb) - 2 * root[j].value;
      const double error = 2 * root[j].error_bound + 4 * kEps * (ga + gb);
      double v;
      if (error <= kTrust * s) {
        v = std::sqrt(s / count);
      } else {
        const double* b = gt.centred.data() + (model / kLanes) * kLanes * 3 * n + model % kLanes;
        const auto at_a = [&](std::size_t i) { return Point{a[i], a[n + i], a[2 * n + i]}; };
        const auto at_b = [&](std::size_t i) {
          const double* p = b + i * 3 * kLanes;
          return Point{p[0], p[kLanes], p[2 * kLanes]};
        };
        v = std::sqrt(residual(n, optimal_rotation(h[j]), at_a, at_b) / count);
      }
      v = canonical(v);
      if (model == 0 || total_order_less(v, best)) best = v;
    }
  }
  return best;
}

void ground_truth_rmsds(const GroundTruth& gt, std::span<const Point> points, std::span<double> out) {
  const std::size_t n = gt.points;
  for (std::size_t c = 0; c < out.size(); ++c) out[c] = ground_truth_rmsd(gt, points.subspan(c * n, n));
}

}  // namespace tarvex
