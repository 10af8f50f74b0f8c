// Benchmark of the pivot sampler against its earlier forms, run side by side on the same chains.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "pivot_array.hpp"
#include "reference_pivot.hpp"
#include "tarvex/poll.hpp"
#include "tarvex/walks/lattice.hpp"
#include "tarvex/walks/pivot.hpp"
#include "tarvex/walks/pivot_pairwise.hpp"
#include "tarvex/walks/random.hpp"
#include "tarvex/walks/saw_tree.hpp"
#include "tarvex/walks/signed_permutation.hpp"
#include "tarvex/walks/straight_walk.hpp"
#include "testing/peer.hpp"

namespace {

using tarvex::LatticeKind;

// The thread's CPU time, not the wall clock: on a shared machine the time
// spent waiting for a core is not the code's.
struct Clock {
  using time_point = double;
  static double now() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
  }
};

double seconds_since(double start) { return Clock::now() - start; }

// The lattice's name for printf's %s (the names are literals, so terminated).
const char* name(LatticeKind kind) { return tarvex::lattice_name(kind).data(); }

// The sampler as it was before short walks took the pairwise form: the
// array below kPivotTreeFrom, the tree from there, one call per attempt.
// Same draws, same chain; the yardstick of the per-sample figures.
template <LatticeKind K>
class ArraySampler {
 public:
  ArraySampler(std::size_t n, tarvex::Rng& rng, std::uint64_t thermalization_factor,
               std::uint64_t autocorrelation_factor, tarvex::Poll& poll)
      : rng_(&rng), poll_(&poll), walk_(tarvex::straight_walk(tarvex::Lattice(K), n)) {
    if (n >= tarvex::kPivotTreeFrom) {
      tree_.emplace(walk_);
    } else if (n >= 2) {
      array_.emplace(walk_);
    }
    const std::uint64_t t = n < 2 ? 0 : tarvex::detail::saturating_mul(n, thermalization_factor);
    ratio_ = tarvex::detail::thermalize(t, poll, [this] { return try_pivot(); });
    attempts_per_sample_ = tarvex::detail::saturating_count(double(autocorrelation_factor) * ratio_);
  }

  bool try_pivot() {
    const std::size_t n = walk_.size();
    if (n < 2) return false;
    const auto site = std::size_t(rng_->uniform(0, n - 1));
    const auto element = std::size_t(rng_->uniform(0, kCodes.size()));
    const bool accepted = tree_ ? tree_->try_pivot(site, kCodes[element]) : array_->try_pivot(site, kCodes[element]);
    stale_ = stale_ || accepted;
    return accepted;
  }

  const tarvex::LatticeWalk& next_sample() {
    for (std::uint64_t i = 0; i < attempts_per_sample_; ++i) {
      (*poll_)();
      try_pivot();
    }
    return walk();
  }

  const tarvex::LatticeWalk& walk() const {
    if (stale_) {
      if (tree_) {
        tree_->write(walk_);
      } else {
        array_->write(walk_);
      }
      stale_ = false;
    }
    return walk_;
  }

  std::uint64_t attempts_per_sample() const { return attempts_per_sample_; }

 private:
  static constexpr auto kCodes = tarvex::signed_permutations(tarvex::group_of<K>());

  tarvex::Rng* rng_;
  tarvex::Poll* poll_;
  mutable tarvex::LatticeWalk walk_;
  mutable bool stale_ = false;
  std::optional<tarvex::testing::PivotArray> array_;
  std::optional<tarvex::SawTree> tree_;
  double ratio_ = 0.0;
  std::uint64_t attempts_per_sample_ = 0;
};

// Both samplers draw from equal seeds, so they run the same chain and the
// ratio of their times is the ratio of their implementations alone.
// The attempts per sample of the bench's own sampler or of the library's.
template <class Sampler>
std::uint64_t attempts_of(const Sampler& sampler) {
  if constexpr (requires { sampler.attempts_per_sample(); }) {
    return sampler.attempts_per_sample();
  } else {
    return tarvex::testing::Peer::attempts_per_sample(sampler);
  }
}

template <class Sampler>
double thermalization_seconds(std::size_t n, std::uint64_t seed) {
  tarvex::Poll poll;
  tarvex::Rng rng = tarvex::Rng::seeded(seed);
  const auto start = Clock::now();
  Sampler sampler(n, rng, 10, 10, poll);
  const double elapsed = seconds_since(start);
  if (sampler.walk().size() != n) std::abort();
  return elapsed;
}

// Seconds per delivered sample and the attempts each takes.
template <class Sampler>
std::pair<double, std::uint64_t> seconds_per_sample(std::size_t n, std::uint64_t seed, std::size_t samples,
                                                    std::uint64_t thermalization_factor) {
  tarvex::Poll poll;
  tarvex::Rng rng = tarvex::Rng::seeded(seed);
  Sampler sampler(n, rng, thermalization_factor, 10, poll);
  std::int64_t sink = 0;
  const auto start = Clock::now();
  for (std::size_t i = 0; i < samples; ++i) sink += sampler.next_sample().back().x;
  const double elapsed = seconds_since(start);
  if (sink == 0x7fffffff) std::puts("");
  return {elapsed / double(samples), attempts_of(sampler)};
}

// Time per accepted move while thermalizing from the straight walk: n * 10
// accepted moves, best of `repeats` runs of each sampler, alternated.
template <LatticeKind K>
void thermalization(const std::vector<std::size_t>& lengths, int repeats, bool with_reference) {
  for (std::size_t n : lengths) {
    double fast = 1e300, array = 1e300, old = 1e300;
    for (int r = 0; r < repeats; ++r) {
      const std::uint64_t seed = 1000 + std::uint64_t(r);
      fast = std::min(fast, thermalization_seconds<tarvex::PivotSampler<K>>(n, seed));
      if (with_reference) {
        array = std::min(array, thermalization_seconds<ArraySampler<K>>(n, seed));
        old = std::min(old, thermalization_seconds<tarvex::testing::ReferencePivotSampler<K>>(n, seed));
      }
    }
    const double moves = double(n) * 10.0;
    if (with_reference) {
      std::printf(
          "thermalize %-11s n=%-6zu %7.0f ns/accepted move | array sampler %7.0f ns ratio %.3f | first version"
          " %7.0f ns ratio %.3f\n",
          name(K), n, fast / moves * 1e9, array / moves * 1e9, fast / array, old / moves * 1e9, fast / old);
    } else {
      std::printf("thermalize %-11s n=%-6zu %9.0f ns/accepted move\n", name(K), n, fast / moves * 1e9);
    }
  }
}

// Time per delivered sample after thermalization (autocorrelation factor
// 10), against the array sampler and the first version, best of `repeats`
// runs of each, alternated; per attempt is per sample over the attempts.
template <LatticeKind K>
void sampling(const std::vector<std::size_t>& lengths, int repeats, std::uint64_t thermalization_factor = 10) {
  for (std::size_t n : lengths) {
    const std::size_t samples = n < 100 ? 20000 : 4000;
    double fast = 1e300, array = 1e300, first = 1e300;
    std::uint64_t k = 0;
    for (int r = 0; r < repeats; ++r) {
      const std::uint64_t seed = 2000 + std::uint64_t(r);
      const auto [t, attempts] = seconds_per_sample<tarvex::PivotSampler<K>>(n, seed, samples, thermalization_factor);
      fast = std::min(fast, t);
      k = attempts;
      array = std::min(array, seconds_per_sample<ArraySampler<K>>(n, seed, samples, thermalization_factor).first);
      first = std::min(
          first,
          seconds_per_sample<tarvex::testing::ReferencePivotSampler<K>>(n, seed, samples, thermalization_factor).first);
    }
    const double per = 1e9 / double(std::max<std::uint64_t>(k, 1));
    std::printf(
        "sample  %-11s n=%-4zu t=%-3llu k=%-3llu %7.2f us/sample %6.1f ns/attempt | array sampler %7.2f us %6.1f ns"
        " ratio %.3f | first version %7.2f us ratio %.3f\n",
        name(K), n, (unsigned long long)thermalization_factor, (unsigned long long)k, fast * 1e6, fast * per,
        array * 1e6, array * per, fast / array, first * 1e6, fast / first);
  }
}

// The two forms of the chain driven directly through the same moves, to
// place the length from which the sampler uses the tree: time per accepted
// move while thermalizing, and per sample afterwards (k attempts and the walk
// written out, k from the thermalization as the sampler sets it).
template <LatticeKind K, class Chain>
std::pair<double, double> chain_seconds(std::size_t n, std::uint64_t seed) {
  tarvex::Rng rng = tarvex::Rng::seeded(seed);
  std::vector<tarvex::SignedPermutation> codes;
  for (const tarvex::Symmetry& s : tarvex::group_of<K>()) codes.push_back(tarvex::signed_permutation(s));
  const std::size_t order = codes.size();
  const auto code = [&](std::size_t e) { return codes[e]; };
  const tarvex::LatticeWalk straight = tarvex::straight_walk(tarvex::Lattice(K), n);
  auto start = Clock::now();
  Chain chain(straight);
  std::size_t rejected = 0;
  for (std::size_t accepted = 0; accepted < 10 * n;) {
    const auto site = std::size_t(rng.uniform(0, n - 1));
    const bool ok = chain.try_pivot(site, code(rng.uniform(0, order)));
    accepted += ok;
    rejected += !ok;
  }
  const double thermalize = seconds_since(start) / (10.0 * double(n));
  const auto k = std::size_t(10.0 * (10.0 * double(n)) / double(std::max<std::size_t>(rejected, 1)));
  tarvex::LatticeWalk out;
  const std::size_t samples = 400;
  start = Clock::now();
  for (std::size_t s = 0; s < samples; ++s) {
    for (std::size_t i = 0; i < k; ++i) {
      const auto site = std::size_t(rng.uniform(0, n - 1));
      chain.try_pivot(site, code(rng.uniform(0, order)));
    }
    chain.write(out);
  }
  return {thermalize, seconds_since(start) / double(samples)};
}

// The three forms side by side; ratios against the array.
template <LatticeKind K>
void crossover(const std::vector<std::size_t>& lengths) {
  for (std::size_t n : lengths) {
    double move[3] = {1e300, 1e300, 1e300}, sample[3] = {1e300, 1e300, 1e300};
    const auto keep = [&](int form, std::pair<double, double> t) {
      move[form] = std::min(move[form], t.first);
      sample[form] = std::min(sample[form], t.second);
    };
    for (int r = 0; r < 5; ++r) {
      const std::uint64_t seed = 3000 + std::uint64_t(r);
      keep(0, chain_seconds<K, tarvex::testing::PivotArray>(n, seed));
      if (n <= tarvex::PivotPairwise::kMaxPoints) keep(1, chain_seconds<K, tarvex::PivotPairwise>(n, seed));
      keep(2, chain_seconds<K, tarvex::SawTree>(n, seed));
    }
    std::printf(
        "%-11s n=%-5zu per accepted move: array %6.0f ns pairwise %.2f tree %.2f   per sample: array %7.2f us"
        " pairwise %.2f tree %.2f\n",
        name(K), n, move[0] * 1e9, move[1] / move[0], move[2] / move[0], sample[0] * 1e6, sample[1] / sample[0],
        sample[2] / sample[0]);
  }
}

}  // namespace

// --crossover [n ...] compares the array, the pairwise form and the tree
// alone at lengths around the switches from one to the other.
// --long adds walks of 10,000 and 30,000 points (new sampler only).
int main(int argc, char** argv) {
  const bool long_walks = argc > 1 && std::strcmp(argv[1], "--long") == 0;
  if (argc > 1 && std::strcmp(argv[1], "--crossover") == 0) {
    std::vector<std::size_t> lengths = {20, 50, 80, 105, 128, 160, 200, 250, 300, 400, 500, 700, 1000};
    if (argc > 2) {
      lengths.clear();
      for (int i = 2; i < argc; ++i) lengths.push_back(std::size_t(std::strtoul(argv[i], nullptr, 10)));
    }
    crossover<LatticeKind::cubic>(lengths);
    crossover<LatticeKind::tetrahedral>(lengths);
    crossover<LatticeKind::fcc>(lengths);
    crossover<LatticeKind::bcc>(lengths);
    return EXIT_SUCCESS;
  }
  thermalization<LatticeKind::cubic>({20, 100, 300, 1000, 3000}, 5, true);
  if (long_walks) thermalization<LatticeKind::cubic>({10000, 30000, 100000}, 3, false);
  // Trp-cage's chain first: 20 points, tetrahedral, thermalization factor 100.
  sampling<LatticeKind::tetrahedral>({20}, 7, 100);
  sampling<LatticeKind::tetrahedral>({20, 105, 300}, 7);
  sampling<LatticeKind::fcc>({20, 105, 300}, 7);
  sampling<LatticeKind::bcc>({20, 105, 300}, 7);
  sampling<LatticeKind::cubic>({20, 105, 300}, 7);
  return EXIT_SUCCESS;
}
