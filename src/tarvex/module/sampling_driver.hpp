// The sampling driver of stats, correlation and sample_scores: the cost built, the run sampled and scored.
#pragma once

#include "tarvex/cost/cost.hpp"
#include "tarvex/module/arguments.hpp"
#include "tarvex/sampling/evaluation.hpp"

namespace tarvex::py {

// Fails with ValueError when a cost's pair energies are not all finite
// numbers: sampling at a temperature and folding add up their changes.
void require_finite_energies(const char* name, const Cost& cost);

// Builds the cost, the method, the lattice and the ground truth (failing in
// that order), then samples and scores every walk with the interpreter lock
// released, drawing from the calling thread's generator (see seed).
SampleScores score_samples(const StatsArguments& a);

}  // namespace tarvex::py
