// Run-time entry of the dimerization sampler for single samples.
#include "tarvex/walks/dimerize.hpp"

namespace tarvex {

LatticeWalk dimerize(const Lattice& lattice, std::size_t n, Rng& rng) {
  return with_lattice(lattice.kind, [&](auto kc) {
    Dimerizer<decltype(kc)::value> dimerizer(rng);
    return LatticeWalk(dimerizer(n));
  });
}

LatticeWalk dimerize(const Lattice& lattice, std::size_t n) { return dimerize(lattice, n, thread_rng()); }

}  // namespace tarvex
