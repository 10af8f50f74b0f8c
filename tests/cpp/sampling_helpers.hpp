// The sampling driver's walks as conformations, for tests and benchmarks that want points.
#pragma once

#include <utility>

#include "tarvex/point.hpp"
#include "tarvex/poll.hpp"
#include "tarvex/sampling/sampling.hpp"
#include "tarvex/walks/lattice.hpp"
#include "tarvex/walks/random.hpp"

namespace tarvex {

// The walks of sample_lattice_walks (drawn from the calling thread's
// generator), each converted to a Conformation (a buffer reused from walk to
// walk) and handed to visit(const Conformation&).
template <class Visitor>
void sample_walks(const SamplingRun& run, Poll& poll, Visitor&& visit) {
  Conformation conformation;
  const double scale = run.scale();
  sample_lattice_walks(run, thread_rng(), poll, [&](const LatticeWalk& walk) {
    to_conformation(walk, scale, conformation);
    visit(std::as_const(conformation));
  });
}

}  // namespace tarvex
