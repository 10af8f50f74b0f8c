// The arguments the sampling functions share: their binding, the memory they ask for, the scored sample.
#include "tarvex/module/arguments.hpp"

#include <cmath>
#include <string>
#include <variant>
#include <utility>

#include "tarvex/compare/rmsd.hpp"
#include "tarvex/memory.hpp"
#include "tarvex/module/bind.hpp"
#include "tarvex/module/convert.hpp"
#include "tarvex/module/gil.hpp"
#include "tarvex/module/keywords.hpp"
#include "tarvex/module/python_cost.hpp"
#include "tarvex/poll.hpp"
#include "tarvex/sampling/boltzmann_sampling.hpp"

namespace tarvex::py {

void require_walk_memory(std::uint64_t n) { require_memory(n, 64, "a walk of that many points"); }

std::uint64_t bound_and_count_enumeration(SamplingRun& run, std::uint64_t bytes_each, const char* what) {
  if (run.method.kind != SamplingMethod::Kind::enumerate) return 0;
  run.bound_enumeration(bytes_each, what);
  SamplingRun counted = run;
  counted.pbar = false;
  Poll poll(check_signals);
  const ReleasedGil released;
  std::uint64_t count = 0;
  sample_lattice_walks(counted, poll, [&](const LatticeWalk&, double) { ++count; });
  return count;
}

StatsArguments bind_stats(const char* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto [seq, gt, cost, sample_size, method, thermalization, autocorrelation, lattice, arc_length, kmin, dmax,
        pbar] =
      bind_arguments(name, args, nargs, kwnames, required("seq", to_text), required("gt", to_structure_list),
                     required("cost", as_object), defaulted("sample_size", to_unsigned, 10000),
                     defaulted("method", to_optional_text, std::nullopt),
                     defaulted("thermalization_factor", to_unsigned, 100),
                     defaulted("autocorrelation_factor", to_unsigned, 10),
                     defaulted("lattice", to_text, "tetrahedral"), defaulted("arc_length", to_float, 3.8),
                     defaulted("kmin", to_unsigned, 1), defaulted("dmax", to_float, 7.8),
                     defaulted("pbar", to_flag, false));
  return {seq,     std::move(gt), cost, sample_size, method, thermalization, autocorrelation,
          lattice, arc_length,    kmin, dmax,        pbar};
}

std::optional<double> to_optional_float(PyObject* obj) {
  if (obj == Py_None) return std::nullopt;
  return to_float(obj);
}

StatsArguments bind_sample_scores(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto [seq, gt, cost, sample_size, method, thermalization, autocorrelation, lattice, arc_length, kmin, dmax,
        pbar, temperature] =
      bind_arguments("sample_scores", args, nargs, kwnames, required("seq", to_text),
                     required("gt", to_structure_list), required("cost", as_object),
                     defaulted("sample_size", to_unsigned, 10000),
                     defaulted("method", to_optional_text, std::nullopt),
                     defaulted("thermalization_factor", to_unsigned, 100),
                     defaulted("autocorrelation_factor", to_unsigned, 10),
                     defaulted("lattice", to_text, "tetrahedral"), defaulted("arc_length", to_float, 3.8),
                     defaulted("kmin", to_unsigned, 1), defaulted("dmax", to_float, 7.8),
                     defaulted("pbar", to_flag, false),
                     defaulted("temperature", to_optional_float, std::optional<double>{}));
  if (temperature && !(*temperature > 0.0 && std::isfinite(*temperature))) {
    PyErr_Format(PyExc_ValueError, "argument 'temperature': the temperature must be a positive finite number, not %R",
                 PyRef::check(PyFloat_FromDouble(*temperature)).get());
    throw ErrorSet{};
  }
  return {seq,     std::move(gt), cost, sample_size, method, thermalization, autocorrelation,
          lattice, arc_length,    kmin, dmax,        pbar,   temperature};
}

void require_finite_energies(const char* name, const CostFunction& cost) {
  const auto* table = std::get_if<ContactEnergyCost>(&cost);
  if (table == nullptr) return;
  for (const double e : table->pair_energies) {
    if (!std::isfinite(e)) {
      PyErr_Format(PyExc_ValueError, "%s: every contact energy must be a finite number here, not %R", name,
                   PyRef::check(PyFloat_FromDouble(e)).get());
      throw ErrorSet{};
    }
  }
}

SampleScores score_samples(const StatsArguments& a) {
  CostFunction cost = build_cost(a.cost, std::string(a.seq), a.kmin, a.dmax);
  const SamplingMethod method =
      parse_method(a.method.value_or("pivot"), true, {a.thermalization_factor, a.autocorrelation_factor});
  if (a.temperature) {
    if (method.kind != SamplingMethod::Kind::pivot) {
      PyErr_SetString(PyExc_ValueError,
                      "sample_scores: a temperature needs the pivot method (the chain of moves at that temperature)");
      throw ErrorSet{};
    }
    require_finite_energies("sample_scores", cost);
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
  SampleScores scores =
      a.temperature ? evaluate_boltzmann_samples(run, *a.temperature, cost, gt, poll) : evaluate_samples(run, cost, gt, poll);
  close_cost(cost);
  return scores;
}

SamplingRun bind_sampling(const char* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto [n, sample_size, method_text, thermalization, autocorrelation, lattice_text, arc_length, pbar] =
      bind_arguments(name, args, nargs, kwnames, required("len", to_unsigned),
                     defaulted("sample_size", to_unsigned, 10000), defaulted("method", to_text, "pivot"),
                     defaulted("thermalization_factor", to_unsigned, 10),
                     defaulted("autocorrelation_factor", to_unsigned, 10),
                     defaulted("lattice", to_text, "tetrahedral"), defaulted("arc_length", to_float, 3.8),
                     defaulted("pbar", to_flag, false));
  const SamplingMethod method = parse_method(method_text, false, {thermalization, autocorrelation});
  const LatticeKind lattice = parse_lattice(lattice_text);
  require_walk_memory(n);
  return {n, sample_size, method, lattice, arc_length, pbar};
}

}  // namespace tarvex::py
