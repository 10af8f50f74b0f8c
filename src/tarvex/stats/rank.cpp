// Average ranks by a stable sort polled between blocks, and Pearson's and Spearman's correlation.
#include "tarvex/stats/rank.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "tarvex/fail.hpp"
#include "tarvex/messages.hpp"
#include "tarvex/poll.hpp"
#include "tarvex/thread_pool.hpp"

namespace tarvex {

namespace {

// Samples from this size on rank their two lists side by side.
constexpr std::size_t kParallelRanks = 4096;
// Sorted at a time between polls: some tens of milliseconds.
constexpr std::size_t kSortBlock = std::size_t{1} << 19;

struct Ranked {
  double value;
  std::uint64_t index;
};

// Strict weak order: numbers ascending, every NaN after every number, NaNs
// (and equal numbers, -0.0 and +0.0 included) mutually unordered so that the
// stable sort keeps them in input order.
bool ranks_before(const Ranked& a, const Ranked& b) {
  return !std::isnan(a.value) && (std::isnan(b.value) || a.value < b.value);
}

// Sums in index order, never reassociated: equal samples in equal order must
// give bit-identical results from run to run.
double mean_of(std::span<const double> v) {
  double sum = 0.0;
  for (const double x : v) sum += x;
  return sum / static_cast<double>(v.size());
}

}  // namespace

std::vector<double> average_ranks(std::span<const double> values, Poll* poll) {
  const std::size_t n = values.size();
  std::vector<double> ranks(n);
  if (n == 0) return ranks;

  std::vector<Ranked> sorted(n);
  for (std::size_t i = 0; i < n; ++i) sorted[i] = {values[i], i};
  // Sorted blocks merged pairwise, in order: the same order as one stable
  // sort, with a poll after each step.
  const auto at = [&](std::size_t i) { return sorted.begin() + static_cast<std::ptrdiff_t>(std::min(i, n)); };
  for (std::size_t start = 0; start < n; start += kSortBlock) {
    std::stable_sort(at(start), at(start + kSortBlock), ranks_before);
    if (poll != nullptr) poll->check_now();
  }
  for (std::size_t width = kSortBlock; width < n; width *= 2) {
    for (std::size_t start = 0; start + width < n; start += 2 * width) {
      std::inplace_merge(at(start), at(start + width), at(start + 2 * width), ranks_before);
      if (poll != nullptr) poll->check_now();
    }
  }

  // A run is cut by ordinary equality, so a NaN never joins a run and two
  // NaNs keep distinct consecutive ranks. Writing the ranks straight to their
  // input index is the same as sorting the triples back by index.
  std::size_t start = 0;
  while (start < n) {
    std::size_t end = start + 1;
    while (end < n && sorted[end].value == sorted[start].value) ++end;
    double rank = static_cast<double>(start);
    if (end - start > 1) {
      double sum = 0.0;
      for (std::size_t p = start; p < end; ++p) sum += static_cast<double>(p);
      rank = sum / static_cast<double>(end - start);
    }
    for (std::size_t p = start; p < end; ++p) ranks[sorted[p].index] = rank;
    start = end;
  }
  return ranks;
}

double pearson_correlation(std::span<const double> x, std::span<const double> y) {
  if (x.size() != y.size()) fail(messages::kUnequalLengths);
  if (x.empty()) fail(messages::kEmptyMean);

  const double mx = mean_of(x);
  const double my = mean_of(y);
  double num = 0.0;
  double sxx = 0.0;
  double syy = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double dx = x[i] - mx;
    const double dy = y[i] - my;
    num += dy * dx;
    sxx += dx * dx;
    syy += dy * dy;
  }
  return num / (std::sqrt(sxx) * std::sqrt(syy));
}

double spearman_correlation(std::span<const double> x, std::span<const double> y, Poll* poll) {
  // The two rankings are independent sorts: large samples rank one on a worker.
  std::vector<double> rx, ry;
  Poll none;
  Poll& owner = poll != nullptr ? *poll : none;
  {
    TaskGroup group(x.size() >= kParallelRanks ? worker_count() : 0, owner);
    // On a worker the task's poll stops it once the group is cancelled.
    group.submit([&](Poll& task) { ry = average_ranks(y, &task); });
    rx = average_ranks(x, &owner);
    group.wait();
  }
  return pearson_correlation(rx, ry);
}

}  // namespace tarvex
