// Benchmark of the rank correlation of a default-size sample and of the progress tick.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

#include "tarvex/sampling/progress.hpp"
#include "tarvex/stats/rank.hpp"

namespace {

using WallClock = std::chrono::steady_clock;

template <class F>
double best_seconds(int repeats, F&& body) {
  double best = 1e300;
  for (int r = 0; r < repeats; ++r) {
    const auto t0 = WallClock::now();
    body();
    best = std::min(best, std::chrono::duration<double>(WallClock::now() - t0).count());
  }
  return best;
}

volatile double sink;

}  // namespace

int main() {
  constexpr std::size_t kSamples = 10000;
  std::mt19937_64 rng(12345);
  std::uniform_real_distribution<double> uniform(0.0, 10.0);
  std::vector<double> cost(kSamples), rmsd(kSamples);
  // Contact energies are small integers: plenty of ties, as in real runs.
  for (auto& c : cost) c = -static_cast<double>(rng() % 40);
  for (auto& r : rmsd) r = uniform(rng);

  const double t_spearman = best_seconds(50, [&] { sink = tarvex::spearman_correlation(cost, rmsd); });
  // Yardstick: sorting both lists once with std::sort, the least a rank transform must do.
  const double t_sort = best_seconds(50, [&] {
    std::vector<double> a = cost, b = rmsd;
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    sink = a[0] + b[0];
  });
  std::printf("spearman_correlation, %zu samples: %.1f us; two std::sort: %.1f us; ratio %.2f\n", kSamples,
              t_spearman * 1e6, t_sort * 1e6, t_spearman / t_sort);

  // The tick path with the display going nowhere (redraws still rendered and written).
  const int null_fd = ::open("/dev/null", O_WRONLY);
  const int saved = ::dup(STDERR_FILENO);
  ::dup2(null_fd, STDERR_FILENO);
  constexpr int kTicks = 20'000'000;
  const double t_tick = best_seconds(3, [&] {
    tarvex::ProgressBar bar(kTicks);
    for (int i = 0; i < kTicks; ++i) bar.tick();
    bar.close();
  });
  // Yardstick: the clock reading alone.
  const double t_clock = best_seconds(3, [&] {
    long long acc = 0;
    for (int i = 0; i < kTicks; ++i) acc += tarvex::Clock::now().time_since_epoch().count();
    sink = static_cast<double>(acc);
  });
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  ::close(null_fd);
  std::printf("ProgressBar::tick: %.2f ns per item; steady_clock::now: %.2f ns; ratio %.2f\n", t_tick / kTicks * 1e9,
              t_clock / kTicks * 1e9, t_tick / t_clock);
  return 0;
}
