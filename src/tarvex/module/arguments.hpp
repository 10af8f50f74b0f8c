// The arguments the sampling functions share: their binding, the memory they ask for, the scored sample.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "tarvex/module/pyref.hpp"
#include "tarvex/cost/cost.hpp"
#include "tarvex/point.hpp"
#include "tarvex/sampling/evaluation.hpp"
#include "tarvex/sampling/sampling.hpp"

namespace tarvex::py {

// The walk length of a sequence is its length in bytes of UTF-8.
inline std::uint64_t walk_length(std::string_view seq) { return seq.size(); }

// What a sampler holds for a walk of n points (the walk, its moved copy, the
// conformation), checked before a sampler is built.
void require_walk_memory(std::uint64_t n);

// Bounds an enumeration by the memory its walks would take (bytes_each per
// walk kept) and counts it first, without the interpreter lock: a run too
// large fails after counting what fits, before any walk is scored or built.
// Returns the count; does nothing (returns 0) for the other methods.
std::uint64_t bound_and_count_enumeration(SamplingRun& run, std::uint64_t bytes_each, const char* what);

// The arguments of stats, correlation and sample_scores.
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
  std::optional<double> temperature;  // sample_scores only: Boltzmann samples at T
};

StatsArguments bind_stats(const char* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// The same with sample_scores' last parameter, temperature (None or a
// positive finite number, checked here).
StatsArguments bind_sample_scores(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// A temperature or a target: None, or a float; `what` names it in messages.
std::optional<double> to_optional_float(PyObject* obj);

// Fails with ValueError when a contact table has an energy that is not a
// finite number: sampling at a temperature and folding add up its changes.
void require_finite_energies(const char* name, const CostFunction& cost);

// Builds the cost, the method, the lattice and the ground truth (failing in
// that order), then samples and scores every walk with the interpreter lock
// released.
SampleScores score_samples(const StatsArguments& a);

// The run of sample_solutions and sample_array, bound and parsed.
SamplingRun bind_sampling(const char* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace tarvex::py
