// The arguments the sampling functions share, bound and checked.
#include "tarvex/module/arguments.hpp"

#include <cmath>
#include <utility>

#include "tarvex/module/bind.hpp"
#include "tarvex/module/convert.hpp"
#include "tarvex/module/keywords.hpp"
#include "tarvex/module/memory_checks.hpp"

namespace tarvex::py {

StatsArguments bind_stats(const char* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto [seq, gt, cost, sample_size, method, thermalization, autocorrelation, lattice, arc_length, kmin, dmax, pbar] =
      bind_arguments(name, args, nargs, kwnames, required("seq", to_text), required("gt", to_structure_list),
                     required("cost", as_object), defaulted("sample_size", to_unsigned, 10000),
                     defaulted("method", to_optional_text, std::nullopt),
                     defaulted("thermalization_factor", to_unsigned, 100),
                     defaulted("autocorrelation_factor", to_unsigned, 10), defaulted("lattice", to_text, "tetrahedral"),
                     defaulted("arc_length", to_float, 3.8), defaulted("kmin", to_unsigned, 1),
                     defaulted("dmax", to_float, 7.8), defaulted("pbar", to_flag, false));
  return {seq,     std::move(gt), cost, sample_size, method, thermalization, autocorrelation,
          lattice, arc_length,    kmin, dmax,        pbar,   std::nullopt};
}

std::optional<double> to_optional_float(PyObject* obj) {
  if (obj == Py_None) return std::nullopt;
  return to_float(obj);
}

StatsArguments bind_sample_scores(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto [seq, gt, cost, sample_size, method, thermalization, autocorrelation, lattice, arc_length, kmin, dmax, pbar,
        temperature] =
      bind_arguments("sample_scores", args, nargs, kwnames, required("seq", to_text), required("gt", to_structure_list),
                     required("cost", as_object), defaulted("sample_size", to_unsigned, 10000),
                     defaulted("method", to_optional_text, std::nullopt),
                     defaulted("thermalization_factor", to_unsigned, 100),
                     defaulted("autocorrelation_factor", to_unsigned, 10), defaulted("lattice", to_text, "tetrahedral"),
                     defaulted("arc_length", to_float, 3.8), defaulted("kmin", to_unsigned, 1),
                     defaulted("dmax", to_float, 7.8), defaulted("pbar", to_flag, false),
                     defaulted("temperature", to_optional_float, std::optional<double>{}));
  if (temperature && !(*temperature > 0.0 && std::isfinite(*temperature))) {
    PyErr_Format(PyExc_ValueError, "argument 'temperature': the temperature must be a positive finite number, not %R",
                 PyRef::check(PyFloat_FromDouble(*temperature)).get());
    throw ErrorSet{};
  }
  return {seq,     std::move(gt), cost, sample_size, method, thermalization, autocorrelation,
          lattice, arc_length,    kmin, dmax,        pbar,   temperature};
}

SamplingRun bind_sampling(const char* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto [n, sample_size, method_text, thermalization, autocorrelation, lattice_text, arc_length, pbar] =
      bind_arguments(name, args, nargs, kwnames, required("len", to_unsigned),
                     defaulted("sample_size", to_unsigned, 10000), defaulted("method", to_text, "pivot"),
                     defaulted("thermalization_factor", to_unsigned, 10),
                     defaulted("autocorrelation_factor", to_unsigned, 10), defaulted("lattice", to_text, "tetrahedral"),
                     defaulted("arc_length", to_float, 3.8), defaulted("pbar", to_flag, false));
  const SamplingMethod method = parse_method(method_text, false, {thermalization, autocorrelation});
  const LatticeKind lattice = parse_lattice(lattice_text);
  require_walk_memory(n);
  return {n, sample_size, method, lattice, arc_length, pbar};
}

}  // namespace tarvex::py
