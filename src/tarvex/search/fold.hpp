// The lowest-cost walk of a sequence by replica exchange over a ladder of temperatures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "tarvex/cost/cost.hpp"
#include "tarvex/poll.hpp"
#include "tarvex/walks/lattice_point.hpp"
#include "tarvex/walks/random.hpp"

namespace tarvex {

struct FoldSettings {
  std::uint64_t sweeps = 0;      // sweeps of n moves per replica; 0 chooses by length
  std::optional<double> target;  // stop once a walk costs this much or less
  bool pbar = false;
  std::size_t replicas = 0;      // 0: the default ladder
  double low = 0.0, high = 0.0;  // the ladder's ends in units of the cost's scale; 0: defaults
};

struct Folded {
  LatticeWalk walk;      // from the origin
  double cost;           // the cost of the walk's conformation at arc_length
  std::uint64_t sweeps;  // the sweeps run (fewer than asked when the target was reached)
};

// The default number of sweeps for a chain of n points, with a contact table or another cost,
// with a target cost to stop at or without one.
std::uint64_t default_fold_sweeps(std::size_t n, bool table, bool target);

// Replicas of the Boltzmann chain at geometrically spaced temperatures,
// exchanged at fixed sweep boundaries; the lowest-cost walk any replica
// visited. Contact tables run the replicas on the pool's threads; other costs
// on the calling thread. Deterministic given rng, which seeds the replicas,
// at any thread count. Needs n >= 1 and, for a table, finite energies.
Folded fold_walk(std::size_t n, LatticeKind lattice, double arc_length, Cost& cost, const FoldSettings& settings,
                 Poll& poll, Rng& rng);

}  // namespace tarvex
