// The drivers of the six functions: arguments bound, the core called, results built.
#include "tarvex/module/drivers.hpp"

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tarvex/compare/rmsd.hpp"
#include "tarvex/fail.hpp"
#include "tarvex/memory.hpp"
#include "tarvex/module/bind.hpp"
#include "tarvex/module/convert.hpp"
#include "tarvex/module/gil.hpp"
#include "tarvex/module/keywords.hpp"
#include "tarvex/module/python_cost.hpp"
#include "tarvex/poll.hpp"
#include "tarvex/reserve.hpp"
#include "tarvex/sampling/evaluation.hpp"
#include "tarvex/sampling/minimize.hpp"
#include "tarvex/sampling/sampling.hpp"
#include "tarvex/stats/rank.hpp"
#include "tarvex/stats/statistics.hpp"

namespace tarvex::py {
namespace {

// The walk length of a sequence is its length in bytes of UTF-8.
std::uint64_t walk_length(std::string_view seq) { return seq.size(); }

// What a sampler holds for a walk of n points (the walk, its moved copy, the
// conformation), checked before a sampler is built.
void require_walk_memory(std::uint64_t n) { require_memory(n, 64, "a walk of that many points"); }

// Every sample keeps its cost and RMSD, and the ranking sorts both.
void require_score_memory(const SamplingRun& run) {
  require_walk_memory(run.n);
  if (run.method.kind != SamplingMethod::Kind::enumerate)
    require_memory(run.sample_size, 64, "the costs and RMSDs of that many samples");
}

struct StatsArguments {
  std::string_view seq;
  std::vector<Conformation> gt;
  PyObject* cost;
  std::uint64_t sample_size;
  std::optional<std::string_view> method;
  std::uint64_t thermalization_factor, autocorrelation_factor;
  std::string_view lattice;
  double arc_length;
  std::uint64_t kmin;
  double dmax;
  bool pbar;
};

StatsArguments bind_stats(const char* name, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  auto [seq, gt, cost, sample_size, method, thermalization, autocorrelation, lattice, arc_length,
        kmin, dmax, pbar] =
      bind_arguments(name, args, nargs, kwnames, required("seq", to_text),
                     required("gt", to_structure_list), required("cost", as_object),
                     defaulted("sample_size", to_unsigned, 10000),
                     defaulted("method", to_optional_text, std::nullopt),
                     defaulted("thermalization_factor", to_unsigned, 100),
                     defaulted("autocorrelation_factor", to_unsigned, 10),
                     defaulted("lattice", to_text, "tetrahedral"),
                     defaulted("arc_length", to_float, 3.8), defaulted("kmin", to_unsigned, 1),
                     defaulted("dmax", to_float, 7.8), defaulted("pbar", to_flag, false));
  return {seq,     std::move(gt), cost,       sample_size, method, thermalization, autocorrelation,
          lattice, arc_length,    kmin,       dmax,        pbar};
}

SampleScores sample_cost_rmsd(const StatsArguments& a) {
  CostFunction cost = build_cost(a.cost, std::string(a.seq), a.kmin, a.dmax);
  const SamplingMethod method = parse_method(a.method.value_or("pivot"), true,
                                             {a.thermalization_factor, a.autocorrelation_factor});
  const LatticeKind lattice = parse_lattice(a.lattice);
  const GroundTruth gt = build_ground_truth(a.gt);
  const SamplingRun run{walk_length(a.seq), a.sample_size, method, lattice, a.arc_length, a.pbar};
  require_score_memory(run);
  Poll poll(check_signals);
  const ReleasedGil released;
  return evaluate_samples(run, cost, gt, poll);
}

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
  const SampleScores sample = sample_cost_rmsd(a);
  const SampleStatistics statistics = [&] {
    const ReleasedGil released;
    return sample_statistics(sample.costs, sample.rmsds);
  }();
  return build_result([&] { return statistics_object(statistics); });
}

PyRef correlation(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const StatsArguments a = bind_stats("correlation", args, nargs, kwnames);
  const SampleScores sample = sample_cost_rmsd(a);
  const double value = spearman_correlation(sample.costs, sample.rmsds);
  return build_result([&] { return new_float(value); });
}

PyRef sample_solutions(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto [n, sample_size, method_text, thermalization, autocorrelation, lattice_text, arc_length,
        pbar] =
      bind_arguments("sample_solutions", args, nargs, kwnames, required("len", to_unsigned),
                     defaulted("sample_size", to_unsigned, 10000),
                     defaulted("method", to_text, "pivot"),
                     defaulted("thermalization_factor", to_unsigned, 10),
                     defaulted("autocorrelation_factor", to_unsigned, 10),
                     defaulted("lattice", to_text, "tetrahedral"),
                     defaulted("arc_length", to_float, 3.8), defaulted("pbar", to_flag, false));
  const SamplingMethod method =
      parse_method(method_text, false, {thermalization, autocorrelation});
  const LatticeKind lattice = parse_lattice(lattice_text);
  require_walk_memory(n);
  // Each walk becomes a list of point lists: some tens of bytes per point at the least.
  if (method.kind != SamplingMethod::Kind::enumerate)
    require_memory(sample_size, 64 + 88 * std::max<std::uint64_t>(n, 1), "that many walks of that many points");
  std::vector<Conformation> walks;
  if (method.kind != SamplingMethod::Kind::enumerate) walks.reserve(reserve_for(sample_size));
  Poll poll(check_signals);
  {
    const ReleasedGil released;
    sample_walks({n, sample_size, method, lattice, arc_length, pbar}, poll,
                 [&](const Conformation& conformation) { walks.push_back(conformation); });
  }
  return build_result([&] { return new_conformation_list(walks); });
}

PyRef minimize_cost(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto [seq, cost_object, lattice_text, arc_length, kmin, dmax, pbar] =
      bind_arguments("minimize_cost", args, nargs, kwnames, required("seq", to_text),
                     required("cost", as_object), defaulted("lattice", to_text, "tetrahedral"),
                     defaulted("arc_length", to_float, 3.8), defaulted("kmin", to_unsigned, 1),
                     defaulted("dmax", to_float, 7.8), defaulted("pbar", to_flag, false));
  CostFunction cost = build_cost(cost_object, std::string(seq), kmin, dmax);
  const LatticeKind lattice = parse_lattice(lattice_text);
  require_walk_memory(walk_length(seq));
  Poll poll(check_signals);
  const ScoreOrder order = evaluates_anywhere(cost) ? ScoreOrder::anywhere : ScoreOrder::in_order;
  const BatchScore score = [&](std::span<const Point> points, std::size_t n, std::span<double> out) {
    evaluate_costs(cost, points, n, out);
  };
  const Conformation best = [&] {
    const ReleasedGil released;
    return minimise_over_walks(walk_length(seq), lattice, arc_length, pbar, poll, score, order);
  }();
  return build_result([&] { return new_conformation(best); });
}

PyRef minimize_rmsd(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto [models, lattice_text, arc_length, pbar] =
      bind_arguments("minimize_rmsd", args, nargs, kwnames, required("gt", to_structure_list),
                     defaulted("lattice", to_text, "tetrahedral"),
                     defaulted("arc_length", to_float, 3.8), defaulted("pbar", to_flag, false));
  if (models.empty()) fail("assertion failed: gt.len() > 0");
  const LatticeKind lattice = parse_lattice(lattice_text);
  const std::uint64_t n = models.front().size();
  const GroundTruth gt = build_ground_truth(models);
  models = {};
  require_walk_memory(n);
  Poll poll(check_signals);
  const BatchScore score = [&](std::span<const Point> points, std::size_t, std::span<double> out) {
    ground_truth_rmsds(gt, points, out);
  };
  const Conformation best = [&] {
    const ReleasedGil released;
    return minimise_over_walks(n, lattice, arc_length, pbar, poll, score, ScoreOrder::anywhere);
  }();
  return build_result([&] { return new_conformation(best); });
}

PyRef rmsd(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto [sol, models] = bind_arguments("rmsd", args, nargs, kwnames, required("sol", to_structure),
                                      required("gt", to_structure_list));
  const GroundTruth gt = build_ground_truth(models);
  const double value = [&] {
    const ReleasedGil released;
    return ground_truth_rmsd(gt, sol);
  }();
  return build_result([&] { return new_float(value); });
}

}  // namespace tarvex::py
