// Tests of the lattice step tables, neighbours, scale and the symmetry groups.
#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <tuple>
#include <vector>

#include "reference_pivot.hpp"
#include "tarvex/walks/lattice.hpp"
#include "tarvex/walks/random.hpp"
#include "tarvex/walks/symmetry_group.hpp"
#include "walk_testing.hpp"

namespace tarvex {
namespace {

using testing::kAllLattices;
using testing::lattice_label;

std::vector<LatticePoint> as_vector(const NeighbourList& list) { return {list.begin(), list.end()}; }

std::set<std::tuple<int, int, int>> as_set(std::span<const LatticePoint> points) {
  std::set<std::tuple<int, int, int>> out;
  for (const auto& p : points) out.emplace(p.x, p.y, p.z);
  return out;
}

int determinant(const Symmetry& s) {
  const auto& m = s.m;
  return m[0] * (m[4] * m[8] - m[5] * m[7]) - m[1] * (m[3] * m[8] - m[5] * m[6]) + m[2] * (m[3] * m[7] - m[4] * m[6]);
}

class LatticeTest : public ::testing::TestWithParam<LatticeKind> {};

TEST_P(LatticeTest, StepsAreDistinctAndOfEqualLength) {
  const Lattice lattice(GetParam());
  const std::size_t expected_count[] = {4, 12, 8, 6};
  const int expected_squared[] = {3, 2, 3, 1};
  const auto index = std::size_t(GetParam());
  ASSERT_EQ(lattice.steps.size(), expected_count[index]);
  EXPECT_EQ(as_set(lattice.steps).size(), lattice.steps.size());
  for (const auto& v : lattice.steps) EXPECT_EQ(v.x * v.x + v.y * v.y + v.z * v.z, expected_squared[index]);
}

TEST_P(LatticeTest, GroupHasIdentityFirstAndDistinctSignedPermutations) {
  const Lattice lattice(GetParam());
  const std::size_t order = GetParam() == LatticeKind::tetrahedral ? 24 : 48;
  ASSERT_EQ(lattice.group.size(), order);
  EXPECT_EQ(lattice.group[0], (Symmetry{{1, 0, 0, 0, 1, 0, 0, 0, 1}}));
  std::set<std::array<std::int32_t, 9>> seen;
  for (std::size_t k = 0; k < order; ++k) {
    const Symmetry& s = lattice.group[k];
    seen.insert(s.m);
    for (int row = 0; row < 3; ++row) {
      int nonzero_row = 0, nonzero_col = 0;
      for (int c = 0; c < 3; ++c) {
        nonzero_row += s.m[std::size_t(row * 3 + c)] != 0;
        nonzero_col += s.m[std::size_t(c * 3 + row)] != 0;
        EXPECT_LE(std::abs(s.m[std::size_t(row * 3 + c)]), 1);
      }
      EXPECT_EQ(nonzero_row, 1) << "element " << k;
      EXPECT_EQ(nonzero_col, 1) << "element " << k;
    }
    // The rotations come first, then the elements of determinant -1.
    EXPECT_EQ(determinant(s), k < order / 2 ? 1 : -1) << "element " << k;
  }
  EXPECT_EQ(seen.size(), order);
}

TEST_P(LatticeTest, EveryGroupElementMapsTheStepSetOntoItself) {
  const Lattice lattice(GetParam());
  const auto steps = as_set(lattice.steps);
  for (const Symmetry& s : lattice.group) {
    std::vector<LatticePoint> images;
    for (const auto& v : lattice.steps) images.push_back(s * v);
    EXPECT_EQ(as_set(images), steps);
  }
}

TEST_P(LatticeTest, InverseUndoesApplyAboutAnyCentre) {
  const Lattice lattice(GetParam());
  Rng rng = Rng::seeded(7);
  auto coordinate = [&] { return std::int32_t(rng.uniform(0, 2001)) - 1000; };
  for (const Symmetry& s : lattice.group) {
    for (int trial = 0; trial < 20; ++trial) {
      const LatticePoint q{coordinate(), coordinate(), coordinate()};
      const LatticePoint p{coordinate(), coordinate(), coordinate()};
      EXPECT_EQ(apply_about(inverse(s), q, apply_about(s, q, p)), p);
      EXPECT_EQ(apply_about(s, q, q), q);
    }
  }
}

TEST_P(LatticeTest, ReverseStepLeadsBackFromBothSublattices) {
  with_lattice(GetParam(), [](auto kc) {
    constexpr LatticeKind K = decltype(kc)::value;
    for (const LatticePoint p : {kOrigin, LatticePoint{-1, 0, 0}, LatticePoint{3, -2, 7}}) {
      for (std::size_t i = 0; i < coordination(K); ++i) {
        EXPECT_EQ(neighbour<K>(neighbour<K>(p, i), kReverseStep<K>[i]), p) << "step " << i;
      }
    }
  });
}

TEST_P(LatticeTest, NeighboursOfOriginAreTheSteps) {
  const Lattice lattice(GetParam());
  const auto list = neighbours(lattice, kOrigin);
  EXPECT_EQ(as_vector(list), std::vector<LatticePoint>(lattice.steps.begin(), lattice.steps.end()));
}

TEST_P(LatticeTest, ConformationKeepsConsecutivePointsArcLengthApart) {
  const Lattice lattice(GetParam());
  const double scale = lattice_scale(lattice, 3.8);
  LatticeWalk walk{kOrigin};
  for (std::size_t i = 0; i < lattice.steps.size(); ++i) walk.push_back(neighbours(lattice, walk.back())[i]);
  const Conformation c = to_conformation(walk, scale);
  ASSERT_EQ(c.size(), walk.size());
  EXPECT_EQ(c[0], (Point{0, 0, 0}));
  for (std::size_t i = 1; i < c.size(); ++i) {
    EXPECT_NEAR(std::hypot(c[i].x - c[i - 1].x, c[i].y - c[i - 1].y, c[i].z - c[i - 1].z), 3.8, 1e-12);
  }
}

INSTANTIATE_TEST_SUITE_P(AllLattices, LatticeTest, ::testing::ValuesIn(kAllLattices),
                         [](const auto& test) { return lattice_label(test.param); });

TEST(TetrahedralNeighbours, OddPointStepsAlongNegatedVectors) {
  const Lattice lattice(LatticeKind::tetrahedral);
  EXPECT_EQ(as_vector(neighbours(lattice, {-1, 1, 1})),
            (std::vector<LatticePoint>{{0, 0, 0}, {-2, 2, 0}, {-2, 0, 2}, {0, 2, 2}}));
  // A negative odd coordinate sum is odd too.
  EXPECT_EQ(as_vector(neighbours(lattice, {-1, 0, 0})),
            (std::vector<LatticePoint>{{0, -1, -1}, {-2, 1, -1}, {-2, -1, 1}, {0, 1, 1}}));
  // A negative even sum is even.
  EXPECT_EQ(as_vector(neighbours(lattice, {-1, -1, 0})),
            (std::vector<LatticePoint>{{-2, 0, 1}, {0, -2, 1}, {0, 0, -1}, {-2, -2, -1}}));
}

TEST(CubicLikeNeighbours, AddTheStepsEverywhere) {
  for (const LatticeKind kind : {LatticeKind::fcc, LatticeKind::bcc, LatticeKind::cubic}) {
    const Lattice lattice(kind);
    const LatticePoint p{-1, 0, 0};
    const auto list = neighbours(lattice, p);
    ASSERT_EQ(list.size(), lattice.steps.size());
    for (std::size_t i = 0; i < list.size(); ++i) EXPECT_EQ(list[i], p + lattice.steps[i]);
  }
}

struct ScaleCase {
  LatticeKind kind;
  double arc_length;
  double expected;
};

class LatticeScaleTest : public ::testing::TestWithParam<ScaleCase> {};

TEST_P(LatticeScaleTest, PutsStepsArcLengthApart) {
  const auto& c = GetParam();
  EXPECT_DOUBLE_EQ(lattice_scale(Lattice(c.kind), c.arc_length), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Table, LatticeScaleTest,
                         ::testing::Values(ScaleCase{LatticeKind::cubic, 1.0, 1.0},
                                           ScaleCase{LatticeKind::fcc, 1.0, 1.0 / std::sqrt(2.0)},
                                           ScaleCase{LatticeKind::tetrahedral, 3.8, 2.193931022920578},
                                           ScaleCase{LatticeKind::bcc, 3.8, 2.193931022920578},
                                           ScaleCase{LatticeKind::fcc, 3.8, 2.68700576850888},
                                           ScaleCase{LatticeKind::cubic, 3.8, 3.8},
                                           ScaleCase{LatticeKind::cubic, 0.0, 0.0}));

TEST(ToConformation, EmptyAndSinglePointWalks) {
  EXPECT_TRUE(to_conformation(LatticeWalk{}, 3.8).empty());
  EXPECT_EQ(to_conformation(LatticeWalk{kOrigin}, 3.8), (Conformation{{0, 0, 0}}));
}

TEST(ToConformation, ArcLengthIsUsedUnchanged) {
  const LatticeWalk walk{{0, 0, 0}, {1, 1, 0}, {2, 1, 1}};
  for (const Point& p : to_conformation(walk, 0.0)) EXPECT_EQ(p, (Point{0, 0, 0}));
  const Conformation positive = to_conformation(walk, 2.5), negative = to_conformation(walk, -2.5);
  for (std::size_t i = 0; i < walk.size(); ++i) {
    EXPECT_EQ(negative[i], (Point{-positive[i].x, -positive[i].y, -positive[i].z}));
  }
}

TEST(ToConformation, ReusedBufferShrinksAndGrows) {
  Conformation buffer(10, Point{9, 9, 9});
  to_conformation(LatticeWalk{kOrigin, {1, 0, 0}}, 2.0, buffer);
  EXPECT_EQ(buffer, (Conformation{{0, 0, 0}, {2, 0, 0}}));
}

TEST(RandomElement, DrawsEveryElementOfTheGroup) {
  Rng rng = Rng::seeded(11);
  std::vector<int> hits(48, 0);
  for (int i = 0; i < 48 * 200; ++i) {
    const Symmetry& s = random_element(kCubeGroup, rng);
    hits[std::size_t(&s - kCubeGroup.data())]++;
  }
  for (std::size_t k = 0; k < hits.size(); ++k) EXPECT_GT(hits[k], 100) << "element " << k;
}

}  // namespace
}  // namespace tarvex
