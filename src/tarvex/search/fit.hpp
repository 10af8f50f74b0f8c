// Whole-protein lattice fits: the self-avoiding walk closest to the ground-truth models.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "tarvex/point.hpp"
#include "tarvex/poll.hpp"
#include "tarvex/walks/lattice_point.hpp"

namespace tarvex {

struct FitSettings {
  // What suits the lattice, in the fields that allow it.
  static constexpr std::size_t kByLattice = std::size_t(-1);
  std::size_t beam = 0;  // the search's width; 0 chooses one by lattice and length
  bool pbar = false;
  // What the benchmark switches off to show what each part adds.
  bool placements = true;  // placements from many frames, followed by re-superposition
  std::size_t frames = 0;  // placements followed per model; 0: by beam
  std::size_t rounds = 8;  // re-superpositions per placement
  std::size_t repair_width = 8;
  bool prefix = true;     // the beam over prefix RMSDs
  bool both_ends = true;  // the beam grown from either end of the chain
  // The beam's diversity: at most per_tail prefixes ending in the same
  // `tail` points.
  std::size_t tail = kByLattice, per_tail = kByLattice;
  bool polish = true;               // its walk followed as a placement
  bool refine = true;               // short windows regrown
  std::size_t window = kByLattice;  // the longest window regrown
  bool exact = true;                // short chains by branch and bound
};

// Fails with MemoryExceeded, before any work, when a fit of n points cannot
// fit in memory: the beam's rows and every thread's tables of candidate sites
// grow with n, the beam's extensions with its width.
void require_fit_memory(LatticeKind lattice, std::size_t beam, std::size_t n);

// A walk of models[0].size() points from the origin (lattice units) whose
// conformation at arc_length lies close to the models: the smallest RMSD
// over them is what is minimized. Deterministic, and the same at any thread
// count. Models longer than the first count by their first points.
LatticeWalk fit_walk(std::span<const Conformation> models, LatticeKind lattice, double arc_length,
                     const FitSettings& settings, Poll& poll);

}  // namespace tarvex
