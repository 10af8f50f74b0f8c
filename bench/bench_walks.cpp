// Benchmark of the exhaustive enumeration rate and of the repeated-point tests.
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "tarvex/walks/lattice.hpp"
#include "tarvex/walks/straight_walk.hpp"
#include "tarvex/walks/walk_enumerator.hpp"
#include "walk_helpers.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

template <tarvex::LatticeKind K>
void enumeration(const char* name, std::size_t n) {
  double best = 1e300;
  std::size_t count = 0;
  for (int rep = 0; rep < 3; ++rep) {
    const auto start = Clock::now();
    tarvex::WalkEnumerator<K> enumerator(n);
    count = 0;
    while (enumerator.next() != nullptr) ++count;
    best = std::min(best, seconds_since(start));
  }
  std::printf("enumerate %-11s n=%-3zu walks=%-9zu %.3f s  %.1f M walks/s\n", name, n, count, best,
              double(count) / best / 1e6);
}

// Self-avoiding walks cost the most: the test runs to the end without a hit.
void repeat_tests(std::size_t n) {
  const tarvex::LatticeWalk walk = tarvex::straight_walk(tarvex::Lattice(tarvex::LatticeKind::cubic), n);
  const std::size_t reps = 20'000'000 / (n * n / 8 + n);
  volatile bool sink = false;
  auto start = Clock::now();
  for (std::size_t r = 0; r < reps; ++r) sink = sink ^ tarvex::has_repeat_pairwise(walk);
  const double pairwise = seconds_since(start) / double(reps);
  start = Clock::now();
  for (std::size_t r = 0; r < reps; ++r) sink = sink ^ tarvex::has_repeat_hashed(walk);
  const double hashed = seconds_since(start) / double(reps);
  std::printf("repeat test n=%-3zu pairwise %8.1f ns/walk  hashed %8.1f ns/walk  (pairwise/hashed %.2f)\n", n,
              pairwise * 1e9, hashed * 1e9, pairwise / hashed);
}

}  // namespace

int main() {
  using tarvex::LatticeKind;
  enumeration<LatticeKind::cubic>("cubic", 10);
  enumeration<LatticeKind::tetrahedral>("tetrahedral", 14);
  enumeration<LatticeKind::bcc>("bcc", 8);
  enumeration<LatticeKind::fcc>("fcc", 7);
  for (std::size_t n : {20, 50, 99, 100, 300}) repeat_tests(n);
  return EXIT_SUCCESS;
}
