// Samples at a temperature: the Boltzmann chain run like the pivot sampler, every walk scored.
#include "tarvex/sampling/boltzmann_sampling.hpp"

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

#include "tarvex/sampling/boltzmann.hpp"
#include "tarvex/sampling/progress.hpp"
#include "tarvex/walks/pivot.hpp"

namespace tarvex {
namespace {

// Samples into evaluation; for a whole-walk cost the chain's energies are the
// costs (the same evaluation of the same conformation) and go to `costs`.
template <LatticeKind K>
void run_chain(const SamplingRun& run, double temperature, Cost& cost, Poll& poll, Rng& rng, Evaluation& evaluation,
               std::vector<double>& costs) {
  const std::size_t n = std::size_t(run.n);
  const double scale = run.scale();
  std::unique_ptr<ContactField> field;
  std::optional<CostOfWalk> whole;
  if (cost.offers_delta()) {
    // A sequence whose residues and points differ fails as its first cost would.
    field = cost.delta(n, scale, K);
    if (!field->finite()) fail("assertion failed: finite contact energies at a temperature");
  } else {
    whole.emplace(cost, scale);
  }
  const std::uint64_t t = n < 2 ? 0 : detail::saturating_mul(n, run.method.thermalization_factor);
  std::optional<BoltzmannChain<K>> chain;
  std::optional<BoltzmannLadder<K>> ladder;
  if (field) {
    ladder.emplace(n, temperature, contact_scale(cost.delta_energies()), *field, rng);
  } else {
    chain.emplace(n, temperature, nullptr, &*whole, rng);
  }
  const auto step = [&] { return ladder ? ladder->step() : chain->step(); };
  const double ratio = detail::thermalize(t, poll, step);
  std::uint64_t spacing = detail::saturating_count(double(run.method.autocorrelation_factor) * ratio);
  if (n >= 2) spacing = std::max<std::uint64_t>(spacing, 1);
  OptionalProgressBar bar(run.pbar, run.sample_size);
  LatticeWalk out(n);
  for (std::uint64_t s = 0; s < run.sample_size; ++s) {
    poll();
    bar.tick();
    for (std::uint64_t k = 0; k < spacing; ++k) {
      poll();
      step();
    }
    const BoltzmannChain<K>& at = ladder ? ladder->cold() : *chain;
    const LatticeWalk& walk = at.walk();
    for (std::size_t i = 0; i < n; ++i) out[i] = walk[i] - walk[0];
    evaluation.add(out);
    if (whole) costs.push_back(at.energy());
  }
  bar.close();
}

}  // namespace

SampleScores evaluate_boltzmann_samples(const SamplingRun& run, double temperature, Cost& cost, const GroundTruth& gt,
                                        Poll& poll, Rng& rng) {
  if (run.method.kind != SamplingMethod::Kind::pivot) fail("assertion failed: a temperature with the pivot method");
  if (cost.offers_delta()) {
    Evaluation evaluation(run.n, cost, gt, poll, run.scale());
    evaluation.reserve(run.sample_size);
    std::vector<double> unused;
    with_lattice(run.lattice, [&](auto kc) {
      run_chain<decltype(kc)::value>(run, temperature, cost, poll, rng, evaluation, unused);
    });
    return evaluation.finish();
  }
  // A Lua or Python cost is evaluated by the chain, one walk at a time in
  // order; the evaluation only measures RMSDs, with a cost of no pairs. It
  // scores the straight walk first, so that a ground truth that cannot be
  // compared fails before the cost sees any walk, as it does without a temperature.
  const std::unique_ptr<Cost> none = make_contact_cost(ContactEnergyCost{{}, run.n + 1, 0.0, std::size_t(run.n)});
  {
    Evaluation check(run.n, *none, gt, poll, run.scale());
    check.add(straight_walk(Lattice(run.lattice), std::size_t(run.n)));
    check.finish();
  }
  Evaluation evaluation(run.n, *none, gt, poll, run.scale());
  evaluation.reserve(run.sample_size);
  std::vector<double> costs;
  costs.reserve(std::size_t(std::min<std::uint64_t>(run.sample_size, std::uint64_t{1} << 24)));
  with_lattice(run.lattice,
               [&](auto kc) { run_chain<decltype(kc)::value>(run, temperature, cost, poll, rng, evaluation, costs); });
  SampleScores scores = evaluation.finish();
  scores.costs = std::move(costs);
  return scores;
}

}  // namespace tarvex
