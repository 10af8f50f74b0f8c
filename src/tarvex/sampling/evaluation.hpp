// Per-sample evaluation: the RMSD and the cost of every walk of a sampling run.
#pragma once

#include <vector>

#include "tarvex/compare/rmsd.hpp"
#include "tarvex/cost/cost.hpp"
#include "tarvex/poll.hpp"
#include "tarvex/sampling/sampling.hpp"

namespace tarvex {

// Index i of both lists belongs to the i-th walk produced.
struct CostsAndRmsds {
  std::vector<double> costs, rmsds;
};

// Samples the run and evaluates every walk against the ground truth and with
// the cost, the RMSD first: a cost function with side effects sees only
// conformations whose RMSD was computed. A failing cost ends the run.
CostsAndRmsds evaluate_samples(const SamplingRun& run, CostFunction& cost, const GroundTruth& gt,
                               Poll& poll);

}  // namespace tarvex
