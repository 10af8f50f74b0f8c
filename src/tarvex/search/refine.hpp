// Local improvement of a fitted walk: short windows regrown every possible way, kept when the RMSD drops.
#pragma once

#include <cstddef>
#include <span>

#include "tarvex/poll.hpp"
#include "tarvex/search/superpose.hpp"
#include "tarvex/walks/lattice_point.hpp"

namespace tarvex::search {

// Every window of up to `window` consecutive points (the ends included) is
// replaced in turn by the best self-avoiding alternative that joins its
// neighbours, judged by the residual after the best superposition on the
// whole of each target (the smallest over the targets), until a pass changes
// nothing or `passes` passes are done. Returns the walk's final residual.
template <LatticeKind K>
double refine(std::span<const Target> targets, LatticeWalk& walk, std::size_t window, std::size_t passes, Poll& poll);

}  // namespace tarvex::search
