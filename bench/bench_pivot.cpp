// Benchmark of the pivot sampler against the first version (tests/cpp), run side by side on the same chains.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>
#include <vector>

#include "../tests/cpp/reference_pivot.hpp"
#include "tarvex/poll.hpp"
#include "tarvex/walks/lattice.hpp"
#include "tarvex/walks/pivot.hpp"
#include "tarvex/walks/pivot_array.hpp"
#include "tarvex/walks/random.hpp"
#include "tarvex/walks/saw_tree.hpp"
#include "tarvex/walks/signed_permutation.hpp"
#include "tarvex/walks/walk.hpp"

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

const char* name(LatticeKind kind) {
  switch (kind) {
    case LatticeKind::tetrahedral: return "tetrahedral";
    case LatticeKind::fcc: return "fcc";
    case LatticeKind::bcc: return "bcc";
    case LatticeKind::cubic: return "cubic";
  }
  return "?";
}

// Both samplers draw from equal seeds, so they run the same chain and the
// ratio of their times is the ratio of their implementations alone.
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

template <class Sampler>
double seconds_per_sample(std::size_t n, std::uint64_t seed, std::size_t samples) {
  tarvex::Poll poll;
  tarvex::Rng rng = tarvex::Rng::seeded(seed);
  Sampler sampler(n, rng, 10, 10, poll);
  std::int64_t sink = 0;
  const auto start = Clock::now();
  for (std::size_t i = 0; i < samples; ++i) sink += sampler.next_sample().back().x;
  const double elapsed = seconds_since(start);
  if (sink == 0x7fffffff) std::puts("");
  return elapsed / double(samples);
}

// Time per accepted move while thermalizing from the straight walk: n * 10
// accepted moves, best of `repeats` runs of each sampler, alternated.
template <LatticeKind K>
void thermalization(const std::vector<std::size_t>& lengths, int repeats, bool with_reference) {
  for (std::size_t n : lengths) {
    double fast = 1e300, old = 1e300;
    for (int r = 0; r < repeats; ++r) {
      const std::uint64_t seed = 1000 + std::uint64_t(r);
      fast = std::min(fast, thermalization_seconds<tarvex::PivotSampler<K>>(n, seed));
      if (with_reference) old = std::min(old, thermalization_seconds<tarvex::testing::ReferencePivotSampler<K>>(n, seed));
    }
    const double moves = double(n) * 10.0;
    if (with_reference) {
      std::printf("thermalize %-11s n=%-6zu %9.0f ns/accepted move   first version %9.0f ns   ratio %.3f\n", name(K), n,
                  fast / moves * 1e9, old / moves * 1e9, fast / old);
    } else {
      std::printf("thermalize %-11s n=%-6zu %9.0f ns/accepted move\n", name(K), n, fast / moves * 1e9);
    }
  }
}

// Time per delivered sample with the default factors (10 / 10), after thermalization.
template <LatticeKind K>
void sampling(const std::vector<std::size_t>& lengths, int repeats) {
  for (std::size_t n : lengths) {
    const std::size_t samples = 4000;
    double fast = 1e300, old = 1e300;
    for (int r = 0; r < repeats; ++r) {
      const std::uint64_t seed = 2000 + std::uint64_t(r);
      fast = std::min(fast, seconds_per_sample<tarvex::PivotSampler<K>>(n, seed, samples));
      old = std::min(old, seconds_per_sample<tarvex::testing::ReferencePivotSampler<K>>(n, seed, samples));
    }
    std::printf("sample     %-11s n=%-6zu %9.2f us/sample        first version %9.2f us   ratio %.3f\n", name(K), n,
                fast * 1e6, old * 1e6, fast / old);
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

template <LatticeKind K>
void crossover(const std::vector<std::size_t>& lengths) {
  for (std::size_t n : lengths) {
    double array_move = 1e300, tree_move = 1e300, array_sample = 1e300, tree_sample = 1e300;
    for (int r = 0; r < 5; ++r) {
      const auto [am, as] = chain_seconds<K, tarvex::PivotArray>(n, 3000 + std::uint64_t(r));
      const auto [tm, ts] = chain_seconds<K, tarvex::SawTree>(n, 3000 + std::uint64_t(r));
      array_move = std::min(array_move, am);
      tree_move = std::min(tree_move, tm);
      array_sample = std::min(array_sample, as);
      tree_sample = std::min(tree_sample, ts);
    }
    std::printf("%-11s n=%-5zu per accepted move: array %6.0f ns tree %6.0f ns (tree/array %.2f)   per sample: array %7.2f us tree %7.2f us (%.2f)\n",
                name(K), n, array_move * 1e9, tree_move * 1e9, tree_move / array_move, array_sample * 1e6, tree_sample * 1e6,
                tree_sample / array_sample);
  }
}

}  // namespace

// --crossover compares the array and the tree alone at lengths around the
// switch from one to the other.
// --long adds walks of 10,000 and 30,000 points (new sampler only).
int main(int argc, char** argv) {
  const bool long_walks = argc > 1 && std::strcmp(argv[1], "--long") == 0;
  if (argc > 1 && std::strcmp(argv[1], "--crossover") == 0) {
    const std::vector<std::size_t> lengths = {200, 300, 400, 500, 700, 1000, 1500};
    crossover<LatticeKind::cubic>(lengths);
    crossover<LatticeKind::tetrahedral>(lengths);
    crossover<LatticeKind::fcc>(lengths);
    return EXIT_SUCCESS;
  }
  thermalization<LatticeKind::cubic>({20, 100, 300, 1000, 3000}, 5, true);
  if (long_walks) thermalization<LatticeKind::cubic>({10000, 30000, 100000}, 3, false);
  sampling<LatticeKind::tetrahedral>({20, 105, 300}, 5);
  sampling<LatticeKind::fcc>({20, 105, 300}, 5);
  return EXIT_SUCCESS;
}
