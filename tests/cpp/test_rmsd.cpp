// Tests of superposed RMSD and of the minimum over ground-truth models.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "tarvex/compare/linalg.hpp"
#include "tarvex/compare/rmsd.hpp"
#include "tarvex/compare/rmsd_kernel.hpp"
#include "tarvex/fail.hpp"
#include "testing/superposed_rmsd.hpp"

namespace tarvex {
namespace {

using testing::superposed_rmsd;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Trp-cage C-alpha models 0 and 1 (PDB 1L2Y).
const Conformation kModel0 = {{-8.608, 3.135, -1.618}, {-4.923, 4.002, -2.452},  {-3.69, 2.738, 0.981},
                              {-5.857, -0.449, 0.613}, {-4.122, -1.167, -2.743}, {-0.716, -0.631, -0.993},
                              {-1.641, -2.932, 1.963}, {-3.024, -5.791, -0.269}, {0.466, -6.016, -1.905},
                              {2.06, -6.618, 1.593},   {2.626, -2.967, 2.723},   {6.333, -2.533, 3.806},
                              {7.049, -6.179, 2.704},  {6.389, -5.315, -1.015},  {9.451, -3.116, -1.87},
                              {7.289, 0.084, -2.054},  {6.782, 3.088, 0.345},    {3.287, 4.031, 1.686},
                              {1.185, 6.543, -0.353},  {0.852, 10.027, 1.285}};
const Conformation kModel1 = {{-7.682, 6.025, -0.01},  {-5.02, 4.162, -2.13},    {-3.537, 2.636, 1.105},
                              {-5.914, -0.393, 0.686}, {-4.253, -1.225, -2.692}, {-0.791, -0.749, -1.09},
                              {-1.701, -3.105, 1.831}, {-2.916, -5.759, -0.732}, {0.739, -5.926, -1.971},
                              {1.973, -6.74, 1.632},   {2.505, -3.133, 2.918},   {6.148, -2.595, 4.163},
                              {7.056, -6.106, 2.818},  {6.302, -5.007, -0.834},  {9.445, -2.839, -1.497},
                              {7.267, 0.167, -2.623},  {6.871, 2.981, 0.038},    {3.403, 3.904, 1.495},
                              {1.125, 6.268, -0.557},  {0.696, 9.699, 1.148}};

Conformation map(const Conformation& c, const std::function<Point(Point)>& f) {
  Conformation out;
  for (const Point& p : c) out.push_back(f(p));
  return out;
}
Conformation flattened(const Conformation& c) {
  return map(c, [](Point p) { return Point{p.x, p.y, 0}; });
}
Conformation mirrored(const Conformation& c) {
  return map(c, [](Point p) { return Point{p.x, p.y, -p.z}; });
}
const Conformation kStraight5 = {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}, {3, 0, 0}, {4, 0, 0}};

// Points i^2 step apart along one direction: collinear, unevenly spaced.
Conformation line(int n, Point step) {
  Conformation c;
  for (int i = 0; i < n; ++i) c.push_back({i * i * step.x, i * i * step.y, i * i * step.z});
  return c;
}

Conformation random_structure(std::size_t n, std::mt19937_64& rng, double spread = 5) {
  std::normal_distribution<double> g(0, spread);
  Conformation c(n);
  for (Point& p : c) p = {g(rng), g(rng), g(rng)};
  return c;
}

Conformation moved(const Conformation& c, std::mt19937_64& rng) {
  std::normal_distribution<double> g;
  double w = g(rng), x = g(rng), y = g(rng), z = g(rng);
  const double n = std::sqrt(w * w + x * x + y * y + z * z);
  w /= n, x /= n, y /= n, z /= n;
  const Mat3 r = {{{1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)},
                   {2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)},
                   {2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)}}};
  const Point t = {30 * g(rng), 30 * g(rng), 30 * g(rng)};
  return map(c, [&](Point p) {
    return Point{r[0][0] * p.x + r[0][1] * p.y + r[0][2] * p.z + t.x,
                 r[1][0] * p.x + r[1][1] * p.y + r[1][2] * p.z + t.y,
                 r[2][0] * p.x + r[2][1] * p.y + r[2][2] * p.z + t.z};
  });
}

double ground_truth_of_one(const Conformation& reference, const Conformation& model) {
  return ground_truth_rmsd(build_ground_truth(std::vector<Conformation>{model}), reference);
}

// Root-mean-square distance of the points from their centroid.
double radius(const Conformation& c) {
  Point m{0, 0, 0};
  for (const Point& p : c) m = {m.x + p.x, m.y + p.y, m.z + p.z};
  m = {m.x / double(c.size()), m.y / double(c.size()), m.z / double(c.size())};
  double sum = 0;
  for (const Point& p : c) sum += (p.x - m.x) * (p.x - m.x) + (p.y - m.y) * (p.y - m.y) + (p.z - m.z) * (p.z - m.z);
  return std::sqrt(sum / double(c.size()));
}

Conformation scaled(const Conformation& c, double k) {
  return map(c, [k](Point p) { return Point{k * p.x, k * p.y, k * p.z}; });
}

void expect_relative(double value, double expected, double tolerance) {
  EXPECT_NEAR(value, expected, tolerance * std::fabs(expected)) << value << " vs " << expected;
}

std::string failure_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const Panic& e) {
    return e.what();
  }
  return "no failure";
}

// Values from an independent Kabsch superposition (numpy SVD).
struct KnownCase {
  std::string name;
  Conformation reference, mobile;
  double expected;
};

class KnownValue : public ::testing::TestWithParam<KnownCase> {};

TEST_P(KnownValue, BothPathsAgreeWithIndependentKabsch) {
  const KnownCase& c = GetParam();
  expect_relative(superposed_rmsd(c.reference, c.mobile), c.expected, 1e-12);
  expect_relative(ground_truth_of_one(c.reference, c.mobile), c.expected, 1e-12);
}

INSTANTIATE_TEST_SUITE_P(
    Structures, KnownValue,
    ::testing::Values(KnownCase{"models_0_1", kModel0, kModel1, 0.7842644355883345},
                      KnownCase{"mirror_image_is_not_superposable", kModel0, mirrored(kModel0), 3.622186369314014},
                      KnownCase{"mirror_of_other_model", kModel0, mirrored(kModel1), 3.7122124285825584},
                      KnownCase{"planar", flattened(kModel0), flattened(kModel1), 0.668529032172748},
                      KnownCase{"planar_against_chiral", flattened(kModel0), kModel1, 1.9816288383538865},
                      KnownCase{"collinear", kStraight5, line(5, {0, 1, 0}), 4.560701700396552},
                      KnownCase{"collinear_against_chiral", kStraight5,
                                Conformation(kModel1.begin(), kModel1.begin() + 5), 2.4007085354203492}),
    [](const auto& test) { return test.param.name; });

// Structure families, including the degenerate ones where the closed form of
// the superposition is ill-conditioned; seeds vary the random parts.
struct Family {
  std::string name;
  std::function<std::pair<Conformation, Conformation>(std::mt19937_64&)> make;
};

std::vector<Family> families() {
  auto rand = [](std::size_t n) {
    return [n](std::mt19937_64& rng) { return std::pair{random_structure(n, rng), random_structure(n, rng)}; };
  };
  return {
      {"random_3", rand(3)},
      {"random_20", rand(20)},
      {"random_300", rand(300)},
      {"near_identical",
       [](auto& rng) {
         const Conformation a = random_structure(20, rng);
         return std::pair{a, moved(map(a,
                                       [&](Point p) {
                                         return Point{p.x + 1e-7 * random_structure(1, rng)[0].x, p.y, p.z};
                                       }),
                                   rng)};
       }},
      {"identical_moved",
       [](auto& rng) {
         const Conformation a = random_structure(20, rng);
         return std::pair{a, moved(a, rng)};
       }},
      {"collinear",
       [](auto& rng) {
         return std::pair{line(6, {1, 2, 3}), moved(line(6, {0, 0, 2}), rng)};
       }},
      {"planar",
       [](auto& rng) {
         return std::pair{flattened(random_structure(20, rng)), flattened(random_structure(20, rng))};
       }},
      {"planar_and_its_mirror",
       [](auto& rng) {
         const auto a = flattened(random_structure(9, rng));
         return std::pair{a, moved(mirrored(a), rng)};
       }},
      {"coincident",
       [](auto& rng) {
         return std::pair{Conformation(7, {1, 2, 3}), moved(random_structure(7, rng), rng)};
       }},
      {"cube_vertices_permuted",
       [](auto& rng) {
         Conformation cube;
         for (int i = 0; i < 8; ++i) cube.push_back({double(i & 1), double(i >> 1 & 1), double(i >> 2 & 1)});
         Conformation perm = cube;
         std::shuffle(perm.begin(), perm.end(), rng);
         return std::pair{cube, moved(perm, rng)};
       }},
  };
}

class RmsdOf : public ::testing::TestWithParam<std::tuple<Family, int>> {};

TEST_P(RmsdOf, IsInvariantUnderRigidMotionAndSwapAndFastPathAgrees) {
  const auto& [family, seed] = GetParam();
  std::mt19937_64 rng(seed);
  const auto [a, b] = family.make(rng);
  const double size = radius(a) + 1;
  const double explicit_value = superposed_rmsd(a, b);
  const double tol = 1e-12 * size;
  EXPECT_NEAR(superposed_rmsd(moved(a, rng), b), explicit_value, tol);
  EXPECT_NEAR(superposed_rmsd(a, moved(b, rng)), explicit_value, tol);
  EXPECT_NEAR(superposed_rmsd(b, a), explicit_value, tol);
  EXPECT_NEAR(superposed_rmsd(a, moved(a, rng)), 0, tol);
  EXPECT_NEAR(ground_truth_of_one(a, b), explicit_value, std::max(tol, 1e-12 * explicit_value));
  EXPECT_NEAR(ground_truth_of_one(a, moved(a, rng)), 0, tol);
}

INSTANTIATE_TEST_SUITE_P(Families, RmsdOf, ::testing::Combine(::testing::ValuesIn(families()), ::testing::Range(0, 8)),
                         [](const auto& test) {
                           return std::get<0>(test.param).name + "_" + std::to_string(std::get<1>(test.param));
                         });

TEST(SuperposedRmsd, MirrorImageOfChiralStructureIsPositiveAndOfPlanarIsZero) {
  EXPECT_GT(superposed_rmsd(kModel0, mirrored(kModel0)), 3.0);
  EXPECT_NEAR(superposed_rmsd(flattened(kModel0), mirrored(flattened(kModel0))), 0, 1e-12);
}

TEST(SuperposedRmsd, SinglePointIsZeroAndEmptyIsNaN) {
  EXPECT_EQ(superposed_rmsd(Conformation{{1, 2, 3}}, Conformation{{-4, 5, 6}}), 0);
  EXPECT_EQ(ground_truth_of_one(Conformation{{1, 2, 3}}, Conformation{{-4, 5, 6}}), 0);
  EXPECT_TRUE(std::isnan(superposed_rmsd(Conformation{}, Conformation{})));
  EXPECT_TRUE(std::isnan(ground_truth_of_one(Conformation{}, Conformation{})));
}

TEST(SuperposedRmsd, CoordinatesNearTheUnderflowLimitStayFinite) {
  // Essentially one point 100 away in each structure, with dust of 1e-154
  // and below elsewhere: the value comes from an independent Kabsch.
  Conformation a(9, Point{0, 0, 0}), b(9, Point{0, 0, 0});
  a[0] = {0x1.9090909p-879, 0, 0x1p-1022};
  a[1] = {0x1.573d68f903ea2p-512, 0x1.9000909090909p-879, 0x1.9090909090909p-879};
  a[2] = {0x1.90909p-879, 0, 0};
  a[8] = {0, 0, -0x1.8fffffffffe3cp+6};
  b[0] = {0x1.9090909090909p-879, 0x1.90909090101p-879, -0x1.8ee39fd3d8dffp+6};
  b[1] = {-0x1.8ffffcep+6, 0x1.9090000005e09p-879, 0x0.000000909e553p-1022};
  expect_relative(superposed_rmsd(a, b), 51.07622459991689, 1e-12);
  expect_relative(superposed_rmsd(b, a), 51.07622459991689, 1e-12);
}

TEST(SuperposedRmsd, NonFiniteCoordinatesGiveNaN) {
  for (double bad : {kNaN, kInf, -kInf}) {
    Conformation a = kModel0;
    a[4].y = bad;
    EXPECT_TRUE(std::isnan(superposed_rmsd(a, kModel1)));
    EXPECT_TRUE(std::isnan(superposed_rmsd(kModel1, a)));
    EXPECT_TRUE(std::isnan(ground_truth_of_one(a, kModel1)));
    EXPECT_TRUE(std::isnan(ground_truth_of_one(kModel1, a)));
  }
}

TEST(GroundTruthRmsd, ReturnsTheSmallestOverModelsWithNaNModelsRankedLast) {
  const Conformation far = map(kModel1, [](Point p) { return Point{2 * p.x, p.y, p.z}; });
  // A NaN with the sign bit set, as invalid operations produce on x86: under
  // the total order it would rank below every number if let through as is.
  Conformation broken = kModel1;
  broken[0].x = -kNaN;
  const double near = superposed_rmsd(kModel0, kModel1);
  const std::vector<std::pair<std::vector<Conformation>, double>> cases = {
      {{far, kModel1, mirrored(kModel1)}, near},
      {{kModel1, far}, near},
      {{broken, far, kModel1, kModel1}, near},
      {{kModel1, broken}, near},
  };
  for (const auto& [models, expected] : cases)
    expect_relative(ground_truth_rmsd(build_ground_truth(models), kModel0), expected, 1e-12);
  const double all_broken = ground_truth_rmsd(build_ground_truth(std::vector<Conformation>{broken, broken}), kModel0);
  EXPECT_TRUE(std::isnan(all_broken) && !std::signbit(all_broken));
}

TEST(TotalOrderLess, OrdersSignedZerosInfinitiesAndNaNs) {
  const double ordered[] = {-kNaN, -kInf, -1e300, -1, -0.0, 0.0, 5e-324, 1, kInf, kNaN};
  for (std::size_t i = 0; i < std::size(ordered); ++i)
    for (std::size_t j = 0; j < std::size(ordered); ++j)
      EXPECT_EQ(total_order_less(ordered[i], ordered[j]), i < j) << ordered[i] << " " << ordered[j];
}

TEST(BuildGroundTruth, TruncatesLongerModels) {
  const Conformation first = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  const Conformation longer = {{2, 0, 0}, {0, 2, 0}, {0, 0, 2}, {9, 9, 9}};
  const GroundTruth gt = build_ground_truth(std::vector<Conformation>{first, longer});
  EXPECT_EQ(gt.models, 2u);
  EXPECT_EQ(gt.points, 3u);
  EXPECT_NEAR(ground_truth_rmsd(gt, first), 0, 1e-15);
  EXPECT_NEAR(ground_truth_rmsd(gt, Conformation(longer.begin(), longer.begin() + 3)), 0, 1e-15);
}

TEST(BuildGroundTruth, OfSeveralEmptyModelsComparesAsNaN) {
  const GroundTruth gt = build_ground_truth(std::vector<Conformation>(5));
  EXPECT_EQ(gt.models, 5u);
  EXPECT_EQ(gt.points, 0u);
  EXPECT_TRUE(std::isnan(ground_truth_rmsd(gt, Conformation{})));
}

// Every kernel this machine can run: the portable one always.
std::vector<std::pair<std::string, detail::BatchFunction>> kernels() {
  std::vector<std::pair<std::string, detail::BatchFunction>> out = {{"portable", &detail::batch_portable}};
  if (detail::avx2_batch() != nullptr && simd::cpu_has_avx2()) out.push_back({"avx2", *detail::avx2_batch()});
  return out;
}

std::vector<double> batch(detail::BatchFunction kernel, const GroundTruth& gt, std::span<const Conformation> cs) {
  std::vector<Point> points;
  for (const Conformation& c : cs) points.insert(points.end(), c.begin(), c.end());
  std::vector<double> out(cs.size());
  kernel(gt, points, out);
  return out;
}

// The smallest explicit superposition over the models, by the rules of ground_truth_rmsd.
double reference_minimum(const std::vector<Conformation>& models, const Conformation& c) {
  double best = 0;
  for (std::size_t m = 0; m < models.size(); ++m) {
    double v = superposed_rmsd(models[m], c);
    if (std::isnan(v)) v = kNaN;
    if (m == 0 || total_order_less(v, best)) best = v;
  }
  return best;
}

// Lanes hold different conformations or different models depending on the
// batch and model counts; lanes that need the exact path, or scaling, or give
// NaN sit next to ordinary ones, and whole vectors of ordinary ones take the
// shortest way.
TEST(GroundTruthRmsds, EachConformationGetsItsOwnValueWhateverTheBatchAndKernel) {
  std::mt19937_64 rng(11);
  std::vector<Conformation> pool;
  for (int k = 0; k < 6; ++k) pool.push_back(random_structure(7, rng));
  std::vector<Conformation> conformations = {random_structure(7, rng),
                                             moved(pool[1], rng),
                                             line(7, {1, 2, 3}),
                                             scaled(random_structure(7, rng), 1e-200),
                                             random_structure(7, rng),
                                             Conformation(7, Point{4, 4, 4}),
                                             scaled(moved(pool[0], rng), 1e200),
                                             random_structure(7, rng),
                                             moved(pool[3], rng),
                                             random_structure(7, rng),
                                             random_structure(7, rng)};
  conformations[9][2].y = kNaN;
  for (int k = 0; k < 8; ++k) conformations.push_back(random_structure(7, rng));  // whole vectors of ordinary ones
  for (std::size_t model_count : {1, 2, 5, 6}) {
    std::vector<Conformation> models(pool.begin(), pool.begin() + model_count);
    if (model_count >= 5) models[2][3].z = kInf;                  // a model that compares as NaN
    if (model_count >= 6) models[5] = scaled(models[4], 0x1p40);  // and one stored scaled
    const GroundTruth gt = build_ground_truth(models);
    std::vector<std::vector<double>> singles;
    for (const auto& [name, kernel] : kernels()) {
      SCOPED_TRACE(name + " with " + std::to_string(model_count) + " models");
      std::vector<double> single;
      for (const Conformation& c : conformations) single.push_back(batch(kernel, gt, {&c, 1})[0]);
      for (std::size_t c = 0; c < conformations.size(); ++c) {
        const double expected = reference_minimum(models, conformations[c]);
        if (std::isnan(expected)) {
          EXPECT_EQ(std::bit_cast<std::uint64_t>(single[c]), std::bit_cast<std::uint64_t>(kNaN)) << c;
        } else {
          EXPECT_NEAR(single[c], expected, 1e-12 * std::max(expected, radius(conformations[c]))) << c;
        }
      }
      for (std::size_t first : {0, 1, 3})
        for (std::size_t size : {1, 2, 3, 4, 5, 8, 100}) {
          const std::vector<double> out =
              batch(kernel, gt, {conformations.data() + first, std::min(size, conformations.size() - first)});
          for (std::size_t k = 0; k < out.size(); ++k)
            EXPECT_EQ(std::bit_cast<std::uint64_t>(out[k]), std::bit_cast<std::uint64_t>(single[first + k]))
                << "conformation " << first + k << " in a batch of " << out.size();
        }
      singles.push_back(single);
    }
    for (std::size_t c = 0; c < conformations.size(); ++c) {
      if (!std::isnan(singles.front()[c])) {
        EXPECT_NEAR(singles.back()[c], singles.front()[c],
                    1e-12 * std::max(singles.front()[c], radius(conformations[c])));
      }
    }
  }
}

// Coordinates whose squares (or the eighth powers in the key polynomial)
// overflow or underflow are still compared to full precision.
TEST(Rmsd, IsRightAtAnyFiniteScale) {
  const double at_one = 0.7842644355883345;  // models 0 and 1, independent Kabsch
  for (double k : {1e-300, 1e-200, 1e-160, 1e-40, 1e-12, 1e10, 1e40, 1e154, 1e300}) {
    SCOPED_TRACE(k);
    const Conformation a = scaled(kModel0, k), b = scaled(kModel1, k);
    expect_relative(superposed_rmsd(a, b), k * at_one, 1e-12);
    const GroundTruth gt = build_ground_truth(std::vector<Conformation>{b, scaled(kModel1, 1e-300)});
    for (const auto& [name, kernel] : kernels()) expect_relative(batch(kernel, gt, {&a, 1})[0], k * at_one, 1e-12);
  }
  // Largest coordinates near the top of the double range.
  const Conformation huge = scaled(kModel0, 1.7e307);
  const double size = radius(scaled(kModel0, 1.0)) * 1.7e307;
  for (const auto& [name, kernel] : kernels()) {
    const double same = batch(kernel, build_ground_truth(std::vector<Conformation>{huge}), {&huge, 1})[0];
    EXPECT_TRUE(same >= 0 && same <= 1e-12 * size) << name << " " << same;
    // A side negligible against the other: the RMSD is the radius of the larger one.
    const Conformation tiny = scaled(kModel1, 1e-300);
    expect_relative(batch(kernel, build_ground_truth(std::vector<Conformation>{tiny}), {&huge, 1})[0], size, 1e-12);
    expect_relative(batch(kernel, build_ground_truth(std::vector<Conformation>{huge}), {&tiny, 1})[0], size, 1e-12);
  }
  const double same = superposed_rmsd(huge, huge);
  EXPECT_TRUE(same >= 0 && same <= 1e-12 * size) << same;
}

TEST(Failures, CarryTheSystemMessages) {
  const Conformation three = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  const Conformation two = {{1, 0, 0}, {0, 1, 0}};
  EXPECT_EQ(failure_of([] { build_ground_truth({}); }), "The ground truth must have at least one model !");
  EXPECT_EQ(failure_of([&] {
              build_ground_truth(std::vector<Conformation>{three, three, two});
            }),
            "index out of bounds: the len is 2 but the index is 2");
  EXPECT_EQ(failure_of([&] { superposed_rmsd(two, three); }),
            "assertion failed: the conformation has 2 points but the ground-truth model has 3");
  EXPECT_EQ(failure_of([&] { ground_truth_rmsd(build_ground_truth(std::vector<Conformation>{three}), two); }),
            "assertion failed: the conformation has 2 points but the ground-truth model has 3");
  EXPECT_EQ(failure_of([&] { ground_truth_rmsd(build_ground_truth(std::vector<Conformation>{Conformation{}}), two); }),
            "assertion failed: the conformation has 2 points but the ground-truth model has 0");
  std::vector<double> out(2);
  EXPECT_EQ(failure_of([&] { ground_truth_rmsds(build_ground_truth(std::vector<Conformation>{three}), two, out); }),
            "assertion failed: 2 points do not make 2 conformations of 3 points");
}

}  // namespace
}  // namespace tarvex
