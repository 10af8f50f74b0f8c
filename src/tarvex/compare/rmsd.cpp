// RMSD after optimal proper superposition: ground truth, exact path, and the kernel for this machine.
#include "tarvex/compare/rmsd.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "tarvex/compare/linalg.hpp"
#include "tarvex/compare/rmsd_kernel.hpp"
#include "tarvex/fail.hpp"
#include "tarvex/messages.hpp"

namespace tarvex {

namespace detail {

Centred centre_scaled(const Point* s, std::size_t n, double unscaled_norm, double* out, std::size_t point_stride,
                      std::size_t coordinate_stride) {
  double largest = 0;
  for (std::size_t i = 0; i < n; ++i)
    largest = std::max({largest, std::fabs(s[i].x), std::fabs(s[i].y), std::fabs(s[i].z)});
  // Nothing to scale: all zero, or non-finite coordinates that compare as NaN
  // whatever the scale (NaN never wins the max, so NaN among zeros leaves 0).
  if (!(largest > 0 && largest <= std::numeric_limits<double>::max())) return {unscaled_norm, 0};
  // scalbn rather than a multiplication: 2^-exponent itself is not a double
  // when the largest coordinate is subnormal.
  const int exponent = std::ilogb(largest);
  const auto scaled = [exponent](double v) { return std::scalbn(v, -exponent); };
  return {centre_by(s, n, out, point_stride, coordinate_stride, scaled), exponent};
}

double exact_rmsd(std::size_t n, const double* a, double fa, const double* b, double fb, std::size_t point_stride,
                  std::size_t coordinate_stride) {
  const auto at = [&](const double* s, double f, std::size_t i) {
    const double* p = s + i * point_stride;
    return Point{p[0] * f, p[coordinate_stride] * f, p[2 * coordinate_stride] * f};
  };
  Mat3 h{};
  for (std::size_t i = 0; i < n; ++i) {
    const Point p = at(a, fa, i), q = at(b, fb, i);
    const double pr[3] = {p.x, p.y, p.z}, qc[3] = {q.x, q.y, q.z};
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c) h[r][c] += pr[r] * qc[c];
  }
  // Sum over points of |R b_i - a_i|^2. Being stationary in R at the optimum,
  // it is insensitive to small errors in the rotation, which makes this the
  // accurate way to the residual when it is tiny.
  const Mat3 r = proper_rotation(h);
  double sum = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const Point p = at(a, fa, i), q = at(b, fb, i);
    const double dx = r[0][0] * q.x + r[0][1] * q.y + r[0][2] * q.z - p.x;
    const double dy = r[1][0] * q.x + r[1][1] * q.y + r[1][2] * q.z - p.y;
    const double dz = r[2][0] * q.x + r[2][1] * q.y + r[2][2] * q.z - p.z;
    sum += (dx * dx + dy * dy) + dz * dz;
  }
  return std::sqrt(sum / static_cast<double>(n));
}

double* kernel_scratch(std::size_t doubles) {
  thread_local std::vector<double> space;
  if (space.size() < doubles) space.resize(doubles);
  return space.data();
}

void batch_portable(const GroundTruth& gt, std::span<const Point> points, std::span<double> out) {
  BatchKernel<simd::Portable>::compute(gt, points, out);
}

}  // namespace detail

namespace {

using detail::kLanes;
using detail::kNaN;

[[noreturn]] void length_mismatch(std::size_t conformation, std::size_t model) {
  fail("assertion failed: the conformation has {} points but the ground-truth model has {}", conformation, model);
}

// Chosen on first use, then a load and an indirect call per batch.
detail::BatchFunction batch_kernel() {
  static const detail::BatchFunction chosen =
      simd::choose<detail::BatchFunction>(&detail::batch_portable, detail::avx2_batch());
  return chosen;
}

}  // namespace

GroundTruth build_ground_truth(std::span<const Conformation> models) {
  if (models.empty()) fail(messages::kNoModels);
  GroundTruth gt;
  gt.models = models.size();
  gt.points = models[0].size();
  const std::size_t n = gt.points;
  const std::size_t padded = (gt.models + kLanes - 1) / kLanes * kLanes;
  gt.centred.assign(padded * 3 * n, 0.0);
  gt.norms.assign(padded, 0.0);
  gt.exponents.assign(padded, 0);
  for (std::size_t r = 0; r < gt.models; ++r) {
    const Conformation& model = models[r];
    if (model.size() < n) fail(messages::kShortModel, model.size(), model.size());
    // Models without points have no storage to point into.
    double* lane = n == 0 ? nullptr : gt.centred.data() + (r / kLanes) * kLanes * 3 * n + r % kLanes;
    const detail::Centred c = detail::centre(model.data(), n, lane, 3 * kLanes, kLanes);
    gt.norms[r] = c.norm;
    gt.exponents[r] = c.exponent;
    gt.any_scaled = gt.any_scaled || c.exponent != 0;
  }
  return gt;
}

double ground_truth_rmsd(const GroundTruth& gt, std::span<const Point> conformation) {
  if (gt.models == 0) return kNaN;
  if (conformation.size() != gt.points) length_mismatch(conformation.size(), gt.points);
  if (gt.points == 0) return kNaN;
  double out;
  batch_kernel()(gt, conformation, {&out, 1});
  return out;
}

void ground_truth_rmsds(const GroundTruth& gt, std::span<const Point> points, std::span<double> out) {
  const std::size_t n = gt.points;
  if (n == 0 ? !points.empty() : points.size() % n != 0 || points.size() / n != out.size())
    fail("assertion failed: {} points do not make {} conformations of {} points", points.size(), out.size(), n);
  if (gt.models == 0 || n == 0) {
    std::fill(out.begin(), out.end(), kNaN);
    return;
  }
  if (!out.empty()) batch_kernel()(gt, points, out);
}

}  // namespace tarvex
