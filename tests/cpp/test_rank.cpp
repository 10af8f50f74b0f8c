// Tests of the rank transform, the rank correlation and the min/mean/max scan.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "panic_message.hpp"
#include "tarvex/stats/rank.hpp"
#include "tarvex/stats/statistics.hpp"

namespace tarvex {
namespace {

using testing::panic_message;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct RankCase {
  const char* name;
  std::vector<double> values;
  std::vector<double> ranks;
};

class AverageRanks : public ::testing::TestWithParam<RankCase> {};

TEST_P(AverageRanks, GivesEachValueItsAveragedSortedPosition) {
  const auto& c = GetParam();
  const std::vector<double> got = average_ranks(c.values);
  ASSERT_EQ(got.size(), c.ranks.size());
  for (std::size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i], c.ranks[i]) << "index " << i;
}

INSTANTIATE_TEST_SUITE_P(
    Examples, AverageRanks,
    ::testing::Values(RankCase{"empty", {}, {}}, RankCase{"single", {7.0}, {0.0}},
                      RankCase{"pair_tied_with_later_values", {10, 20, 10, 30}, {0.5, 2, 0.5, 3}},
                      RankCase{"leading_tie", {1, 1, 2, 3}, {0.5, 0.5, 2, 3}},
                      RankCase{"descending", {4, 3, 2, 1}, {3, 2, 1, 0}},
                      RankCase{"three_way_tie", {5, 5, 5}, {1, 1, 1}},
                      RankCase{"all_equal_with_odd_sum", {2, 2}, {0.5, 0.5}},
                      RankCase{"nans_last_in_input_order", {kNaN, 1, kNaN, 0}, {2, 1, 3, 0}},
                      RankCase{"nan_between_tied_numbers", {3, kNaN, 3, kNaN, 3}, {1, 3, 1, 4, 1}},
                      RankCase{"signed_zeros_form_one_run", {0.0, 1.0, -0.0}, {0.5, 2, 0.5}},
                      RankCase{"infinities_are_extreme_numbers", {kInf, kNaN, -kInf, 0}, {2, 3, 0, 1}},
                      RankCase{"two_runs", {2, 1, 2, 1, 2}, {3, 0.5, 3, 0.5, 3}}),
    [](const auto& info) { return std::string(info.param.name); });

struct CorrelationCase {
  const char* name;
  std::vector<double> x, y;
  double expected;  // NaN means the result must be NaN
};

// Past one sort block the ranks come from merged blocks: they must be those of
// one stable sort, ties and NaNs included, and the poll must run in between.
TEST(AverageRanks, OfMergedBlocksEqualOneSortAndPollBetweenThem) {
  std::vector<double> values(1'300'000);
  std::uint64_t state = 12345;
  for (double& v : values) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    const auto draw = static_cast<std::uint32_t>(state >> 40);
    v = draw % 97 == 0 ? kNaN : static_cast<double>(draw % 5000);
  }
  std::vector<std::size_t> order(values.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return !std::isnan(values[a]) && (std::isnan(values[b]) || values[a] < values[b]);
  });
  std::vector<double> expected(values.size());
  for (std::size_t start = 0; start < order.size();) {
    std::size_t end = start + 1;
    while (end < order.size() && values[order[end]] == values[order[start]]) ++end;
    double sum = 0.0;
    for (std::size_t p = start; p < end; ++p) sum += static_cast<double>(p);
    for (std::size_t p = start; p < end; ++p)
      expected[order[p]] = end - start > 1 ? sum / double(end - start) : double(start);
    start = end;
  }
  int polls = 0;
  Poll poll([](void* count) { ++*static_cast<int*>(count); }, &polls);
  const std::vector<double> got = average_ranks(values, &poll);
  ASSERT_EQ(got.size(), expected.size());
  EXPECT_EQ(0, std::memcmp(got.data(), expected.data(), got.size() * sizeof(double)));
  EXPECT_GE(polls, 3);
  Poll stopping([](void*) { throw Interrupted(); }, nullptr);
  EXPECT_THROW(average_ranks(values, &stopping), Interrupted);
}

class SpearmanCorrelation : public ::testing::TestWithParam<CorrelationCase> {};

TEST_P(SpearmanCorrelation, MatchesTheExpectedCoefficient) {
  const auto& c = GetParam();
  const double got = spearman_correlation(c.x, c.y);
  if (std::isnan(c.expected)) {
    EXPECT_TRUE(std::isnan(got)) << got;
  } else {
    EXPECT_DOUBLE_EQ(got, c.expected);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Examples, SpearmanCorrelation,
    ::testing::Values(CorrelationCase{"same_order", {1, 2, 3}, {10, 20, 30}, 1.0},
                      CorrelationCase{"reversed_order", {1, 2, 3}, {30, 20, 10}, -1.0},
                      CorrelationCase{"monotone_transform_is_invisible", {1, 2, 3, 4}, {-5, 0.1, 1e9, 1e300}, 1.0},
                      CorrelationCase{"two_values_same_order", {0, 1}, {-3, 3}, 1.0},
                      CorrelationCase{"two_values_opposite_order", {0, 1}, {3, -3}, -1.0},
                      CorrelationCase{"two_values_with_tie", {1, 1}, {1, 2}, kNaN},
                      CorrelationCase{"constant_costs", {4, 4, 4, 4}, {1, 2, 3, 4}, kNaN},
                      CorrelationCase{"single_sample", {1}, {2}, kNaN},
                      CorrelationCase{"ties_against_descending", {1, 1, 2, 3}, {4, 3, 2, 1}, -4.5 / std::sqrt(22.5)},
                      CorrelationCase{"nan_cost_ranked_last_keeps_a_number", {1, kNaN, 2}, {1, 3, 2}, 1.0},
                      CorrelationCase{"two_nans_get_distinct_ranks", {kNaN, kNaN, 0}, {1, 2, 0}, 1.0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SpearmanCorrelation, IsUnchangedByAStrictlyIncreasingTransformOfEitherList) {
  const std::vector<double> cost{3.5, -1, 2, 2, 8, 0.25, 7, -4};
  const std::vector<double> rmsd{1.0, 5.5, 2.25, 0.5, 4, 4, 3, 9};
  std::vector<double> cost_cubed, rmsd_exp;
  for (double c : cost) cost_cubed.push_back(c * c * c);
  for (double r : rmsd) rmsd_exp.push_back(std::exp(r));
  const double base = spearman_correlation(cost, rmsd);
  EXPECT_EQ(spearman_correlation(cost_cubed, rmsd), base);
  EXPECT_EQ(spearman_correlation(cost, rmsd_exp), base);
  EXPECT_GE(base, -1.0);
  EXPECT_LE(base, 1.0);
}

struct FailureCase {
  const char* name;
  std::vector<double> x, y;
  const char* message;
};

class CorrelationFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(CorrelationFailure, EndsWithTheFixedMessage) {
  const auto& c = GetParam();
  for (auto* f : {&spearman_correlation, &pearson_correlation}) {
    EXPECT_EQ(panic_message([&] { f(c.x, c.y); }), c.message);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, CorrelationFailure,
    ::testing::Values(FailureCase{"different_lengths", {1, 2, 3}, {1, 2}, "assertion failed: x.len() == y.len()"},
                      FailureCase{"first_empty", {}, {1}, "assertion failed: x.len() == y.len()"},
                      FailureCase{"second_empty", {1}, {}, "assertion failed: x.len() == y.len()"},
                      FailureCase{"both_empty", {}, {}, "Cannot calculate the mean of an empty Vec !"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PearsonCorrelation, OfNonRankedValuesMatchesTheTextbookFormula) {
  const std::vector<double> x{1, 2, 3, 4, 5};
  const std::vector<double> y{2, 1, 4, 3, 7};
  // mx = 3, my = 3.4; sum dx*dy = 12, sum dx^2 = 10, sum dy^2 = 21.2
  EXPECT_DOUBLE_EQ(pearson_correlation(x, y), 12.0 / std::sqrt(10.0 * 21.2));
}

struct ScanCase {
  const char* name;
  std::vector<double> values;
  std::size_t i_min, i_max;
  double mean;  // NaN means the mean must be NaN
};

class ScanExtremes : public ::testing::TestWithParam<ScanCase> {};

TEST_P(ScanExtremes, KeepsTheFirstStrictExtremeAndTheIndexOrderMean) {
  const auto& c = GetParam();
  const Extremes e = scan_extremes(c.values);
  EXPECT_EQ(e.i_min, c.i_min);
  EXPECT_EQ(e.i_max, c.i_max);
  if (std::isnan(c.mean)) {
    EXPECT_TRUE(std::isnan(e.mean)) << e.mean;
  } else {
    EXPECT_EQ(e.mean, c.mean);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Examples, ScanExtremes,
    ::testing::Values(ScanCase{"single", {4.5}, 0, 0, 4.5}, ScanCase{"constant", {2, 2, 2}, 0, 0, 2},
                      ScanCase{"first_of_tied_minima", {2, 1, 1, 3}, 1, 3, 1.75},
                      ScanCase{"first_of_tied_maxima", {3, 1, 3}, 1, 0, 7.0 / 3.0},
                      ScanCase{"nan_first_stays_both_extremes", {kNaN, 1, -1}, 0, 0, kNaN},
                      ScanCase{"nan_later_is_skipped_but_spoils_mean", {1, kNaN, 0, 2}, 2, 3, kNaN},
                      ScanCase{"negative_zero_does_not_replace_zero", {0.0, -0.0}, 0, 0, 0.0},
                      ScanCase{"infinities", {0, kInf, -kInf}, 2, 1, kNaN},
                      // Added left to right, 1e16 + 1 rounds back to 1e16 and the sum is 1;
                      // a pairwise sum would give 0.
                      ScanCase{"sum_in_index_order", {1e16, 1, -1e16, 1}, 2, 0, 0.25}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ScanExtremes, OfAnEmptySampleFails) {
  EXPECT_EQ(panic_message([] { scan_extremes({}); }), "Cannot calculate the mean of an empty Vec !");
}

}  // namespace
}  // namespace tarvex
