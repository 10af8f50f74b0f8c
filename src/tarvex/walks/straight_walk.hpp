// The straight walk, from which the pivot chain starts.
#pragma once

#include <cstddef>

#include "tarvex/walks/lattice.hpp"

namespace tarvex {

// Point i is i steps along step 0 (along steps 1 and 0 alternately on the
// diamond lattice, a zigzag). Self-avoiding on every lattice.
LatticeWalk straight_walk(const Lattice& lattice, std::size_t n);

}  // namespace tarvex
