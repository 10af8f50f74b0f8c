// The drivers of the six functions: arguments bound, the core called, results built.
#include "tarvex/module/drivers.hpp"

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "tarvex/compare/rmsd.hpp"
#include "tarvex/fail.hpp"
#include "tarvex/memory.hpp"
#include "tarvex/messages.hpp"
#include "tarvex/module/arguments.hpp"
#include "tarvex/module/bind.hpp"
#include "tarvex/module/convert.hpp"
#include "tarvex/module/gil.hpp"
#include "tarvex/module/keywords.hpp"
#include "tarvex/module/memory_checks.hpp"
#include "tarvex/module/python_cost.hpp"
#include "tarvex/module/sampling_driver.hpp"
#include "tarvex/poll.hpp"
#include "tarvex/reserve.hpp"
#include "tarvex/sampling/evaluation.hpp"
#include "tarvex/sampling/minimize.hpp"
#include "tarvex/sampling/sampling.hpp"
#include "tarvex/stats/rank.hpp"
#include "tarvex/stats/statistics.hpp"
#include "tarvex/walks/random.hpp"

namespace tarvex::py {
namespace {

PyRef float_tuple(std::initializer_list<double> values) {
  PyRef tuple = PyRef::check(PyTuple_New(static_cast<Py_ssize_t>(values.size())));
  Py_ssize_t i = 0;
  for (double v : values) PyTuple_SET_ITEM(tuple.get(), i++, new_float(v).release());
  return tuple;
}

PyRef statistics_object(const SampleStatistics& s) {
  PyRef tuple = PyRef::check(PyTuple_New(4));
  PyTuple_SET_ITEM(tuple.get(), 0, new_float(s.correlation).release());
  PyTuple_SET_ITEM(tuple.get(), 1, float_tuple({s.min_cost, s.avg_cost, s.max_cost}).release());
  PyTuple_SET_ITEM(tuple.get(), 2, float_tuple({s.min_rmsd, s.avg_rmsd, s.max_rmsd}).release());
  PyTuple_SET_ITEM(tuple.get(), 3, float_tuple({s.min_cost_rmsd, s.max_cost_rmsd}).release());
  return tuple;
}

}  // namespace

PyRef stats(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const StatsArguments a = bind_stats("stats", args, nargs, kwnames);
  const SampleScores sample = score_samples(a);
  Poll poll(check_signals);
  const SampleStatistics statistics = [&] {
    const ReleasedGil released;
    return sample_statistics(sample.costs, sample.rmsds, &poll);
  }();
  return build_result([&] { return statistics_object(statistics); }, 512);
}

PyRef correlation(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const StatsArguments a = bind_stats("correlation", args, nargs, kwnames);
  const SampleScores sample = score_samples(a);
  Poll poll(check_signals);
  const double value = [&] {
    const ReleasedGil released;
    return spearman_correlation(sample.costs, sample.rmsds, &poll);
  }();
  return build_result([&] { return new_float(value); }, 24);
}

PyRef sample_solutions(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  SamplingRun run = bind_sampling("sample_solutions", args, nargs, kwnames);
  const bool counted = run.method.kind != SamplingMethod::Kind::enumerate;
  // Each walk becomes a list of point lists, 2,152 bytes for 20 points as
  // measured, and its points are kept until then.
  const std::uint64_t walk_bytes = 72 + 104 * std::max<std::uint64_t>(run.n, 1);
  if (counted) require_memory(run.sample_size, walk_bytes, "that many walks");
  const std::uint64_t enumerated = bound_and_count_enumeration(run, walk_bytes, "that many walks");
  // One buffer for every walk's points: no allocation per walk.
  std::vector<LatticePoint> walks;
  const std::size_t n = static_cast<std::size_t>(run.n);
  walks.reserve(reserve_for((counted ? run.sample_size : enumerated) * std::min<std::uint64_t>(run.n, 1u << 16)));
  std::size_t count = 0;
  Poll poll(check_signals);
  {
    const ReleasedGil released;
    sample_lattice_walks(run, thread_rng(), poll, [&](const LatticeWalk& walk) {
      walks.insert(walks.end(), walk.begin(), walk.end());
      ++count;
    });
  }
  return build_result([&] { return new_walk_list(walks, n, count, run.scale()); }, count * walk_bytes);
}

PyRef minimize_cost(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto [seq, cost_object, lattice_text, arc_length, kmin, dmax, pbar] =
      bind_arguments("minimize_cost", args, nargs, kwnames, required("seq", to_text), required("cost", as_object),
                     defaulted("lattice", to_text, "tetrahedral"), defaulted("arc_length", to_float, 3.8),
                     defaulted("kmin", to_unsigned, 1), defaulted("dmax", to_float, 7.8),
                     defaulted("pbar", to_flag, false));
  const std::unique_ptr<Cost> cost = build_cost(cost_object, std::string(seq), kmin, dmax);
  const LatticeKind lattice = parse_lattice(lattice_text);
  require_walk_memory(walk_length(seq));
  Poll poll(check_signals);
  const Conformation best = [&, &seq = seq, &arc_length = arc_length, &pbar = pbar] {
    const ReleasedGil released;
    Conformation found = minimize_over_walks(walk_length(seq), lattice, arc_length, pbar, poll, *cost);
    cost->close();
    return found;
  }();
  return build_result([&] { return new_conformation(best); }, 72 + 104 * best.size());
}

PyRef minimize_rmsd(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto [models, lattice_text, arc_length, pbar] =
      bind_arguments("minimize_rmsd", args, nargs, kwnames, required("gt", to_structure_list),
                     defaulted("lattice", to_text, "tetrahedral"), defaulted("arc_length", to_float, 3.8),
                     defaulted("pbar", to_flag, false));
  if (models.empty()) fail(messages::kNoModelsAssertion);
  const LatticeKind lattice = parse_lattice(lattice_text);
  const std::uint64_t n = models.front().size();
  const GroundTruth gt = build_ground_truth(models);
  models = {};
  require_walk_memory(n);
  Poll poll(check_signals);
  const Conformation best = [&, &arc_length = arc_length, &pbar = pbar] {
    const ReleasedGil released;
    return minimize_rmsd_over_walks(n, lattice, arc_length, pbar, poll, gt);
  }();
  return build_result([&] { return new_conformation(best); }, 72 + 104 * best.size());
}

PyRef rmsd(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto [sol, models] =
      bind_arguments("rmsd", args, nargs, kwnames, required("sol", to_structure), required("gt", to_structure_list));
  const GroundTruth gt = build_ground_truth(models);
  const double value = [&, &sol = sol] {
    const ReleasedGil released;
    return ground_truth_rmsd(gt, sol);
  }();
  return build_result([&] { return new_float(value); }, 24);
}

}  // namespace tarvex::py
