// Tests of the dimerization sampler: invariants and exact uniformity, and pivot agreement.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "tarvex/poll.hpp"
#include "tarvex/walks/dimerize.hpp"
#include "tarvex/walks/pivot.hpp"
#include "testing/peer.hpp"
#include "walk_testing.hpp"

namespace tarvex {
namespace {

using testing::is_valid_walk;
using testing::kAllLattices;
using testing::lattice_label;
using testing::squared_end_to_end;

template <class F>
void on_lattice(LatticeKind kind, F&& f) {
  with_lattice(kind, [&](auto kc) { f.template operator()<decltype(kc)::value>(); });
}

// The walk's bytes: LatticePoint has no padding, so equal walks give equal keys.
std::string key_of(const LatticeWalk& walk) {
  return std::string(reinterpret_cast<const char*>(walk.data()), walk.size() * sizeof(LatticePoint));
}

struct Moments {
  double mean, variance;
};

template <LatticeKind K>
Moments exact_squared_end_to_end(std::size_t n) {
  WalkEnumerator<K> enumerator(n);
  double sum = 0, sum_sq = 0, count = 0;
  while (const LatticeWalk* walk = enumerator.next()) {
    const double r2 = double(squared_end_to_end(*walk));
    sum += r2;
    sum_sq += r2 * r2;
    ++count;
  }
  const double mean = sum / count;
  return {mean, sum_sq / count - mean * mean};
}

class DimerizeLengthTest : public ::testing::TestWithParam<std::tuple<LatticeKind, std::size_t, std::size_t>> {};

TEST_P(DimerizeLengthTest, EverySampleIsAValidWalk) {
  const auto [kind, n, limit] = GetParam();
  on_lattice(kind, [&]<LatticeKind K>() {
    Rng rng = Rng::seeded(n * 7 + limit);
    Dimerizer<K> dimerizer = testing::Peer::dimerizer<K>(rng, limit);
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(is_valid_walk(K, dimerizer(n), n)) << "sample " << i;
  });
}

// Limits 3 and 4 make every length from 4 or 5 on a join, down several levels.
INSTANTIATE_TEST_SUITE_P(AllLattices, DimerizeLengthTest,
                         ::testing::Combine(::testing::ValuesIn(kAllLattices),
                                            ::testing::Values(0, 1, 2, 3, 4, 5, 16, 17, 50, 51, 100),
                                            ::testing::Values(3, 4, kDimerizeBaseLimit<LatticeKind::cubic>)),
                         [](const auto& test) {
                           return lattice_label(std::get<0>(test.param)) + "_n" +
                                  std::to_string(std::get<1>(test.param)) + "_limit" +
                                  std::to_string(std::get<2>(test.param));
                         });

class DimerizeTest : public ::testing::TestWithParam<LatticeKind> {};

TEST_P(DimerizeTest, ShortWalksDrawNothing) {
  const Lattice lattice(GetParam());
  Rng rng = Rng::seeded(1), reference = Rng::seeded(1);
  EXPECT_TRUE(dimerize(lattice, 0, rng).empty());
  EXPECT_EQ(dimerize(lattice, 1, rng), LatticeWalk{kOrigin});
  EXPECT_EQ(rng.next(), reference.next());
}

TEST_P(DimerizeTest, ThreadGeneratorEntryGivesValidWalks) {
  const Lattice lattice(GetParam());
  for (std::size_t n : {2, 40, 120}) EXPECT_TRUE(is_valid_walk(GetParam(), dimerize(lattice, n), n));
}

INSTANTIATE_TEST_SUITE_P(AllLattices, DimerizeTest, ::testing::ValuesIn(kAllLattices),
                         [](const auto& test) { return lattice_label(test.param); });

struct UniformCase {
  LatticeKind kind;
  std::size_t n;
  std::size_t limit;
};

std::string uniform_case_name(const ::testing::TestParamInfo<UniformCase>& test) {
  return lattice_label(test.param.kind) + "_n" + std::to_string(test.param.n) + "_limit" +
         std::to_string(test.param.limit);
}

class DimerizeUniformityTest : public ::testing::TestWithParam<UniformCase> {};

// Every walk of the enumeration drawn equally often, up to chance: Pearson's
// statistic against its mean (the degrees of freedom) plus six standard
// deviations. The generator is seeded, so the outcome is reproducible.
TEST_P(DimerizeUniformityTest, EverySelfAvoidingWalkIsEquallyLikely) {
  const auto c = GetParam();
  on_lattice(c.kind, [&]<LatticeKind K>() {
    std::unordered_map<std::string, std::size_t> index;
    WalkEnumerator<K> enumerator(c.n);
    while (const LatticeWalk* walk = enumerator.next()) index.emplace(key_of(*walk), index.size());
    const std::size_t cells = index.size(), per_cell = 40, samples = cells * per_cell;
    std::vector<double> observed(cells, 0.0);
    Rng rng = Rng::seeded(c.n * 100 + c.limit);
    Dimerizer<K> dimerizer = testing::Peer::dimerizer<K>(rng, c.limit);
    for (std::size_t i = 0; i < samples; ++i) {
      const auto found = index.find(key_of(dimerizer(c.n)));
      ASSERT_NE(found, index.end()) << "sample is not a self-avoiding walk";
      observed[found->second] += 1;
    }
    double chi2 = 0;
    for (double o : observed) chi2 += (o - per_cell) * (o - per_cell) / per_cell;
    const double dof = double(cells - 1);
    EXPECT_LT(chi2, dof + 6 * std::sqrt(2 * dof)) << cells << " walks";
    EXPECT_GT(chi2, dof - 6 * std::sqrt(2 * dof)) << "suspiciously even";
  });
}

// n = 2 is every step once; tetrahedral n = 5 with limit 3 joins onto a first
// part that ends on the odd sublattice.
INSTANTIATE_TEST_SUITE_P(
    SmallWalks, DimerizeUniformityTest,
    ::testing::Values(UniformCase{LatticeKind::fcc, 2, 16}, UniformCase{LatticeKind::bcc, 2, 16},
                      UniformCase{LatticeKind::tetrahedral, 5, 3}, UniformCase{LatticeKind::tetrahedral, 6, 3},
                      UniformCase{LatticeKind::tetrahedral, 7, 4}, UniformCase{LatticeKind::tetrahedral, 7, 16},
                      UniformCase{LatticeKind::cubic, 5, 3}, UniformCase{LatticeKind::cubic, 5, 16},
                      UniformCase{LatticeKind::bcc, 4, 3}, UniformCase{LatticeKind::bcc, 5, 3},
                      UniformCase{LatticeKind::fcc, 4, 3}, UniformCase{LatticeKind::fcc, 4, 16},
                      UniformCase{LatticeKind::cubic, 7, 3}, UniformCase{LatticeKind::cubic, 7, 16},
                      UniformCase{LatticeKind::tetrahedral, 9, 4}),
    uniform_case_name);

class DimerizeEndToEndTest : public ::testing::TestWithParam<UniformCase> {};

// The mean squared end-to-end distance of the samples against the exact mean
// over all walks, within five standard errors.
TEST_P(DimerizeEndToEndTest, MeanSquaredEndToEndDistanceMatchesEnumeration) {
  const auto c = GetParam();
  on_lattice(c.kind, [&]<LatticeKind K>() {
    const Moments exact = exact_squared_end_to_end<K>(c.n);
    const std::size_t samples = 40000;
    Rng rng = Rng::seeded(c.n * 1000 + c.limit);
    Dimerizer<K> dimerizer = testing::Peer::dimerizer<K>(rng, c.limit);
    double sum = 0;
    for (std::size_t i = 0; i < samples; ++i) sum += double(squared_end_to_end(dimerizer(c.n)));
    const double error = std::sqrt(exact.variance / double(samples));
    EXPECT_NEAR(sum / double(samples), exact.mean, 5 * error);
  });
}

INSTANTIATE_TEST_SUITE_P(AboveTheLimit, DimerizeEndToEndTest,
                         ::testing::Values(UniformCase{LatticeKind::cubic, 9, 3}, UniformCase{LatticeKind::cubic, 9, 4},
                                           UniformCase{LatticeKind::cubic, 9, 16},
                                           UniformCase{LatticeKind::tetrahedral, 12, 3},
                                           UniformCase{LatticeKind::tetrahedral, 13, 5},
                                           UniformCase{LatticeKind::bcc, 7, 3}, UniformCase{LatticeKind::fcc, 6, 3}),
                         uniform_case_name);

// Two independent routes to the same distribution on walks too long to
// enumerate. Pivot samples are correlated, so its error comes from batch means.
TEST(PivotAgainstDimerize, MeanSquaredEndToEndDistanceAgrees) {
  const std::size_t n = 60;
  on_lattice(LatticeKind::cubic, [&]<LatticeKind K>() {
    Rng rng = Rng::seeded(42);
    Dimerizer<K> dimerizer(rng);
    const std::size_t samples = 20000;
    double sum = 0, sum_sq = 0;
    for (std::size_t i = 0; i < samples; ++i) {
      const double r2 = double(squared_end_to_end(dimerizer(n)));
      sum += r2;
      sum_sq += r2 * r2;
    }
    const double dimer_mean = sum / double(samples);
    const double dimer_error = std::sqrt((sum_sq / double(samples) - dimer_mean * dimer_mean) / double(samples));

    Poll poll;
    PivotSampler<K> pivot(n, rng, 10, 10, poll);
    const std::size_t batches = 40, per_batch = 500;
    std::vector<double> means;
    for (std::size_t b = 0; b < batches; ++b) {
      double s = 0;
      for (std::size_t i = 0; i < per_batch; ++i) s += double(squared_end_to_end(pivot.next_sample()));
      means.push_back(s / double(per_batch));
    }
    double pivot_mean = 0, spread = 0;
    for (double m : means) pivot_mean += m / double(batches);
    for (double m : means) spread += (m - pivot_mean) * (m - pivot_mean) / double(batches - 1);
    const double pivot_error = std::sqrt(spread / double(batches));
    EXPECT_NEAR(pivot_mean, dimer_mean, 5 * std::hypot(pivot_error, dimer_error));
  });
}

}  // namespace
}  // namespace tarvex
