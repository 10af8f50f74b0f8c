// Fuzz target: the enumerator, samplers, walk generators and repeat tests on small arbitrary lengths.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "fuzz_input.hpp"
#include "tarvex/poll.hpp"
#include "tarvex/walks/dimerize.hpp"
#include "tarvex/walks/pivot.hpp"
#include "tarvex/walks/point_set.hpp"
#include "tarvex/walks/random.hpp"
#include "tarvex/walks/straight_walk.hpp"
#include "tarvex/walks/walk_enumerator.hpp"
#include "testing/peer.hpp"

using namespace tarvex;
using tarvex::fuzzing::is_valid_walk;

namespace {

constexpr std::size_t kMaxPoints = 40;
constexpr std::size_t kMaxEnumerated = 1000;

// The step indices of a valid walk, for comparing enumeration order.
template <LatticeKind K>
std::vector<std::size_t> step_indices(const LatticeWalk& walk) {
  std::vector<std::size_t> out;
  for (std::size_t i = 1; i < walk.size(); ++i) {
    std::size_t j = 0;
    while (!(neighbour<K>(walk[i - 1], j) == walk[i])) ++j;
    out.push_back(j);
  }
  return out;
}

template <LatticeKind K>
void check_enumeration(std::size_t n, std::size_t calls) {
  WalkEnumerator<K> enumerator(n);
  std::vector<std::size_t> previous;
  std::size_t count = 0;
  for (; count < calls; ++count) {
    const LatticeWalk* walk = enumerator.next();
    if (walk == nullptr) break;
    TARVEX_FUZZ_CHECK(is_valid_walk(K, *walk, n));
    // Highest step first at every point: each walk comes strictly before the
    // previous one in the order of step indices, so none is repeated.
    std::vector<std::size_t> steps = step_indices<K>(*walk);
    if (count > 0) TARVEX_FUZZ_CHECK(steps < previous);
    previous = std::move(steps);
  }
  if (count == calls) return;
  TARVEX_FUZZ_CHECK(testing::Peer::exhausted(enumerator));
  TARVEX_FUZZ_CHECK(enumerator.next() == nullptr);
  // Up to three points every non-reversing walk avoids itself.
  const std::size_t c = coordination(K);
  const std::size_t expected[] = {1, 1, c, c * (c - 1)};
  if (n < 4) TARVEX_FUZZ_CHECK(count == expected[n]);
}

template <LatticeKind K>
void check_pivot(FuzzedDataProvider& in, std::size_t n, Rng& rng) {
  Poll poll;
  const auto thermalization = in.ConsumeIntegralInRange<std::uint64_t>(0, 8);
  const auto autocorrelation = in.ConsumeIntegralInRange<std::uint64_t>(0, 8);
  PivotSampler<K> sampler(n, rng, thermalization, autocorrelation, poll);
  TARVEX_FUZZ_CHECK(is_valid_walk(K, sampler.walk(), n));
  const auto moves = in.ConsumeIntegralInRange<int>(0, 16);
  for (int m = 0; m < moves && n >= 2; ++m) {
    const auto site = in.ConsumeIntegralInRange<std::size_t>(0, n - 2);
    const SymmetryGroup group = group_of<K>();
    const Symmetry& s = group[in.ConsumeIntegralInRange<std::size_t>(0, group.size() - 1)];
    const LatticeWalk before = sampler.walk();
    const bool accepted = testing::Peer::try_pivot_at(sampler, site, s);
    TARVEX_FUZZ_CHECK(is_valid_walk(K, sampler.walk(), n));
    if (!accepted) TARVEX_FUZZ_CHECK(sampler.walk() == before);
    // The points up to the site never move.
    TARVEX_FUZZ_CHECK(std::equal(before.begin(), before.begin() + std::ptrdiff_t(site + 1), sampler.walk().begin()));
  }
  const auto samples = in.ConsumeIntegralInRange<int>(0, 3);
  for (int k = 0; k < samples; ++k) TARVEX_FUZZ_CHECK(is_valid_walk(K, sampler.next_sample(), n));
}

template <LatticeKind K>
void check_dimerizer(FuzzedDataProvider& in, std::size_t n, Rng& rng) {
  auto dimerizer = testing::Peer::dimerizer<K>(rng, in.ConsumeIntegralInRange<std::size_t>(0, kMaxPoints + 5));
  TARVEX_FUZZ_CHECK(is_valid_walk(K, dimerizer(n), n));
  // A second, different length through the same scratch buffers.
  const auto m = in.ConsumeIntegralInRange<std::size_t>(0, kMaxPoints);
  TARVEX_FUZZ_CHECK(is_valid_walk(K, dimerizer(m), m));
}

// The pairwise test is the reference for the hashed ones; the reused set sees
// walks of every size one after another, which is what its stamps must survive.
void check_repeat_tests(std::span<const LatticePoint> walk) {
  static PointSet reused;
  const bool repeat = has_repeat_pairwise(walk);
  TARVEX_FUZZ_CHECK(has_repeat_hashed(walk) == repeat);
  TARVEX_FUZZ_CHECK(has_repeat_hashed(walk, reused) == repeat);
  bool last_new = true;
  for (std::size_t i = 0; i + 1 < walk.size(); ++i) last_new = last_new && !(walk[i] == walk.back());
  TARVEX_FUZZ_CHECK(last_is_new(walk) == last_new);
}

// Mostly a few coordinates near the origin, so repeats are common, and the
// extremes where coordinates wrap.
LatticePoint arbitrary_point(FuzzedDataProvider& in) {
  const auto coordinate = [&]() -> std::int32_t {
    switch (in.ConsumeIntegralInRange<int>(0, 5)) {
      case 0: return std::numeric_limits<std::int32_t>::min() + in.ConsumeIntegralInRange<std::int32_t>(0, 2);
      case 1: return std::numeric_limits<std::int32_t>::max() - in.ConsumeIntegralInRange<std::int32_t>(0, 2);
      case 2: return in.ConsumeIntegral<std::int32_t>();
      default: return in.ConsumeIntegralInRange<std::int32_t>(-2, 2);
    }
  };
  const std::int32_t x = coordinate(), y = coordinate(), z = coordinate();
  return {x, y, z};
}

// Each neighbour of p has p among its own neighbours, also where coordinates wrap.
void check_neighbourhood(LatticeKind kind, LatticePoint p) {
  const Lattice lattice(kind);
  for (const LatticePoint& q : neighbours(lattice, p)) {
    TARVEX_FUZZ_CHECK(!(q == p));
    const NeighbourList back = neighbours(lattice, q);
    TARVEX_FUZZ_CHECK(std::find(back.begin(), back.end(), p) != back.end());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const LatticeKind kind = fuzzing::lattice_kind(in);
  const auto n = in.ConsumeIntegralInRange<std::size_t>(0, kMaxPoints);
  Rng rng = Rng::seeded(in.ConsumeIntegral<std::uint64_t>());
  const Lattice lattice(kind);

  switch (in.ConsumeIntegralInRange<int>(0, 4)) {
    case 0:
      with_lattice(kind, [&](auto kc) {
        check_enumeration<decltype(kc)::value>(n, in.ConsumeIntegralInRange<std::size_t>(0, kMaxEnumerated));
      });
      break;
    case 1: with_lattice(kind, [&](auto kc) { check_pivot<decltype(kc)::value>(in, n, rng); }); break;
    case 2: with_lattice(kind, [&](auto kc) { check_dimerizer<decltype(kc)::value>(in, n, rng); }); break;
    case 3: {
      const LatticeWalk straight = straight_walk(lattice, n);
      TARVEX_FUZZ_CHECK(is_valid_walk(kind, straight, n));
      const LatticeWalk random = random_walk(lattice, n, rng);
      TARVEX_FUZZ_CHECK(random.size() == n && (n == 0 || random[0] == kOrigin));
      check_repeat_tests(random);
      TARVEX_FUZZ_CHECK(is_valid_walk(kind, random, n) == !has_repeat_pairwise(random));
      break;
    }
    default: {
      std::vector<LatticePoint> points;
      while (points.size() < kMaxPoints * 4 && in.remaining_bytes() > 0) points.push_back(arbitrary_point(in));
      check_repeat_tests(points);
      if (!points.empty()) check_neighbourhood(kind, points[0]);
      break;
    }
  }
  return 0;
}
