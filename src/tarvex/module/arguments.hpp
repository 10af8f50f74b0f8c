// The arguments the sampling functions share, bound and checked.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "tarvex/module/pyref.hpp"
#include "tarvex/point.hpp"
#include "tarvex/sampling/sampling.hpp"

namespace tarvex::py {

// The walk length of a sequence is its length in bytes of UTF-8.
inline std::uint64_t walk_length(std::string_view seq) { return seq.size(); }

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

// The run of sample_solutions and sample_array, bound and parsed.
SamplingRun bind_sampling(const char* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace tarvex::py
