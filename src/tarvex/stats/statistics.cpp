// The reduction of a sample's costs and RMSDs to the statistics that stats returns.
#include "tarvex/stats/statistics.hpp"

#include "tarvex/fail.hpp"
#include "tarvex/messages.hpp"
#include "tarvex/stats/rank.hpp"

namespace tarvex {

SampleStatistics sample_statistics(std::span<const double> costs, std::span<const double> rmsds, Poll* poll) {
  SampleStatistics s{};
  // The correlation comes first: its length checks give the failure messages.
  s.correlation = spearman_correlation(costs, rmsds, poll);
  const Extremes cost = scan_extremes(costs);
  const Extremes rmsd = scan_extremes(rmsds);
  s.min_cost = costs[cost.i_min];
  s.avg_cost = cost.mean;
  s.max_cost = costs[cost.i_max];
  s.min_rmsd = rmsds[rmsd.i_min];
  s.avg_rmsd = rmsd.mean;
  s.max_rmsd = rmsds[rmsd.i_max];
  s.min_cost_rmsd = rmsds[cost.i_min];
  s.max_cost_rmsd = rmsds[cost.i_max];
  return s;
}

Extremes scan_extremes(std::span<const double> values) {
  if (values.empty()) fail(messages::kEmptyMean);
  Extremes e{0, 0, 0.0};
  double sum = values[0];
  for (std::size_t i = 1; i < values.size(); ++i) {
    if (values[i] < values[e.i_min]) e.i_min = i;
    if (values[i] > values[e.i_max]) e.i_max = i;
    sum += values[i];
  }
  e.mean = sum / static_cast<double>(values.size());
  return e;
}

}  // namespace tarvex
