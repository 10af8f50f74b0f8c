// Fuzz target: ground truths and superposed RMSDs built from arbitrary coordinates, lengths and model counts.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz_input.hpp"
#include "tarvex/compare/rmsd.hpp"
#include "tarvex/compare/rmsd_kernel.hpp"
#include "tarvex/fail.hpp"
#include "tarvex/walks/symmetry_group.hpp"
#include "testing/superposed_rmsd.hpp"

using namespace tarvex;
using tarvex::fuzzing::awkward_point;
using tarvex::testing::superposed_rmsd;

namespace {

bool all_finite(std::span<const Point> s) {
  return std::all_of(s.begin(), s.end(),
                     [](const Point& p) { return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z); });
}

// Coordinates small enough that every square and sum stays far from overflow,
// so the results must agree to within rounding of that size.
double moderate_scale(std::span<const Point> a, std::span<const Point> b) {
  double scale = 0;
  for (auto s : {a, b})
    for (const Point& p : s) scale = std::max({scale, std::abs(p.x), std::abs(p.y), std::abs(p.z)});
  return scale;
}
constexpr double kModerate = 1e6;

bool close(double a, double b, double scale) { return std::abs(a - b) <= 1e-6 * (1.0 + scale); }

bool same_bits(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

// A proper rotation of the cube group permutes and negates coordinates,
// which is exact in floating point.
Conformation rotated(std::span<const Point> s, const Symmetry& r) {
  Conformation out;
  for (const Point& p : s) {
    const double v[3] = {p.x, p.y, p.z};
    double w[3];
    for (int i = 0; i < 3; ++i) w[i] = r.m[3 * i] * v[0] + r.m[3 * i + 1] * v[1] + r.m[3 * i + 2] * v[2];
    out.push_back({w[0], w[1], w[2]});
  }
  return out;
}

void check_pair(std::span<const Point> a, std::span<const Point> b, const Symmetry& rotation) {
  double ab;
  try {
    ab = superposed_rmsd(a, b);
  } catch (const Panic&) {
    TARVEX_FUZZ_CHECK(a.size() != b.size());
    return;
  }
  TARVEX_FUZZ_CHECK(a.size() == b.size());
  TARVEX_FUZZ_CHECK(std::isnan(ab) || ab >= 0.0);
  if (a.empty() || !all_finite(a) || !all_finite(b)) TARVEX_FUZZ_CHECK(std::isnan(ab));
  const double scale = moderate_scale(a, b);
  if (a.empty() || !all_finite(a) || !all_finite(b) || scale > kModerate) return;
  TARVEX_FUZZ_CHECK(!std::isnan(ab));
  TARVEX_FUZZ_CHECK(close(ab, superposed_rmsd(b, a), scale));
  TARVEX_FUZZ_CHECK(close(superposed_rmsd(a, a), 0.0, scale));
  const Conformation turned = rotated(b, rotation);
  TARVEX_FUZZ_CHECK(close(ab, superposed_rmsd(a, turned), scale));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const auto model_count = in.ConsumeIntegralInRange<std::size_t>(0, 7);
  const auto n = in.ConsumeIntegralInRange<std::size_t>(0, 40);
  std::vector<Conformation> models(model_count);
  for (std::size_t r = 0; r < model_count; ++r) {
    // Model 0 fixes the length; the others are mostly as long, sometimes
    // longer (truncated) or shorter (refused).
    std::size_t length = n;
    if (r > 0) {
      const int shape = in.ConsumeIntegralInRange<int>(0, 5);
      if (shape == 0) length = in.ConsumeIntegralInRange<std::size_t>(0, n);
      if (shape == 1) length = n + in.ConsumeIntegralInRange<std::size_t>(0, 4);
    }
    for (std::size_t i = 0; i < length; ++i) models[r].push_back(awkward_point(in));
  }
  const std::size_t conformation_length =
      in.ConsumeIntegralInRange<int>(0, 7) == 0 ? in.ConsumeIntegralInRange<std::size_t>(0, 41) : n;
  Conformation conformation;
  for (std::size_t i = 0; i < conformation_length; ++i) conformation.push_back(awkward_point(in));
  const Symmetry& rotation =
      detail::kRotations[in.ConsumeIntegralInRange<std::size_t>(0, detail::kRotations.size() - 1)];

  const bool refusable = models.empty() || std::any_of(models.begin(), models.end(), [&](const Conformation& m) {
                           return m.size() < models[0].size();
                         });
  GroundTruth gt;
  try {
    gt = build_ground_truth(models);
  } catch (const Panic&) {
    TARVEX_FUZZ_CHECK(refusable);
    return 0;
  }
  TARVEX_FUZZ_CHECK(!refusable);
  TARVEX_FUZZ_CHECK(gt.models == model_count && gt.points == n);

  double best;
  try {
    best = ground_truth_rmsd(gt, conformation);
  } catch (const Panic&) {
    TARVEX_FUZZ_CHECK(conformation.size() != n);
    return 0;
  }
  TARVEX_FUZZ_CHECK(conformation.size() == n);
  TARVEX_FUZZ_CHECK(std::isnan(best) || best >= 0.0);
  if (!all_finite(conformation)) TARVEX_FUZZ_CHECK(std::isnan(best));

  // The kernel over all models against the plain pairwise computation.
  double pairwise = std::numeric_limits<double>::quiet_NaN();
  bool comparable = n > 0 && all_finite(conformation);
  for (const Conformation& model : models) {
    const std::span<const Point> row(model.data(), n);
    check_pair(row, conformation, rotation);
    comparable = comparable && all_finite(row) && moderate_scale(row, conformation) <= kModerate;
    const double v = superposed_rmsd(row, conformation);
    if (std::isnan(pairwise) || v < pairwise) pairwise = v;
  }
  double scale = 0;
  for (const Conformation& model : models) scale = std::max(scale, moderate_scale({model.data(), n}, conformation));
  if (comparable) {
    TARVEX_FUZZ_CHECK(!std::isnan(best));
    TARVEX_FUZZ_CHECK(close(best, pairwise, scale));
  }

  // The conformation and the models' rows as one batch: each value exactly
  // what its single call gives, wherever it sits in the batch's lanes; the
  // portable kernel agrees with the one this machine uses.
  std::vector<Point> points(conformation.begin(), conformation.end());
  for (const Conformation& model : models) points.insert(points.end(), model.begin(), model.begin() + n);
  std::vector<double> out(1 + models.size());
  ground_truth_rmsds(gt, points, out);
  TARVEX_FUZZ_CHECK(same_bits(out[0], best));
  for (std::size_t r = 0; r < models.size(); ++r)
    TARVEX_FUZZ_CHECK(same_bits(out[1 + r], ground_truth_rmsd(gt, {models[r].data(), n})));
  if (n > 0) {
    std::vector<double> portable(out.size());
    detail::batch_portable(gt, points, portable);
    for (std::size_t c = 0; c < out.size(); ++c)
      TARVEX_FUZZ_CHECK(std::isnan(out[c]) ? std::isnan(portable[c])
                                           : !comparable || close(out[c], portable[c], scale));
  }
  return 0;
}
