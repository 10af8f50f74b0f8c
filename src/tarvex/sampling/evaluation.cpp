// Per-sample evaluation: the RMSD and the cost of every walk of a sampling run.
#include "tarvex/sampling/evaluation.hpp"

#include "tarvex/reserve.hpp"

namespace tarvex {

CostsAndRmsds evaluate_samples(const SamplingRun& run, CostFunction& cost, const GroundTruth& gt,
                               Poll& poll) {
  CostsAndRmsds out;
  if (run.method.kind != SamplingMethod::Kind::enumerate) {
    out.costs.reserve(reserve_for(run.sample_size));
    out.rmsds.reserve(reserve_for(run.sample_size));
  }
  sample_walks(run, poll, [&](const Conformation& conformation) {
    out.rmsds.push_back(ground_truth_rmsd(gt, conformation));
    out.costs.push_back(evaluate_cost(cost, conformation));
  });
  return out;
}

}  // namespace tarvex
