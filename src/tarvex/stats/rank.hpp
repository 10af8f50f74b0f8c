// Rank correlation of costs against RMSDs, and the min/mean/max scan of a sample.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "tarvex/poll.hpp"

namespace tarvex {

// The rank of every value, in input order. Numbers rank ascending, NaNs after
// all numbers in their input order, and values that compare equal share the
// mean of their positions.
// A poll, when given, runs between the blocks of the sort (Ctrl-C while 10^7
// samples rank).
std::vector<double> average_ranks(std::span<const double> values, Poll* poll = nullptr);

// Pearson's coefficient of two lists of equal, non-zero length. NaN (0 / 0)
// when either list is constant, a single sample included.
double pearson_correlation(std::span<const double> x, std::span<const double> y);

// Spearman's coefficient: Pearson's of the two lists' average ranks.
double spearman_correlation(std::span<const double> x, std::span<const double> y, Poll* poll);
inline double spearman_correlation(std::span<const double> x, std::span<const double> y) {
  return spearman_correlation(x, y, nullptr);
}

struct Extremes {
  std::size_t i_min, i_max;
  double mean;
};

// One pass over a non-empty sample: the first index of the smallest and of the
// largest value (strict comparisons, so a NaN never replaces a candidate) and
// the mean of the values added in index order.
Extremes scan_extremes(std::span<const double> values);

}  // namespace tarvex
