// The sampling driver: the one loop through which every produced walk passes.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>

#include "tarvex/memory.hpp"
#include "tarvex/poll.hpp"
#include "tarvex/sampling/progress.hpp"
#include "tarvex/walks/dimerize.hpp"
#include "tarvex/walks/lattice.hpp"
#include "tarvex/walks/pivot.hpp"
#include "tarvex/walks/random.hpp"
#include "tarvex/walks/walk_enumerator.hpp"

namespace tarvex {

struct SamplingMethod {
  enum class Kind : std::uint8_t { pivot = 0, dimerize = 1, enumerate = 2 } kind = Kind::pivot;
  std::uint64_t thermalization_factor = 0, autocorrelation_factor = 0;  // pivot only
};

struct SamplingRun {
  std::uint64_t n = 0, sample_size = 0;
  SamplingMethod method;
  LatticeKind lattice = LatticeKind::tetrahedral;
  double arc_length = 3.8;
  bool pbar = false;
  // The walks an enumeration may produce before it fails with MemoryExceeded:
  // the caller keeps walk_bytes for each, and the count is known only at the end.
  std::uint64_t max_walks = UINT64_MAX;
  std::uint64_t walk_bytes = 0, memory_limit = 0;
  const char* walks_what = "";

  // The factor from lattice coordinates to space, the same for every walk of
  // the run: a walk's conformation is its points times scale().
  double scale() const { return lattice_scale(Lattice(lattice), arc_length); }

  void bound_enumeration(std::uint64_t bytes_each, const char* what) {
    if (method.kind != SamplingMethod::Kind::enumerate) return;
    memory_limit = usable_memory();
    walk_bytes = std::max<std::uint64_t>(bytes_each, 1);
    max_walks = memory_limit / walk_bytes;
    walks_what = what;
  }
};

namespace detail {

// One loop per (lattice, method): nothing in it dispatches on either.
template <LatticeKind K, class Visitor>
void sample_walks_on(const SamplingRun& run, Rng& rng, Poll& poll, Visitor& visit) {
  OptionalProgressBar bar;
  const auto deliver = [&](const LatticeWalk& walk) { visit(walk); };
  // The sample_size walks of a sampler, each drawn by next().
  const auto draw_samples = [&](auto&& next) {
    bar.open(run.pbar, run.sample_size);
    for (std::uint64_t i = 0; i < run.sample_size; ++i) {
      poll();
      bar.tick();
      deliver(next());
    }
  };
  switch (run.method.kind) {
    case SamplingMethod::Kind::pivot: {
      // Thermalization belongs to the set-up and runs before the bar appears.
      PivotSampler<K> sampler(run.n, rng, run.method.thermalization_factor, run.method.autocorrelation_factor, poll);
      draw_samples([&]() -> decltype(auto) { return sampler.next_sample(); });
      break;
    }
    case SamplingMethod::Kind::dimerize: {
      Dimerizer<K> dimerizer(rng, &poll);
      draw_samples([&]() -> decltype(auto) { return dimerizer(run.n); });
      break;
    }
    case SamplingMethod::Kind::enumerate: {
      WalkEnumerator<K> enumerator(run.n);
      bar.open(run.pbar, std::nullopt);
      std::uint64_t produced = 0;
      while (const LatticeWalk* walk = enumerator.next()) {
        if (++produced > run.max_walks) [[unlikely]]
          exceed_memory(produced, run.walk_bytes, run.memory_limit, run.walks_what);
        poll();
        bar.tick();
        deliver(*walk);
      }
      break;
    }
    default: fail("unknown sampling method {}", int(run.method.kind));
  }
  bar.close();
}

}  // namespace detail

// Produces every walk of the run, drawing from rng, and hands it to
// visit(const LatticeWalk&) in production order; its points times
// run.scale() are the conformation. The walk is only valid during the call,
// so a visitor copies what it keeps. visit may throw (Panic, Interrupted); the progress line is
// still ended. poll() runs once per walk and inside thermalization and long
// dimerizations.
template <class Visitor>
void sample_lattice_walks(const SamplingRun& run, Rng& rng, Poll& poll, Visitor&& visit) {
  with_lattice(run.lattice, [&](auto kc) { detail::sample_walks_on<decltype(kc)::value>(run, rng, poll, visit); });
}

}  // namespace tarvex
