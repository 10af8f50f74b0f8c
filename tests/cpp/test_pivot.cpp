// Tests of the pivot sampler: invariants, move decisions, spacing and edge lengths.
#include <gtest/gtest.h>

#include <cmath>
#include <tuple>
#include <vector>

#include "tarvex/fail.hpp"
#include "tarvex/poll.hpp"
#include "tarvex/walks/pivot.hpp"
#include "walk_testing.hpp"

namespace tarvex {
namespace {

using testing::is_valid_walk;
using testing::kAllLattices;
using testing::lattice_name;

template <class F>
void on_lattice(LatticeKind kind, F&& f) {
  with_lattice(kind, [&](auto kc) { f.template operator()<decltype(kc)::value>(); });
}

class PivotLengthTest : public ::testing::TestWithParam<std::tuple<LatticeKind, std::size_t>> {};

TEST_P(PivotLengthTest, EverySampleIsAValidWalk) {
  const auto [kind, n] = GetParam();
  on_lattice(kind, [&]<LatticeKind K>() {
    Poll poll;
    Rng rng = Rng::seeded(n * 31 + std::size_t(K));
    PivotSampler<K> sampler(n, rng, 10, 10, poll);
    for (int i = 0; i < 30; ++i) ASSERT_TRUE(is_valid_walk(K, sampler.next_sample(), n)) << "sample " << i;
  });
}

INSTANTIATE_TEST_SUITE_P(AllLattices, PivotLengthTest,
                         ::testing::Combine(::testing::ValuesIn(kAllLattices),
                                            ::testing::Values(0, 1, 2, 3, 50, 51, 99, 100, 101)),
                         [](const auto& test) {
                           return lattice_name(std::get<0>(test.param)) + "_" +
                                  std::to_string(std::get<1>(test.param));
                         });

class PivotTest : public ::testing::TestWithParam<LatticeKind> {};

// The decision and the new walk must be those of transforming the whole tail
// and testing the whole walk, on both sides of the hashed-test threshold.
TEST_P(PivotTest, MoveIsAcceptedExactlyWhenTheTransformedWalkIsSelfAvoiding) {
  on_lattice(GetParam(), [&]<LatticeKind K>() {
    for (std::size_t n : {4, 30, 99, 100, 160}) {
      Poll poll;
      Rng rng = Rng::seeded(n);
      PivotSampler<K> sampler(n, rng, 2, 1, poll);
      int accepted = 0, rejected = 0;
      for (int attempt = 0; attempt < 3000; ++attempt) {
        const LatticeWalk before = sampler.walk();
        const auto site = std::size_t(rng.uniform(0, n - 1));
        const Symmetry& s = random_element(group_of<K>(), rng);
        LatticeWalk expected = before;
        for (std::size_t j = site + 1; j < n; ++j) expected[j] = apply_about(s, before[site], before[j]);
        const bool self_avoiding = !has_repeat_pairwise(expected);
        ASSERT_EQ(sampler.try_pivot_at(site, s), self_avoiding) << "n = " << n << ", site " << site;
        // A rejected move leaves the walk exactly as it was.
        ASSERT_EQ(sampler.walk(), self_avoiding ? expected : before);
        (self_avoiding ? accepted : rejected)++;
      }
      EXPECT_GT(accepted, 0);
      if (n > 4) {
        EXPECT_GT(rejected, 0);
      }
    }
  });
}

TEST_P(PivotTest, IdentityMoveIsAcceptedAndChangesNothing) {
  on_lattice(GetParam(), [&]<LatticeKind K>() {
    Poll poll;
    Rng rng = Rng::seeded(1);
    PivotSampler<K> sampler(40, rng, 5, 1, poll);
    const LatticeWalk before = sampler.walk();
    for (std::size_t site = 0; site < 39; ++site) EXPECT_TRUE(sampler.try_pivot_at(site, group_of<K>()[0]));
    EXPECT_EQ(sampler.walk(), before);
  });
}

TEST_P(PivotTest, WithoutThermalizationEverySampleIsTheStraightWalk) {
  on_lattice(GetParam(), [&]<LatticeKind K>() {
    Poll poll;
    Rng rng = Rng::seeded(2);
    PivotSampler<K> sampler(25, rng, 0, 10, poll);
    EXPECT_TRUE(std::isnan(sampler.accept_reject_ratio()));
    EXPECT_EQ(sampler.attempts_per_sample(), 0u);
    const LatticeWalk straight = straight_walk(Lattice(K), 25);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(sampler.next_sample(), straight);
  });
}

TEST_P(PivotTest, WithoutSpacingEverySampleIsTheThermalizedWalk) {
  on_lattice(GetParam(), [&]<LatticeKind K>() {
    Poll poll;
    Rng rng = Rng::seeded(3);
    PivotSampler<K> sampler(25, rng, 10, 0, poll);
    const LatticeWalk thermalized = sampler.walk();
    EXPECT_NE(thermalized, straight_walk(Lattice(K), 25));
    for (int i = 0; i < 5; ++i) EXPECT_EQ(sampler.next_sample(), thermalized);
  });
}

// A one-point walk has no pivot site: no draw at all, and always the origin.
TEST_P(PivotTest, OnePointWalkNeverDraws) {
  on_lattice(GetParam(), [&]<LatticeKind K>() {
    Poll poll;
    Rng rng = Rng::seeded(4), reference = Rng::seeded(4);
    PivotSampler<K> sampler(1, rng, 10, 10, poll);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(sampler.next_sample(), LatticeWalk{kOrigin});
    EXPECT_FALSE(sampler.try_pivot());
    EXPECT_EQ(rng.next(), reference.next());
  });
}

// Every move of a two-point walk is accepted; the rejections count as one.
TEST_P(PivotTest, TwoPointWalkKeepsAFiniteSpacing) {
  on_lattice(GetParam(), [&]<LatticeKind K>() {
    Poll poll;
    Rng rng = Rng::seeded(5);
    PivotSampler<K> sampler(2, rng, 100, 10, poll);
    EXPECT_EQ(sampler.accept_reject_ratio(), 200.0);
    EXPECT_EQ(sampler.attempts_per_sample(), 2000u);
    EXPECT_TRUE(is_valid_walk(K, sampler.next_sample(), 2));
  });
}

TEST_P(PivotTest, SpacingIsFactorTimesAcceptedPerRejected) {
  on_lattice(GetParam(), [&]<LatticeKind K>() {
    Poll poll;
    Rng rng = Rng::seeded(6);
    PivotSampler<K> sampler(60, rng, 10, 7, poll);
    const double ratio = sampler.accept_reject_ratio();
    EXPECT_TRUE(std::isfinite(ratio));
    EXPECT_GT(ratio, 0.5);
    EXPECT_EQ(sampler.attempts_per_sample(), std::uint64_t(7.0 * ratio));
  });
}

INSTANTIATE_TEST_SUITE_P(AllLattices, PivotTest, ::testing::ValuesIn(kAllLattices),
                         [](const auto& test) { return lattice_name(test.param); });

TEST(SaturatingCount, ClampsNanNegativeAndHuge) {
  EXPECT_EQ(detail::saturating_count(std::nan("")), 0u);
  EXPECT_EQ(detail::saturating_count(-3.0), 0u);
  EXPECT_EQ(detail::saturating_count(2.9), 2u);
  EXPECT_EQ(detail::saturating_count(1e30), ~std::uint64_t{0});
  EXPECT_EQ(detail::saturating_count(INFINITY), ~std::uint64_t{0});
  EXPECT_EQ(detail::saturating_mul(~std::uint64_t{0}, 2), ~std::uint64_t{0});
}

int interrupt_checks = 0;
void interrupt_after_three() {
  if (++interrupt_checks >= 3) throw Interrupted();
}

TEST(PivotThermalization, CanBeInterrupted) {
  interrupt_checks = 0;
  Poll poll(&interrupt_after_three);
  Rng rng = Rng::seeded(7);
  EXPECT_THROW((PivotSampler<LatticeKind::cubic>(200, rng, ~std::uint64_t{0}, 10, poll)), Interrupted);
  EXPECT_EQ(interrupt_checks, 3);
}

}  // namespace
}  // namespace tarvex
