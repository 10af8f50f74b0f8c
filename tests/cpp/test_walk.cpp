// Tests of straight and random walks, the repeat tests and the enumerator.
#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <tuple>
#include <vector>

#include "panic_message.hpp"
#include "tarvex/walks/lattice.hpp"
#include "tarvex/walks/point_set.hpp"
#include "tarvex/walks/random.hpp"
#include "tarvex/walks/straight_walk.hpp"
#include "tarvex/walks/walk_enumerator.hpp"
#include "testing/peer.hpp"
#include "walk_testing.hpp"

namespace tarvex {
namespace {

using testing::is_valid_walk;
using testing::kAllLattices;
using testing::lattice_label;
using testing::panic_message;

TEST(StraightWalk, ShortWalks) {
  EXPECT_TRUE(straight_walk(Lattice(LatticeKind::cubic), 0).empty());
  EXPECT_EQ(straight_walk(Lattice(LatticeKind::bcc), 1), LatticeWalk{kOrigin});
  EXPECT_EQ(straight_walk(Lattice(LatticeKind::tetrahedral), 5),
            (LatticeWalk{{0, 0, 0}, {1, -1, 1}, {2, -2, 0}, {3, -3, 1}, {4, -4, 0}}));
  EXPECT_EQ(straight_walk(Lattice(LatticeKind::fcc), 3), (LatticeWalk{{0, 0, 0}, {1, 1, 0}, {2, 2, 0}}));
  EXPECT_EQ(straight_walk(Lattice(LatticeKind::bcc), 3), (LatticeWalk{{0, 0, 0}, {1, 1, 1}, {2, 2, 2}}));
  EXPECT_EQ(straight_walk(Lattice(LatticeKind::cubic), 3), (LatticeWalk{{0, 0, 0}, {1, 0, 0}, {2, 0, 0}}));
}

class WalkTest : public ::testing::TestWithParam<LatticeKind> {};

TEST_P(WalkTest, StraightWalkIsValid) {
  for (std::size_t n : {0, 1, 2, 7, 100})
    EXPECT_TRUE(is_valid_walk(GetParam(), straight_walk(Lattice(GetParam()), n), n));
}

TEST_P(WalkTest, RandomWalkStepsToNeighbours) {
  const Lattice lattice(GetParam());
  Rng rng = Rng::seeded(3);
  EXPECT_TRUE(random_walk(lattice, 0, rng).empty());
  EXPECT_EQ(random_walk(lattice, 1, rng), LatticeWalk{kOrigin});
  for (int trial = 0; trial < 50; ++trial) {
    const LatticeWalk walk = random_walk(lattice, 30, rng);
    ASSERT_EQ(walk.size(), 30u);
    for (std::size_t i = 1; i < walk.size(); ++i) {
      const auto list = neighbours(lattice, walk[i - 1]);
      EXPECT_NE(std::find(list.begin(), list.end(), walk[i]), list.end());
    }
  }
}

// Random walks repeat points often, so both answers occur at every size.
TEST_P(WalkTest, RepeatTestsAgreeOnRandomWalks) {
  const Lattice lattice(GetParam());
  Rng rng = Rng::seeded(5);
  int repeats = 0, clean = 0;
  for (std::size_t n : {0, 1, 2, 3, 4, 5, 8, 13, 30, 64, 99, 100, 101, 150, 300}) {
    for (int trial = 0; trial < 40; ++trial) {
      const LatticeWalk walk = random_walk(lattice, n, rng);
      const bool pairwise = has_repeat_pairwise(walk);
      ASSERT_EQ(pairwise, has_repeat_hashed(walk)) << "n = " << n;
      (pairwise ? repeats : clean)++;
      // The incremental test of each new point adds up to the whole-walk test.
      bool any = false;
      for (std::size_t k = 1; k <= walk.size(); ++k) any = any || !last_is_new(std::span(walk).first(k));
      EXPECT_EQ(any, pairwise);
    }
  }
  EXPECT_GT(repeats, 0);
  EXPECT_GT(clean, 0);
}

// The sublattice-aware check must give the same answer as last_is_new for every
// extension of a self-avoiding prefix.
TEST_P(WalkTest, SublatticeAwareNewPointTestMatchesLastIsNew) {
  with_lattice(GetParam(), [](auto kc) {
    constexpr LatticeKind K = decltype(kc)::value;
    Rng rng = Rng::seeded(9);
    for (int trial = 0; trial < 300; ++trial) {
      LatticeWalk walk{kOrigin};
      while (walk.size() < 40) {
        const LatticePoint p = neighbour<K>(walk.back(), rng.uniform(0, coordination(K)));
        LatticeWalk extended = walk;
        extended.push_back(p);
        const bool is_new = last_is_new(extended);
        ASSERT_EQ(is_new_at<K>(walk.data(), walk.size(), p), is_new);
        if (!is_new) break;
        walk = std::move(extended);
      }
    }
  });
}

TEST_P(WalkTest, EnumeratedWalksAreValidAndDistinct) {
  with_lattice(GetParam(), [](auto kc) {
    constexpr LatticeKind K = decltype(kc)::value;
    const std::size_t n = K == LatticeKind::fcc ? 4 : 6;
    WalkEnumerator<K> enumerator(n);
    std::set<std::vector<std::tuple<int, int, int>>> seen;
    std::size_t count = 0;
    while (const LatticeWalk* walk = enumerator.next()) {
      ASSERT_TRUE(is_valid_walk(K, *walk, n));
      std::vector<std::tuple<int, int, int>> key;
      for (const auto& p : *walk) key.emplace_back(p.x, p.y, p.z);
      seen.insert(key);
      ++count;
    }
    EXPECT_EQ(seen.size(), count);
  });
}

TEST_P(WalkTest, EnumeratorStaysExhausted) {
  with_lattice(GetParam(), [](auto kc) {
    constexpr LatticeKind K = decltype(kc)::value;
    for (std::size_t n : {0, 1, 2, 3}) {
      WalkEnumerator<K> enumerator(n);
      while (enumerator.next() != nullptr) {
      }
      EXPECT_TRUE(testing::Peer::exhausted(enumerator));
      for (int i = 0; i < 3; ++i) EXPECT_EQ(enumerator.next(), nullptr);
    }
  });
}

TEST_P(WalkTest, EnumerationOfNoPointsYieldsOneEmptyWalk) {
  with_lattice(GetParam(), [](auto kc) {
    WalkEnumerator<decltype(kc)::value> enumerator(0);
    const LatticeWalk* first = enumerator.next();
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(first->empty());
    EXPECT_EQ(enumerator.next(), nullptr);
  });
}

TEST_P(WalkTest, EnumerationOfOnePointYieldsTheOrigin) {
  with_lattice(GetParam(), [](auto kc) {
    WalkEnumerator<decltype(kc)::value> enumerator(1);
    const LatticeWalk* first = enumerator.next();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(*first, LatticeWalk{kOrigin});
    EXPECT_EQ(enumerator.next(), nullptr);
  });
}

// The parallel minimization relies on it: the subtrees of the prefixes of any
// length, taken in the order the prefixes are enumerated, are the whole
// enumeration in its order.
TEST_P(WalkTest, SubtreesInPrefixOrderAreTheWholeEnumeration) {
  with_lattice(GetParam(), [](auto kc) {
    constexpr LatticeKind K = decltype(kc)::value;
    const std::size_t n = K == LatticeKind::fcc ? 5 : 7;
    std::vector<LatticeWalk> whole;
    WalkEnumerator<K> all(n);
    while (const LatticeWalk* walk = all.next()) whole.push_back(*walk);
    for (std::size_t d = 1; d < n; ++d) {
      std::vector<LatticeWalk> joined;
      WalkEnumerator<K> prefixes(d);
      while (const LatticeWalk* prefix = prefixes.next()) {
        WalkEnumerator<K> subtree(n, *prefix);
        while (const LatticeWalk* walk = subtree.next()) joined.push_back(*walk);
        EXPECT_EQ(subtree.next(), nullptr);
      }
      EXPECT_EQ(joined, whole) << "prefix length " << d;
    }
  });
}

INSTANTIATE_TEST_SUITE_P(AllLattices, WalkTest, ::testing::ValuesIn(kAllLattices),
                         [](const auto& test) { return lattice_label(test.param); });

TEST(RepeatTests, SmallWalks) {
  const LatticeWalk back_to_origin{{0, 0, 0}, {1, 0, 0}, {0, 0, 0}};
  EXPECT_TRUE(has_repeat_pairwise(back_to_origin));
  EXPECT_TRUE(has_repeat_hashed(back_to_origin));
  EXPECT_FALSE(last_is_new(back_to_origin));
  for (const LatticeWalk& w : {LatticeWalk{}, LatticeWalk{kOrigin}}) {
    EXPECT_FALSE(has_repeat_pairwise(w));
    EXPECT_FALSE(has_repeat_hashed(w));
    EXPECT_TRUE(last_is_new(w));
  }
}

TEST(PointSet, ResetForgetsEarlierPointsAndGrows) {
  PointSet set;
  for (std::size_t round = 0; round < 1000; ++round) {
    const std::size_t n = round % 7 == 0 ? 5000 : 10;
    set.reset(n);
    for (std::int32_t i = 0; i < std::int32_t(n); ++i) {
      const LatticePoint p{i, -i, std::int32_t(round)};
      ASSERT_TRUE(set.insert(p));
      ASSERT_FALSE(set.insert(p));
      ASSERT_TRUE(set.contains(p));
    }
    EXPECT_FALSE(set.contains({0, 0, std::int32_t(round) - 1}));
  }
}

struct CountCase {
  LatticeKind kind;
  std::size_t n;
  std::size_t count;
};

class EnumerationCountTest : public ::testing::TestWithParam<CountCase> {};

TEST_P(EnumerationCountTest, YieldsEverySelfAvoidingWalkOnce) {
  const auto& c = GetParam();
  std::size_t count = with_lattice(c.kind, [&](auto kc) {
    WalkEnumerator<decltype(kc)::value> enumerator(c.n);
    std::size_t k = 0;
    while (enumerator.next() != nullptr) ++k;
    return k;
  });
  EXPECT_EQ(count, c.count);
}

std::vector<CountCase> count_cases() {
  const std::size_t table[6][4] = {{1, 1, 1, 1},         {4, 12, 8, 6},           {12, 132, 56, 30},
                                   {36, 1404, 392, 150}, {108, 14700, 2648, 726}, {324, 152532, 17960, 3534}};
  std::vector<CountCase> out;
  for (std::size_t n = 1; n <= 6; ++n) {
    for (std::size_t k = 0; k < 4; ++k) out.push_back({kAllLattices[k], n, table[n - 1][k]});
  }
  out.push_back({LatticeKind::cubic, 7, 16926});
  out.push_back({LatticeKind::cubic, 8, 81390});
  out.push_back({LatticeKind::cubic, 0, 1});
  return out;
}

INSTANTIATE_TEST_SUITE_P(KnownCounts, EnumerationCountTest, ::testing::ValuesIn(count_cases()), [](const auto& test) {
  return lattice_label(test.param.kind) + "_" + std::to_string(test.param.n);
});

TEST(CubicEnumeration, TwoPointWalksComeHighestStepFirst) {
  WalkEnumerator<LatticeKind::cubic> enumerator(2);
  std::vector<LatticePoint> ends;
  while (const LatticeWalk* walk = enumerator.next()) {
    ASSERT_EQ(walk->size(), 2u);
    ends.push_back((*walk)[1]);
  }
  EXPECT_EQ(ends, (std::vector<LatticePoint>{{0, 0, -1}, {0, -1, 0}, {-1, 0, 0}, {0, 0, 1}, {0, 1, 0}, {1, 0, 0}}));
}

TEST(CubicEnumeration, ThreePointWalksAreDepthFirst) {
  WalkEnumerator<LatticeKind::cubic> enumerator(3);
  std::vector<LatticeWalk> walks;
  while (const LatticeWalk* walk = enumerator.next()) walks.push_back(*walk);
  ASSERT_EQ(walks.size(), 30u);
  EXPECT_EQ(walks[0], (LatticeWalk{{0, 0, 0}, {0, 0, -1}, {0, 0, -2}}));
  EXPECT_EQ(walks[1], (LatticeWalk{{0, 0, 0}, {0, 0, -1}, {0, -1, -1}}));
  EXPECT_EQ(walks[4], (LatticeWalk{{0, 0, 0}, {0, 0, -1}, {1, 0, -1}}));
  EXPECT_EQ(walks[5], (LatticeWalk{{0, 0, 0}, {0, -1, 0}, {0, -1, -1}}));
  EXPECT_EQ(walks[29], (LatticeWalk{{0, 0, 0}, {1, 0, 0}, {2, 0, 0}}));
}

}  // namespace
}  // namespace tarvex

namespace tarvex {
namespace {

struct RangeCase {
  std::uint64_t low, high;
};

class UniformRangeTest : public ::testing::TestWithParam<RangeCase> {};

TEST_P(UniformRangeTest, StaysInTheHalfOpenRangeAndReachesBothEnds) {
  const auto [low, high] = GetParam();
  Rng rng = Rng::seeded(high);
  bool saw_low = false, saw_last = false;
  for (int i = 0; i < 20000; ++i) {
    const std::uint64_t v = rng.uniform(low, high);
    ASSERT_GE(v, low);
    ASSERT_LT(v, high);
    saw_low = saw_low || v == low;
    saw_last = saw_last || v == high - 1;
  }
  if (high - low <= 1000) {
    EXPECT_TRUE(saw_low);
    EXPECT_TRUE(saw_last);
  }
}

INSTANTIATE_TEST_SUITE_P(Ranges, UniformRangeTest,
                         ::testing::Values(RangeCase{5, 6}, RangeCase{0, 3}, RangeCase{0, 11}, RangeCase{7, 55},
                                           RangeCase{std::uint64_t{1} << 63, (std::uint64_t{1} << 63) + 3},
                                           RangeCase{0, ~std::uint64_t{0}}, RangeCase{1, ~std::uint64_t{0}}));

TEST(Rng, EmptyRangeFails) {
  Rng rng = Rng::seeded(1);
  for (const RangeCase c : {RangeCase{0, 0}, RangeCase{3, 3}, RangeCase{4, 3}}) {
    EXPECT_EQ(panic_message([&] { rng.uniform(c.low, c.high); }), "cannot sample empty range")
        << "[" << c.low << ", " << c.high << ")";
  }
}

TEST(Rng, SeededStreamsRepeatAndSystemStreamsDiffer) {
  Rng a = Rng::seeded(99), b = Rng::seeded(99), c = Rng::seeded(100);
  bool differs = false;
  for (int i = 0; i < 3 * int(Rng::kWords); ++i) {
    const std::uint64_t x = a.next();
    ASSERT_EQ(x, b.next());
    differs = differs || x != c.next();
  }
  EXPECT_TRUE(differs);
  Rng d, e;
  EXPECT_NE(d.next(), e.next());
}

// Past the rekeying point the stream goes on and stays balanced.
TEST(Rng, KeepsDrawingAcrossRekeying) {
  Rng rng;
  const std::uint64_t draws = 2 * Rng::kReseedBytes / 8 + 1000;
  std::uint64_t ones = 0;
  for (std::uint64_t i = 0; i < draws; ++i) ones += rng.uniform(0, 2);
  EXPECT_NEAR(double(ones) / double(draws), 0.5, 0.003);
}

TEST(Rng, EveryThreadHasItsOwnGenerator) {
  std::uint64_t here = thread_rng().next(), there = 0;
  Rng* other = nullptr;
  std::thread worker([&] {
    there = thread_rng().next();
    other = &thread_rng();
  });
  worker.join();
  EXPECT_NE(other, &thread_rng());
  EXPECT_NE(here, there);
}

}  // namespace
}  // namespace tarvex
