// Minimization over every walk of a length: the first conformation with the lowest score.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "tarvex/compare/rmsd.hpp"
#include "tarvex/cost/cost.hpp"
#include "tarvex/point.hpp"
#include "tarvex/poll.hpp"
#include "tarvex/walks/lattice_point.hpp"

namespace tarvex {

// Enumerates every walk of n points and returns the conformation with the
// smallest score under the IEEE 754 total order; of equal scores the earliest
// walk's wins, whatever the thread count. Only the running best is kept (per
// part of the enumeration), so memory does not grow with the number of walks.
// A cost that runs anywhere is scored on the pool's threads, the
// enumeration split among them; any other one batch at a time, here, in
// enumeration order.
Conformation minimize_over_walks(std::uint64_t n, LatticeKind lattice, double arc_length, bool pbar, Poll& poll,
                                 Cost& cost);

// The same with the RMSD to the ground truth as the score.
Conformation minimize_rmsd_over_walks(std::uint64_t n, LatticeKind lattice, double arc_length, bool pbar, Poll& poll,
                                      const GroundTruth& gt);

}  // namespace tarvex
