// Tests of the lattice fit's running-sum RMSD of prefixes, the placement by dynamic programming and the beam's
// diversity.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "tarvex/search/placement.hpp"
#include "tarvex/search/prefix.hpp"
#include "tarvex/search/superpose.hpp"
#include "tarvex/walks/lattice.hpp"
#include "tarvex/walks/walk_enumerator.hpp"
#include "walk_testing.hpp"

namespace tarvex {
namespace {

using testing::kAllLattices;
using testing::lattice_label;

// A bent walk (not necessarily self-avoiding: the sums do not care) and an
// off-lattice target: a noisy helix, in lattice units.
template <LatticeKind K>
LatticeWalk bent_walk(std::size_t n) {
  LatticeWalk walk{kOrigin};
  std::uint64_t state = 12345;
  while (walk.size() < n) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    walk.push_back(neighbour<K>(walk.back(), std::size_t(state >> 33) % coordination(K)));
  }
  return walk;
}

Conformation helix(std::size_t n) {
  Conformation c;
  for (std::size_t i = 0; i < n; ++i) {
    const double a = 1.7 * double(i);
    c.push_back({1.6 * std::cos(a) + 0.3 * std::sin(7.0 * a), 1.6 * std::sin(a), 0.9 * double(i)});
  }
  return c;
}

class FitTest : public ::testing::TestWithParam<LatticeKind> {};

// The running sums give every prefix's residual as the explicit superposition
// of that prefix does: the branch and bound cuts on these values, so an error
// would cut the optimum away.
TEST_P(FitTest, PrefixResidualsEqualTheSuperpositionOfEachPrefix) {
  with_lattice(GetParam(), [](auto kc) {
    constexpr LatticeKind K = decltype(kc)::value;
    const std::size_t n = 40;
    const LatticeWalk walk = bent_walk<K>(n);
    const Conformation model = helix(n);
    const search::PrefixTarget prefixes(search::make_target(model, 1.0));
    search::PrefixSums sums;
    search::PrefixResiduals residuals;
    for (std::size_t m = 1; m <= n; ++m) {
      sums = sums.extended(walk[m - 1], prefixes.points[m - 1]);
      residuals.add(sums, prefixes, m);
    }
    const std::span<const double> got = residuals.compute();
    for (std::size_t m = 2; m <= n; ++m) {
      const search::Target t = search::make_target(std::span<const Point>(model).first(m), 1.0);
      const double want = search::superpose(std::span<const LatticePoint>(walk).first(m), t).residual;
      EXPECT_NEAR(got[m - 1], want, 2e-8 * (want + 1)) << "prefix " << m;
    }
  });
}

// The placement is the closest walk in the fixed frame: no walk of the lattice
// near the target does better, and a target that is a walk gives that walk.
TEST_P(FitTest, PlacementIsTheClosestWalkInItsFrame) {
  with_lattice(GetParam(), [](auto kc) {
    constexpr LatticeKind K = decltype(kc)::value;
    const double step = 1 / lattice_scale(Lattice(K), 1.0);
    search::Placement<K> placement(1.5 * step);
    const LatticeWalk exact = bent_walk<K>(7);
    std::vector<Point> u;
    for (const LatticePoint& p : exact) u.push_back({p.x + 0.01, p.y - 0.02, p.z + 0.03});
    LatticeWalk walk;
    const double cost = placement.place(u, walk);
    if (cost != search::kClashes) {
      EXPECT_EQ(walk, exact);
    }
    // Every walk from the placed walk's start is at least as far from u (the
    // helix's points are about a step apart, so the closest walk stays near it).
    const Conformation model = helix(7);
    const double f = step / 2.56;
    for (std::size_t i = 0; i < 7; ++i) u[i] = {model[i].x * f, model[i].y * f, model[i].z * f};
    ASSERT_LT(placement.place(u, walk), search::kUnreachable);
    // Walks from the origin moved to an odd diamond site would step the wrong way.
    if (K == LatticeKind::tetrahedral && is_odd(walk[0])) return;
    const auto distance = [&](std::span<const LatticePoint> w, LatticePoint shift) {
      double total = 0;
      for (std::size_t i = 0; i < w.size(); ++i) {
        const double dx = w[i].x + shift.x - u[i].x, dy = w[i].y + shift.y - u[i].y, dz = w[i].z + shift.z - u[i].z;
        total += (dx * dx + dy * dy) + dz * dz;
      }
      return total;
    };
    const double found = distance(walk, kOrigin);
    WalkEnumerator<K> all(7);
    while (const LatticeWalk* w = all.next()) EXPECT_GE(distance(*w, walk[0]) + 1e-9, found);
  });
}

// The beam's diversity only reorders what it keeps: a cap no tail reaches
// (per_tail at the width, or tails as long as the chain, which no two walks
// share) leaves the plain beam's walk, and the tightest cap (one prefix per
// tip site, the width filled from the skipped) still grows a walk.
TEST_P(FitTest, BeamDiversityKeepsThePlainBeamUntilItCaps) {
  with_lattice(GetParam(), [](auto kc) {
    constexpr LatticeKind K = decltype(kc)::value;
    const std::size_t n = 30, width = 64;
    const double f = 1 / (2.56 * lattice_scale(Lattice(K), 1.0));
    Conformation model = helix(n);
    for (Point& p : model) p = {p.x * f, p.y * f, p.z * f};
    const std::vector<search::Target> targets{search::make_target(model, 1.0)};
    Poll poll;
    const auto plain = search::prefix_beam<K>(targets, width, poll);
    ASSERT_TRUE(plain);
    EXPECT_EQ(search::prefix_beam<K>(targets, width, poll, {}, {3, width}), plain);
    EXPECT_EQ(search::prefix_beam<K>(targets, width, poll, {}, {n, 1}), plain);
    const auto capped = search::prefix_beam<K>(targets, width, poll, {}, {1, 1});
    ASSERT_TRUE(capped);
    ASSERT_EQ(capped->size(), n);
    EXPECT_EQ((*capped)[0], kOrigin);
    PointSet seen;
    seen.reset(n);
    for (std::size_t i = 0; i < n; ++i) {
      EXPECT_TRUE(seen.insert((*capped)[i])) << "point " << i << " repeats";
      if (i == 0) continue;
      bool step = false;
      for (std::size_t k = 0; k < coordination(K); ++k)
        step = step || neighbour<K>((*capped)[i - 1], k) == (*capped)[i];
      EXPECT_TRUE(step) << "point " << i << " is no step from the last";
    }
  });
}

INSTANTIATE_TEST_SUITE_P(Lattices, FitTest, ::testing::ValuesIn(kAllLattices),
                         [](const auto& info) { return lattice_label(info.param); });

}  // namespace
}  // namespace tarvex
