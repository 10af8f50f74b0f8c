// The sampling driver of stats, correlation and sample_scores: the cost built, the run sampled and scored.
#include "tarvex/module/sampling_driver.hpp"

#include <cmath>
#include <memory>
#include <string>

#include "tarvex/compare/rmsd.hpp"
#include "tarvex/memory.hpp"
#include "tarvex/module/convert.hpp"
#include "tarvex/module/gil.hpp"
#include "tarvex/module/keywords.hpp"
#include "tarvex/module/memory_checks.hpp"
#include "tarvex/module/python_cost.hpp"
#include "tarvex/poll.hpp"
#include "tarvex/sampling/boltzmann_sampling.hpp"
#include "tarvex/walks/random.hpp"

namespace tarvex::py {

void require_finite_energies(const char* name, const Cost& cost) {
  for (const double e : cost.delta_energies()) {
    if (!std::isfinite(e)) {
      PyErr_Format(PyExc_ValueError, "%s: every contact energy must be a finite number here, not %R", name,
                   PyRef::check(PyFloat_FromDouble(e)).get());
      throw ErrorSet{};
    }
  }
}

SampleScores score_samples(const StatsArguments& a) {
  const std::unique_ptr<Cost> cost = build_cost(a.cost, std::string(a.seq), a.kmin, a.dmax);
  const SamplingMethod method =
      parse_method(a.method.value_or("pivot"), true, {a.thermalization_factor, a.autocorrelation_factor});
  if (a.temperature) {
    if (method.kind != SamplingMethod::Kind::pivot) {
      PyErr_SetString(PyExc_ValueError,
                      "sample_scores: a temperature needs the pivot method (the chain of moves at that temperature)");
      throw ErrorSet{};
    }
    require_finite_energies("sample_scores", *cost);
  }
  const LatticeKind lattice = parse_lattice(a.lattice);
  const GroundTruth gt = build_ground_truth(a.gt);
  SamplingRun run{walk_length(a.seq), a.sample_size, method, lattice, a.arc_length, a.pbar};
  require_walk_memory(run.n);
  bound_and_count_enumeration(run, 64, "the costs and RMSDs of that many samples");
  // Every sample keeps its cost and RMSD, and the ranking sorts both.
  if (method.kind != SamplingMethod::Kind::enumerate)
    require_memory(run.sample_size, 64, "the costs and RMSDs of that many samples");
  Poll poll(check_signals);
  const ReleasedGil released;
  Rng& rng = thread_rng();
  SampleScores scores = a.temperature ? evaluate_boltzmann_samples(run, *a.temperature, *cost, gt, poll, rng)
                                      : evaluate_samples(run, *cost, gt, poll, rng);
  cost->close();
  return scores;
}

}  // namespace tarvex::py
