// Benchmark of the random generator, the pivot sampler and the dimerization sampler.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sampling_helpers.hpp"
#include "tarvex/poll.hpp"
#include "tarvex/sampling/sampling.hpp"
#include "tarvex/walks/dimerize.hpp"
#include "tarvex/walks/pivot.hpp"
#include "tarvex/walks/random.hpp"
#include "testing/peer.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using tarvex::LatticeKind;

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// The lattice's name for printf's %s (the names are literals, so terminated).
const char* name(LatticeKind kind) { return tarvex::lattice_name(kind).data(); }

void rng_draws() {
  tarvex::Rng& rng = tarvex::thread_rng();
  const std::uint64_t draws = 200'000'000;
  std::uint64_t sink = 0;
  auto start = Clock::now();
  for (std::uint64_t i = 0; i < draws; ++i) sink += rng.uniform(0, 11);
  const double small = double(draws) / seconds_since(start);
  start = Clock::now();
  for (std::uint64_t i = 0; i < draws; ++i) sink += rng.next();
  const double raw = double(draws) / seconds_since(start);
  std::printf("rng: uniform(0, 11) %.0f M draws/s, raw 64-bit words %.0f M/s (sink %llu)\n", small / 1e6, raw / 1e6,
              static_cast<unsigned long long>(sink & 1));
}

template <LatticeKind K>
void pivot(std::size_t n) {
  tarvex::Poll poll;
  auto start = Clock::now();
  tarvex::PivotSampler<K> sampler(n, tarvex::thread_rng(), 10, 10, poll);
  const double thermalize = seconds_since(start);
  const std::uint64_t attempts = 2'000'000;
  std::uint64_t accepted = 0;
  start = Clock::now();
  for (std::uint64_t i = 0; i < attempts; ++i) accepted += sampler.try_pivot();
  const double per_attempt = seconds_since(start) / double(attempts);
  const std::size_t samples =
      std::max<std::size_t>(200, std::size_t(0.5 / (per_attempt *
                                                    double(tarvex::testing::Peer::attempts_per_sample(sampler) + 1))));
  start = Clock::now();
  std::size_t sink = 0;
  for (std::size_t i = 0; i < samples; ++i) sink += sampler.next_sample().size();
  const double per_sample = seconds_since(start) / double(samples);
  std::printf("pivot %-11s n=%-3zu thermalization %.4f s  %.2f M attempts/s (accept %.2f)  k=%-5llu %.0f samples/s\n",
              name(K), n, thermalize, 1e-6 / per_attempt, double(accepted) / double(attempts),
              static_cast<unsigned long long>(tarvex::testing::Peer::attempts_per_sample(sampler)), 1.0 / per_sample);
  (void)sink;
}

template <LatticeKind K>
double dimerize_rate(std::size_t n, std::size_t limit, double budget) {
  tarvex::Dimerizer<K> dimerizer = tarvex::testing::Peer::dimerizer<K>(tarvex::thread_rng(), limit);
  std::size_t samples = 0;
  const auto start = Clock::now();
  double elapsed = 0;
  while ((elapsed = seconds_since(start)) < budget) {
    for (int i = 0; i < 16; ++i) samples += dimerizer(n).size() == n;
  }
  return double(samples) / elapsed;
}

template <LatticeKind K>
void dimerize_sweep() {
  std::printf("dimerize %-11s base limit sweep, samples/s at n = 100 / 300:", name(K));
  for (std::size_t limit : {6, 8, 10, 12, 14, 16, 20, 24, 32}) {
    std::printf("  %zu: %.0f / %.0f", limit, dimerize_rate<K>(100, limit, 0.3), dimerize_rate<K>(300, limit, 0.3));
  }
  std::printf("\n");
}

template <LatticeKind K>
void dimerize_default() {
  for (std::size_t n : {20, 50, 100, 300}) {
    const double rate = dimerize_rate<K>(n, tarvex::kDimerizeBaseLimit<K>, 1.0);
    std::printf("dimerize %-11s n=%-3zu %9.0f samples/s%s\n", name(K), n, rate,
                n == 100 ? "  (10,000 samples: ratio to the 1 s target below)" : "");
    if (n == 100) std::printf("         10,000 samples of 100 points take %.3f of the 1 s target\n", 1e4 / rate);
  }
}

// The whole driver with the default sampling factors, conformations included.
void driver(LatticeKind kind, tarvex::SamplingMethod::Kind method, std::uint64_t n, std::uint64_t samples) {
  tarvex::Poll poll;
  const tarvex::SamplingRun run{n, samples, {method, 10, 10}, kind, 3.8, false};
  std::size_t points = 0;
  const auto start = Clock::now();
  tarvex::sample_walks(run, poll, [&](const tarvex::Conformation& c) { points += c.size(); });
  const double elapsed = seconds_since(start);
  std::printf("driver %-8s %-11s n=%-3llu %llu samples in %.3f s\n",
              method == tarvex::SamplingMethod::Kind::pivot ? "pivot" : "dimerize", name(kind),
              static_cast<unsigned long long>(n), static_cast<unsigned long long>(samples), elapsed);
}

}  // namespace

int main(int argc, char** argv) {
  const bool sweep = argc > 1 && std::strcmp(argv[1], "--sweep") == 0;
  rng_draws();
  for (std::size_t n : {20, 100, 300}) {
    pivot<LatticeKind::cubic>(n);
    pivot<LatticeKind::tetrahedral>(n);
  }
  if (sweep) {
    dimerize_sweep<LatticeKind::tetrahedral>();
    dimerize_sweep<LatticeKind::fcc>();
    dimerize_sweep<LatticeKind::bcc>();
    dimerize_sweep<LatticeKind::cubic>();
  }
  dimerize_default<LatticeKind::tetrahedral>();
  dimerize_default<LatticeKind::fcc>();
  dimerize_default<LatticeKind::bcc>();
  dimerize_default<LatticeKind::cubic>();
  for (LatticeKind kind : {LatticeKind::tetrahedral, LatticeKind::cubic}) {
    driver(kind, tarvex::SamplingMethod::Kind::pivot, 100, 10000);
    driver(kind, tarvex::SamplingMethod::Kind::dimerize, 100, 10000);
  }
  return EXIT_SUCCESS;
}
