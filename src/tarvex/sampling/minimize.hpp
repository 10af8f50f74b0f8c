// Minimisation over every walk of a length: the first conformation with the lowest score.
#pragma once

#include <cstdint>

#include "tarvex/fail.hpp"
#include "tarvex/point.hpp"
#include "tarvex/poll.hpp"
#include "tarvex/sampling/sampling.hpp"
#include "tarvex/total_order.hpp"

namespace tarvex {

// Enumerates every walk of n points and returns the conformation with the
// smallest score(conformation) under the total order; ties keep the earliest
// walk. Only the running best is kept, so memory does not grow with the
// number of walks.
template <class Score>
Conformation minimise_over_walks(std::uint64_t n, LatticeKind lattice, double arc_length, bool pbar,
                                 Poll& poll, Score&& score) {
  const SamplingRun run{n, 0, {SamplingMethod::Kind::enumerate, 0, 0}, lattice, arc_length, pbar};
  Conformation best;
  std::uint64_t best_key = 0;
  bool found = false;
  sample_walks(run, poll, [&](const Conformation& conformation) {
    const std::uint64_t key = total_order_key(score(conformation));
    if (!found || key < best_key) {
      best.assign(conformation.begin(), conformation.end());
      best_key = key;
      found = true;
    }
  });
  if (!found) fail("assertion failed: the enumeration yielded at least one walk");
  return best;
}

}  // namespace tarvex
