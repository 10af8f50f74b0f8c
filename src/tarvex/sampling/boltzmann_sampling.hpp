// Samples at a temperature: the Boltzmann chain run like the pivot sampler, every walk scored.
#pragma once

#include "tarvex/compare/rmsd.hpp"
#include "tarvex/cost/cost.hpp"
#include "tarvex/poll.hpp"
#include "tarvex/sampling/evaluation.hpp"
#include "tarvex/sampling/sampling.hpp"
#include "tarvex/walks/random.hpp"

namespace tarvex {

// The pivot method's run drawn from exp(-cost / temperature) instead of
// uniformly: n * thermalization_factor accepted moves first, then
// autocorrelation_factor * (accepted / rejected) move attempts between
// samples (at least one), every walk scored against gt and with the cost as
// evaluate_samples does, drawing from rng. A cost with a delta must have
// finite energies.
SampleScores evaluate_boltzmann_samples(const SamplingRun& run, double temperature, Cost& cost, const GroundTruth& gt,
                                        Poll& poll, Rng& rng);

}  // namespace tarvex
