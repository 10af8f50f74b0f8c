// The reduction of a sample's costs and RMSDs to the statistics that stats returns.
#pragma once

#include <cstddef>
#include <span>

#include "tarvex/poll.hpp"

namespace tarvex {

struct SampleStatistics {
  double correlation;
  double min_cost, avg_cost, max_cost;
  double min_rmsd, avg_rmsd, max_rmsd;
  double min_cost_rmsd, max_cost_rmsd;  // the RMSDs of the samples of lowest and highest cost
};

// costs[i] and rmsds[i] belong to sample i. Spearman's correlation of the
// two, then the extremes and means of each (the first of equal values, see
// scan_extremes). Lists of different lengths or an empty sample fail.
SampleStatistics sample_statistics(std::span<const double> costs, std::span<const double> rmsds, Poll* poll = nullptr);

struct Extremes {
  std::size_t i_min, i_max;
  double mean;
};

// One pass over a non-empty sample: the first index of the smallest and of the
// largest value (strict comparisons, so a NaN never replaces a candidate) and
// the mean of the values added in index order.
Extremes scan_extremes(std::span<const double> values);

}  // namespace tarvex
