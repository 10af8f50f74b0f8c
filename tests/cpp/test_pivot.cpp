// Tests of the pivot sampler: invariants, move decisions, spacing and edge lengths.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <tuple>
#include <vector>

#include "pivot_array.hpp"
#include "reference_pivot.hpp"
#include "tarvex/fail.hpp"
#include "tarvex/poll.hpp"
#include "tarvex/walks/pivot.hpp"
#include "tarvex/walks/pivot_pairwise.hpp"
#include "tarvex/walks/saw_tree.hpp"
#include "tarvex/walks/signed_permutation.hpp"
#include "testing/peer.hpp"
#include "walk_testing.hpp"

namespace tarvex {
namespace {

using testing::is_valid_walk;
using testing::kAllLattices;
using testing::lattice_label;
using testing::PivotArray;
using testing::ReferencePivotSampler;

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
                           return lattice_label(std::get<0>(test.param)) + "_" +
                                  std::to_string(std::get<1>(test.param));
                         });

class PivotTest : public ::testing::TestWithParam<LatticeKind> {};

// The decision and the new walk must be those of transforming the whole tail
// and testing the whole walk, with the array and with the tree.
TEST_P(PivotTest, MoveIsAcceptedExactlyWhenTheTransformedWalkIsSelfAvoiding) {
  on_lattice(GetParam(), [&]<LatticeKind K>() {
    for (std::size_t n : {std::size_t{4}, std::size_t{30}, std::size_t{160}, kPivotTreeFrom + 7}) {
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
        const bool self_avoiding = !has_repeat_hashed(expected);
        ASSERT_EQ(testing::Peer::try_pivot_at(sampler, site, s), self_avoiding) << "n = " << n << ", site " << site;
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

// The chain is the first sampler's, draw for draw: same decisions, same
// spacing, the same walk after thermalization and at every sample, and the
// generator left at the same place. Lengths straddle the switch to the tree.
TEST_P(PivotTest, RunsTheSameChainAsTheFirstSampler) {
  on_lattice(GetParam(), [&]<LatticeKind K>() {
    for (std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{20},
                          std::size_t{100}, kPivotTreeFrom - 1, kPivotTreeFrom, std::size_t{3000}}) {
      Poll poll;
      Rng rng = Rng::seeded(n + 17), reference_rng = Rng::seeded(n + 17);
      const std::uint64_t factor = n < kPivotTreeFrom ? 10 : 2;
      PivotSampler<K> sampler(n, rng, factor, 10, poll);
      ReferencePivotSampler<K> reference(n, reference_rng, factor, 10, poll);
      const double ratio = sampler.accept_reject_ratio(), expected = reference.accept_reject_ratio();
      ASSERT_TRUE(ratio == expected || (std::isnan(ratio) && std::isnan(expected))) << "n = " << n;
      ASSERT_EQ(testing::Peer::attempts_per_sample(sampler), reference.attempts_per_sample()) << "n = " << n;
      ASSERT_EQ(sampler.walk(), reference.walk()) << "n = " << n;
      const int samples = n < kPivotTreeFrom ? 300 : 40;
      for (int i = 0; i < samples; ++i)
        ASSERT_EQ(sampler.next_sample(), reference.next_sample()) << "n = " << n << ", sample " << i;
      EXPECT_EQ(rng.next(), reference_rng.next()) << "n = " << n;
    }
  });
}

// The same, length by length: the pairwise form's blocks and groups of
// eight fill and overflow as n grows, the moving side switches at the middle,
// and the tree takes over at kPivotTreeFrom. Samples come from the batched
// moves, which draw inside the kernel.
TEST_P(PivotTest, RunsTheSameChainAsTheFirstSamplerAtEveryLengthAroundASwitch) {
  on_lattice(GetParam(), [&]<LatticeKind K>() {
    std::vector<std::size_t> lengths;
    for (std::size_t n = 2; n <= 40; ++n) lengths.push_back(n);
    for (std::size_t n = kPivotTreeFrom - 3; n <= kPivotTreeFrom + 2; ++n) lengths.push_back(n);
    for (std::size_t n : lengths) {
      Poll poll;
      Rng rng = Rng::seeded(n + 99), reference_rng = Rng::seeded(n + 99);
      PivotSampler<K> sampler(n, rng, 2, 3, poll);
      ReferencePivotSampler<K> reference(n, reference_rng, 2, 3, poll);
      ASSERT_EQ(testing::Peer::attempts_per_sample(sampler), reference.attempts_per_sample()) << "n = " << n;
      for (int i = 0; i < 20; ++i)
        ASSERT_EQ(sampler.next_sample(), reference.next_sample()) << "n = " << n << ", sample " << i;
      EXPECT_EQ(rng.next(), reference_rng.next()) << "n = " << n;
    }
  });
}

// The portable build of the pairwise kernel runs the chain of the best one
// (AVX2 where the processor has it), batched draws included.
TEST_P(PivotTest, PortableAndBestPairwiseKernelsRunTheSameChain) {
  on_lattice(GetParam(), [&]<LatticeKind K>() {
    std::vector<SignedPermutation> codes;
    for (const Symmetry& s : group_of<K>()) codes.push_back(signed_permutation(s));
    for (std::size_t n : {std::size_t{5}, std::size_t{20}, std::size_t{105}, kPivotTreeFrom - 1}) {
      const LatticeWalk straight = straight_walk(Lattice(K), n);
      PivotPairwise best(straight), portable(straight, PivotPairwise::Kernel::portable);
      Poll poll;
      Rng best_rng = Rng::seeded(n), portable_rng = Rng::seeded(n);
      LatticeWalk a, b;
      for (int round = 0; round < 20; ++round) {
        best.run(200, best_rng, poll, codes);
        portable.run(200, portable_rng, poll, codes);
        best.write(a);
        portable.write(b);
        ASSERT_EQ(a, b) << "n = " << n << ", round " << round;
        ASSERT_TRUE(is_valid_walk(K, a, n)) << "n = " << n << ", round " << round;
      }
      EXPECT_EQ(best_rng.next(), portable_rng.next()) << "n = " << n;
    }
  });
}

// Every form of the chain against the move written out in full, on every
// short length, where the array switches sides, the pairwise test fills its
// first blocks of eight and the tree cuts its smallest shapes: same
// decision, same walk, and a rejection keeps it. The array may also start
// `shift` away, to see its coordinates wrap exactly.
template <LatticeKind K, class Chain, class... Options>
void check_against_full_moves(std::size_t n, std::uint64_t seed, LatticePoint shift = kOrigin, Options... options) {
  Rng rng = Rng::seeded(seed);
  const SymmetryGroup group = group_of<K>();
  LatticeWalk expected = straight_walk(Lattice(K), n), written, start = expected;
  for (LatticePoint& p : start) p = p + shift;
  Chain chain(start, options...);
  for (int attempt = 0; attempt < 2000; ++attempt) {
    const auto site = std::size_t(rng.uniform(0, n - 1));
    const Symmetry& s = group[rng.uniform(0, group.size())];
    LatticeWalk moved = expected;
    for (std::size_t j = site + 1; j < n; ++j) moved[j] = apply_about(s, expected[site], expected[j]);
    const bool self_avoiding = !has_repeat_hashed(moved);
    ASSERT_EQ(chain.try_pivot(site, signed_permutation(s)), self_avoiding) << "n = " << n << ", attempt " << attempt;
    if (self_avoiding) expected = moved;
    chain.write(written);
    for (LatticePoint& p : written) p = p - shift;
    ASSERT_EQ(written, expected) << "n = " << n << ", attempt " << attempt;
  }
}

// The pairwise form runs its best kernel and the portable one.
TEST_P(PivotTest, EveryFormMakesExactlyTheFullMove) {
  constexpr auto kPortable = PivotPairwise::Kernel::portable;
  on_lattice(GetParam(), [&]<LatticeKind K>() {
    for (std::size_t n = 2; n <= 40; ++n) {
      check_against_full_moves<K, PivotArray>(n, n);
      check_against_full_moves<K, SawTree>(n, n);
      check_against_full_moves<K, PivotPairwise>(n, n);
      check_against_full_moves<K, PivotPairwise>(n, n, kOrigin, kPortable);
    }
    check_against_full_moves<K, PivotArray>(257, 1);
    check_against_full_moves<K, SawTree>(257, 1);
    check_against_full_moves<K, PivotPairwise>(257, 1);
    check_against_full_moves<K, PivotPairwise>(257, 1, kOrigin, kPortable);
    constexpr std::int32_t kEdge = std::numeric_limits<std::int32_t>::max() - 8;
    check_against_full_moves<K, PivotArray>(30, 2, LatticePoint{kEdge, -kEdge, kEdge});
    check_against_full_moves<K, PivotPairwise>(30, 2, LatticePoint{kEdge, -kEdge, kEdge});
    check_against_full_moves<K, PivotPairwise>(30, 2, LatticePoint{kEdge, -kEdge, kEdge}, kPortable);
  });
}

TEST_P(PivotTest, IdentityMoveIsAcceptedAndChangesNothing) {
  on_lattice(GetParam(), [&]<LatticeKind K>() {
    Poll poll;
    Rng rng = Rng::seeded(1);
    PivotSampler<K> sampler(40, rng, 5, 1, poll);
    const LatticeWalk before = sampler.walk();
    for (std::size_t site = 0; site < 39; ++site)
      EXPECT_TRUE(testing::Peer::try_pivot_at(sampler, site, group_of<K>()[0]));
    EXPECT_EQ(sampler.walk(), before);
  });
}

TEST_P(PivotTest, WithoutThermalizationEverySampleIsTheStraightWalk) {
  on_lattice(GetParam(), [&]<LatticeKind K>() {
    Poll poll;
    Rng rng = Rng::seeded(2);
    PivotSampler<K> sampler(25, rng, 0, 10, poll);
    EXPECT_TRUE(std::isnan(sampler.accept_reject_ratio()));
    EXPECT_EQ(testing::Peer::attempts_per_sample(sampler), 0u);
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
    EXPECT_EQ(testing::Peer::attempts_per_sample(sampler), 2000u);
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
    EXPECT_EQ(testing::Peer::attempts_per_sample(sampler), std::uint64_t(7.0 * ratio));
  });
}

INSTANTIATE_TEST_SUITE_P(AllLattices, PivotTest, ::testing::ValuesIn(kAllLattices),
                         [](const auto& test) { return lattice_label(test.param); });

TEST(SaturatingCount, ClampsNanNegativeAndHuge) {
  EXPECT_EQ(detail::saturating_count(std::nan("")), 0u);
  EXPECT_EQ(detail::saturating_count(-3.0), 0u);
  EXPECT_EQ(detail::saturating_count(2.9), 2u);
  EXPECT_EQ(detail::saturating_count(1e30), ~std::uint64_t{0});
  EXPECT_EQ(detail::saturating_count(INFINITY), ~std::uint64_t{0});
  EXPECT_EQ(detail::saturating_mul(~std::uint64_t{0}, 2), ~std::uint64_t{0});
}

// The byte codes stand for the matrices: products, inverses and images of
// points, over the whole group of 48.
TEST(SignedPermutation, CodesActLikeTheirMatrices) {
  const LatticePoint p{3, -5, 7};
  for (unsigned a = 0; a < kSignedPermutations; ++a) {
    const Symmetry ma = detail::matrix_of(SignedPermutation(a));
    ASSERT_EQ(signed_permutation(ma), a);
    ASSERT_EQ(act(SignedPermutation(a), p), ma * p);
    ASSERT_EQ(compose(SignedPermutation(a), inverse_of(SignedPermutation(a))), 0);
    for (unsigned b = 0; b < kSignedPermutations; ++b) {
      ASSERT_EQ(act(compose(SignedPermutation(a), SignedPermutation(b)), p),
                ma * (detail::matrix_of(SignedPermutation(b)) * p));
    }
  }
  EXPECT_THROW(signed_permutation(Symmetry{{1, 1, 0, 0, 1, 0, 0, 0, 1}}), Panic);
}

TEST(PivotSite, OutsideTheWalkIsAnInternalFault) {
  Poll poll;
  Rng rng = Rng::seeded(8);
  PivotSampler<LatticeKind::cubic> sampler(5, rng, 1, 1, poll);
  const LatticeWalk before = sampler.walk();
  EXPECT_TRUE(testing::Peer::try_pivot_at(sampler, 4, kCubeGroup[7]));  // the last point: nothing moves
  EXPECT_THROW(testing::Peer::try_pivot_at(sampler, 5, kCubeGroup[7]), Panic);
  EXPECT_EQ(sampler.walk(), before);
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
