// Tests of the sampling driver: counts, order, conformations and stopping.
#include <gtest/gtest.h>

#include <cmath>
#include <tuple>
#include <vector>

#include "sampling_helpers.hpp"
#include "tarvex/fail.hpp"
#include "tarvex/poll.hpp"
#include "tarvex/sampling/sampling.hpp"
#include "tarvex/walks/random.hpp"
#include "walk_testing.hpp"

namespace tarvex {
namespace {

using testing::kAllLattices;
using testing::lattice_label;
using Kind = SamplingMethod::Kind;

std::vector<Conformation> collect(const SamplingRun& run) {
  Poll poll;
  std::vector<Conformation> out;
  sample_walks(run, poll, [&](const Conformation& c) { out.push_back(c); });
  return out;
}

const char* method_name(Kind kind) {
  switch (kind) {
    case Kind::pivot: return "pivot";
    case Kind::dimerize: return "dimerize";
    case Kind::enumerate: return "enumerate";
  }
  return "unknown";
}

class SamplingTest : public ::testing::TestWithParam<std::tuple<Kind, LatticeKind, std::uint64_t>> {};

TEST_P(SamplingTest, ConformationsHaveNPointsFromTheOriginArcLengthApart) {
  const auto [method, lattice, n] = GetParam();
  const SamplingRun run{n, 25, {method, 10, 10}, lattice, 2.5, false};
  const auto result = collect(run);
  if (method != Kind::enumerate) {
    EXPECT_EQ(result.size(), 25u);
  }
  ASSERT_FALSE(result.empty());
  for (const Conformation& c : result) {
    ASSERT_EQ(c.size(), n);
    if (n == 0) continue;
    EXPECT_EQ(c[0], (Point{0, 0, 0}));
    for (std::size_t i = 1; i < n; ++i) {
      EXPECT_NEAR(std::hypot(c[i].x - c[i - 1].x, c[i].y - c[i - 1].y, c[i].z - c[i - 1].z), 2.5, 1e-12);
      for (std::size_t j = 0; j < i; ++j) ASSERT_FALSE(c[i] == c[j]) << "points " << j << " and " << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AllMethodsAndLattices, SamplingTest,
                         ::testing::Combine(::testing::Values(Kind::pivot, Kind::dimerize, Kind::enumerate),
                                            ::testing::ValuesIn(kAllLattices), ::testing::Values(0, 1, 2, 4)),
                         [](const auto& test) {
                           return std::string(method_name(std::get<0>(test.param))) + "_" +
                                  lattice_label(std::get<1>(test.param)) + "_" +
                                  std::to_string(std::get<2>(test.param));
                         });

// tarvex.seed(n) keys the generator on n's bytes, least significant first
// (at least one); a generator keyed the same way here gives the walks a
// Python caller sees: those of seed(2024) then sample_solutions(9, 2,
// method="pivot", lattice="cubic", thermalization_factor=2,
// autocorrelation_factor=2), as recorded from the module.
TEST(SamplingDriver, GeneratorKeyedLikeTheModuleSeedGivesThePythonWalks) {
  std::vector<unsigned char> key;
  for (std::uint64_t v = 2024; key.empty() || v != 0; v >>= 8) key.push_back(static_cast<unsigned char>(v & 0xFF));
  Rng rng = Rng::keyed(key);
  const SamplingRun run{9, 2, {Kind::pivot, 2, 2}, LatticeKind::cubic, 3.8, false};
  std::vector<LatticeWalk> walks;
  Poll poll;
  sample_lattice_walks(run, rng, poll, [&](const LatticeWalk& walk) { walks.push_back(walk); });
  const std::vector<LatticeWalk> expected = {
      {{0, 0, 0}, {1, 0, 0}, {1, 0, -1}, {1, -1, -1}, {1, -1, 0}, {0, -1, 0}, {0, -1, 1}, {1, -1, 1}, {1, -1, 2}},
      {{0, 0, 0}, {0, 1, 0}, {0, 1, -1}, {0, 2, -1}, {0, 3, -1}, {0, 3, 0}, {-1, 3, 0}, {-1, 3, -1}, {-1, 2, -1}}};
  EXPECT_EQ(walks, expected);
  EXPECT_EQ(run.scale(), 3.8);
}

TEST(SamplingDriver, LongerPivotAndDimerizeRunsGiveValidConformations) {
  for (const Kind method : {Kind::pivot, Kind::dimerize}) {
    for (const LatticeKind lattice : kAllLattices) {
      const auto result = collect({120, 10, {method, 10, 10}, lattice, 3.8, false});
      ASSERT_EQ(result.size(), 10u);
      const double scale = lattice_scale(Lattice(lattice), 3.8);
      for (const Conformation& c : result) {
        LatticeWalk walk;
        for (const Point& p : c) {
          walk.push_back({std::int32_t(std::lround(p.x / scale)), std::int32_t(std::lround(p.y / scale)),
                          std::int32_t(std::lround(p.z / scale))});
        }
        EXPECT_TRUE(testing::is_valid_walk(lattice, walk, 120)) << method_name(method) << " " << lattice_label(lattice);
      }
    }
  }
}

TEST(SamplingDriver, EnumerationIgnoresSampleSizeAndKeepsItsOrder) {
  for (const std::uint64_t sample_size : {0, 1, 1000}) {
    const auto result = collect({3, sample_size, {Kind::enumerate, 0, 0}, LatticeKind::cubic, 2.0, false});
    ASSERT_EQ(result.size(), 30u);
    WalkEnumerator<LatticeKind::cubic> enumerator(3);
    for (const Conformation& c : result) {
      const LatticeWalk* walk = enumerator.next();
      ASSERT_NE(walk, nullptr);
      EXPECT_EQ(c, to_conformation(*walk, 2.0));
    }
  }
}

TEST(SamplingDriver, EnumerationOfNoPointsGivesOneEmptyConformation) {
  const auto result = collect({0, 5, {Kind::enumerate, 0, 0}, LatticeKind::fcc, 3.8, false});
  ASSERT_EQ(result.size(), 1u);
  EXPECT_TRUE(result[0].empty());
}

TEST(SamplingDriver, ZeroSampleSizeGivesNothing) {
  for (const Kind method : {Kind::pivot, Kind::dimerize}) {
    EXPECT_TRUE(collect({30, 0, {method, 10, 10}, LatticeKind::bcc, 3.8, false}).empty());
  }
}

TEST(SamplingDriver, OneResiduePivotGivesTheOrigin) {
  const auto result = collect({1, 3, {Kind::pivot, 10, 10}, LatticeKind::tetrahedral, 3.8, false});
  EXPECT_EQ(result, (std::vector<Conformation>(3, Conformation{{0, 0, 0}})));
}

TEST(SamplingDriver, UnthermalizedPivotGivesTheStraightWalk) {
  const auto result = collect({6, 2, {Kind::pivot, 0, 10}, LatticeKind::tetrahedral, 1.0, false});
  const Conformation straight =
      to_conformation(straight_walk(Lattice(LatticeKind::tetrahedral), 6), 1.0 / std::sqrt(3.0));
  EXPECT_EQ(result, (std::vector<Conformation>(2, straight)));
}

TEST(SamplingDriver, VisitorFailureEndsTheRun) {
  Poll poll;
  int visits = 0;
  const SamplingRun run{10, 100, {Kind::dimerize, 0, 0}, LatticeKind::cubic, 3.8, false};
  EXPECT_THROW(sample_walks(run, poll,
                            [&](const Conformation&) {
                              if (++visits == 4) fail("cost failed on walk {}", visits);
                            }),
               Panic);
  EXPECT_EQ(visits, 4);
}

int checks = 0;
void count_check() { ++checks; }
void interrupt_check() {
  if (++checks >= 5) throw Interrupted();
}

TEST(SamplingDriver, PollsWhileWorking) {
  for (const Kind method : {Kind::pivot, Kind::dimerize, Kind::enumerate}) {
    checks = 0;
    Poll poll(&count_check);
    std::size_t visits = 0;
    sample_walks({8, 2000, {method, 10, 10}, LatticeKind::cubic, 3.8, false}, poll,
                 [&](const Conformation&) { ++visits; });
    EXPECT_GE(checks, int(visits / Poll::kEvery)) << method_name(method);
    EXPECT_GT(checks, 0) << method_name(method);
  }
}

// Each of these would run for minutes or forever; the host's check stops it.
TEST(SamplingDriver, InterruptingCheckStopsLongRuns) {
  const SamplingRun runs[] = {
      {30, ~std::uint64_t{0}, {Kind::dimerize, 0, 0}, LatticeKind::fcc, 3.8, false},
      {16, 0, {Kind::enumerate, 0, 0}, LatticeKind::fcc, 3.8, false},
      {500, 10, {Kind::pivot, ~std::uint64_t{0}, 10}, LatticeKind::cubic, 3.8, false},
      {500, 10, {Kind::pivot, 1, ~std::uint64_t{0}}, LatticeKind::cubic, 3.8, false},
      // One dimerization of this length takes far longer than a check period.
      {100000, 1, {Kind::dimerize, 0, 0}, LatticeKind::cubic, 3.8, false},
  };
  for (const SamplingRun& run : runs) {
    checks = 0;
    Poll poll(&interrupt_check);
    EXPECT_THROW(sample_walks(run, poll, [](const Conformation&) {}), Interrupted);
    EXPECT_EQ(checks, 5);
  }
}

}  // namespace
}  // namespace tarvex
