// Average ranks, and Pearson's and Spearman's correlation of two lists.
#pragma once

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

}  // namespace tarvex
