// Tests of the 3x3 decompositions on generic and degenerate matrices.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "linalg_testing.hpp"
#include "tarvex/compare/linalg.hpp"

namespace tarvex {
namespace {

using testing::key_matrix_max_eigenvalue;
using testing::KeyMatrixRoot;
using testing::multiply3;
using testing::symmetric_eigen3;
using testing::SymmetricEigen3;
using testing::transpose3;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

double max_abs(const Mat3& m) {
  double x = 0;
  for (const auto& row : m)
    for (double v : row) x = std::max(x, std::fabs(v));
  return x;
}

double distance(const Mat3& a, const Mat3& b) {
  Mat3 d{};
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) d[r][c] = a[r][c] - b[r][c];
  return max_abs(d);
}

Mat3 scaled_columns(const Mat3& m, const std::array<double, 3>& s) {
  Mat3 out = m;
  for (auto& row : out)
    for (int c = 0; c < 3; ++c) row[c] *= s[c];
  return out;
}

double orthogonality_error(const Mat3& m) { return distance(multiply3(transpose3(m), m), identity3()); }

Mat3 random_rotation(std::mt19937_64& rng) {
  std::normal_distribution<double> g;
  double w = g(rng), x = g(rng), y = g(rng), z = g(rng);
  const double n = std::sqrt(w * w + x * x + y * y + z * z);
  w /= n, x /= n, y /= n, z /= n;
  return {{{1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)},
           {2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)},
           {2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)}}};
}

// A matrix with the given signed singular values between two random rotations.
Mat3 with_singular_values(std::array<double, 3> sigma, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  const Mat3 u = random_rotation(rng), v = random_rotation(rng);
  return multiply3(scaled_columns(u, sigma), transpose3(v));
}

struct MatrixCase {
  std::string name;
  Mat3 m;
};

std::vector<MatrixCase> matrix_cases() {
  std::vector<MatrixCase> cases = {
      {"zero", Mat3{}},
      {"identity", identity3()},
      {"reflection", {{{1, 0, 0}, {0, 1, 0}, {0, 0, -1}}}},
      {"rank_one", with_singular_values({2, 0, 0}, 1)},
      {"rank_two", with_singular_values({3, 1, 0}, 2)},
      {"repeated_pair", with_singular_values({3, 2, 2}, 3)},
      {"repeated_pair_reflected", with_singular_values({3, 2, -2}, 4)},
      {"nearly_rank_one", with_singular_values({1, 1e-9, 1e-17}, 5)},
      {"huge", with_singular_values({4e200, 2e200, 1e200}, 6)},
      {"tiny", with_singular_values({4e-200, 2e-200, -1e-200}, 7)},
      {"exact_diagonal_pair", {{{0, 1, 0}, {1, 0, 0}, {0, 0, 0}}}},
      // A second column far below the first, whose squares underflow.
      {"columns_scales_apart",
       {{{-0x1.dcb8d52ea1f7p-506, 0, 0x1.db65ed493f8b9p-509},
         {-0x1.15c77eaa9c7f2p-872, 0, 0x1.150204e1e9ce6p-875},
         {-0x1.15c71a4638cffp+10, 0x1.162b4ea3cea7p-874, -0x1.1501a0c4e4c0cp+10}}}},
  };
  std::mt19937_64 rng(8);
  std::uniform_real_distribution<double> u(-10, 10);
  for (int k = 0; k < 12; ++k) {
    Mat3 m;
    for (auto& row : m)
      for (double& x : row) x = u(rng);
    cases.push_back({"random_" + std::to_string(k), m});
  }
  return cases;
}

class DecompositionOf : public ::testing::TestWithParam<MatrixCase> {};

TEST_P(DecompositionOf, SvdIsOrthogonalSortedAndReconstructs) {
  const Mat3& h = GetParam().m;
  const Svd3 svd = svd3(h);
  EXPECT_LE(orthogonality_error(svd.u), 1e-14);
  EXPECT_LE(orthogonality_error(svd.v), 1e-14);
  EXPECT_GE(svd.s[0], svd.s[1] * (1 - 1e-14));
  EXPECT_GE(svd.s[1], svd.s[2] * (1 - 1e-14));
  EXPECT_GE(svd.s[2], 0);
  const Mat3 back = multiply3(scaled_columns(svd.u, svd.s), transpose3(svd.v));
  EXPECT_LE(distance(back, h), 1e-14 * max_abs(h));
}

TEST_P(DecompositionOf, SymmetricEigenReconstructsGramAndIndefiniteMatrices) {
  const Mat3& h = GetParam().m;
  Mat3 indefinite{};
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) indefinite[r][c] = h[r][c] + h[c][r];
  for (const Mat3& k : {multiply3(transpose3(h), h), indefinite}) {
    const SymmetricEigen3 e = symmetric_eigen3(k);
    EXPECT_LE(orthogonality_error(e.vectors), 1e-14);
    const Mat3 back = multiply3(scaled_columns(e.vectors, e.values), transpose3(e.vectors));
    EXPECT_LE(distance(back, k), 1e-14 * max_abs(k));
  }
}

TEST_P(DecompositionOf, KeyMatrixRootIsAccurateOrDeclaredUntrustworthy) {
  const Mat3& h = GetParam().m;
  const Svd3 svd = svd3(h);
  const double d = det3(h) < 0 ? -1 : 1;
  const double exact = svd.s[0] + svd.s[1] + d * svd.s[2];
  const KeyMatrixRoot root = key_matrix_max_eigenvalue(h, std::numeric_limits<double>::infinity());
  if (!(root.error_bound < std::numeric_limits<double>::infinity())) return;
  EXPECT_LE(std::fabs(root.value - exact), root.error_bound + 1e-14 * svd.s[0]) << root.value << " vs " << exact;
}

INSTANTIATE_TEST_SUITE_P(Matrices, DecompositionOf, ::testing::ValuesIn(matrix_cases()),
                         [](const auto& test) { return test.param.name; });

// Nearly repeated top eigenvalues of the key matrix are the case where the
// closed form is inaccurate; the bound must say so rather than the value lie.
TEST(KeyMatrixRoot, ErrorBoundIsHonestNearRepeatedTopEigenvalue) {
  for (double gap : {0.0, 1e-12, 1e-8, 1e-4, 1e-2}) {
    for (std::uint64_t seed = 0; seed < 20; ++seed) {
      const std::array<double, 3> sigma = {5, 1 + gap, -1};  // s1 + d s2 = gap
      const Mat3 h = with_singular_values(sigma, seed);
      const KeyMatrixRoot root = key_matrix_max_eigenvalue(h, 10);
      EXPECT_LE(std::fabs(root.value - (5 + gap)), root.error_bound + 1e-14) << gap << " seed " << seed;
    }
  }
}

TEST(Decompositions, NonFiniteInputTerminatesWithNaN) {
  for (double bad : {kNaN, std::numeric_limits<double>::infinity()}) {
    Mat3 h = identity3();
    h[1][2] = bad;
    const SymmetricEigen3 e = symmetric_eigen3(multiply3(transpose3(h), h));
    EXPECT_TRUE(std::isnan(e.values[0]));
    EXPECT_TRUE(std::isnan(svd3(h).s[0] + svd3(h).s[1] + svd3(h).s[2]));
    EXPECT_FALSE(key_matrix_max_eigenvalue(h, 1e300).error_bound < 1e300);
  }
}

}  // namespace
}  // namespace tarvex
