// The module entry, its function table, the keyword parsers and the statistics drivers.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tarvex/compare/rmsd.hpp"
#include "tarvex/module/python_cost.hpp"
#include "tarvex/fail.hpp"
#include "tarvex/module/bind.hpp"
#include "tarvex/module/convert.hpp"
#include "tarvex/module/docs.hpp"
#include "tarvex/stats/rank.hpp"
#include "tarvex/poll.hpp"
#include "tarvex/sampling/minimize.hpp"
#include "tarvex/reserve.hpp"
#include "tarvex/sampling/evaluation.hpp"
#include "tarvex/sampling/sampling.hpp"
#include "tarvex/stats/statistics.hpp"

namespace tarvex::py {
namespace {

// ---------------------------------------------------------------------------
// Keywords

// A text as it appears in messages: in double quotes, with quotes, backslashes
// and non-printable characters escaped.
std::string quoted(std::string_view text) {
  std::string out = "\"";
  PyRef unicode(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!unicode) result_failed();
  const Py_ssize_t length = PyUnicode_GetLength(unicode.get());
  for (Py_ssize_t i = 0; i < length; ++i) {
    const Py_UCS4 c = PyUnicode_ReadChar(unicode.get(), i);
    switch (c) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case '\t': out += "\\t"; continue;
      case '\r': out += "\\r"; continue;
      case '\n': out += "\\n"; continue;
      case '\0': out += "\\0"; continue;
      default: break;
    }
    if (Py_UNICODE_ISPRINTABLE(c)) {
      PyRef one(PyUnicode_FromOrdinal(static_cast<int>(c)));
      Py_ssize_t size = 0;
      const char* bytes = one ? PyUnicode_AsUTF8AndSize(one.get(), &size) : nullptr;
      if (bytes == nullptr) result_failed();
      out.append(bytes, static_cast<std::size_t>(size));
    } else {
      char buffer[16];
      std::snprintf(buffer, sizeof buffer, "\\u{%x}", static_cast<unsigned>(c));
      out += buffer;
    }
  }
  out += '"';
  return out;
}

struct PivotFactors {
  std::uint64_t thermalization, autocorrelation;
};

// stats and correlation take the method as an optional text, and their
// message shows it as Some("...").
SamplingMethod parse_method(std::string_view text, bool optional, PivotFactors factors) {
  if (text == "pivot")
    return {SamplingMethod::Kind::pivot, factors.thermalization, factors.autocorrelation};
  if (text == "dimerize") return {SamplingMethod::Kind::dimerize, 0, 0};
  if (text == "enumerate") return {SamplingMethod::Kind::enumerate, 0, 0};
  if (optional) fail("Method Some({}) is not recognized !", quoted(text));
  fail("Method {} is not recognized !", quoted(text));
}

LatticeKind parse_lattice(std::string_view text) {
  if (text == "tetrahedral") return LatticeKind::tetrahedral;
  if (text == "fcc") return LatticeKind::fcc;
  if (text == "bcc") return LatticeKind::bcc;
  if (text == "cubic") return LatticeKind::cubic;
  fail("Lattice {} is not recognized !", quoted(text));
}

// Ctrl-C: a pending signal whose handler raised ends the computation.
void check_signals() {
  if (PyErr_CheckSignals() < 0) throw Interrupted{};
}

// ---------------------------------------------------------------------------
// Argument kinds

PyObject* as_object(PyObject* obj) { return obj; }

std::optional<std::string_view> to_optional_text(PyObject* obj) {
  if (obj == Py_None) return std::nullopt;
  return to_text(obj);
}

// The walk length of a sequence is its length in bytes of UTF-8.
std::uint64_t walk_length(std::string_view seq) { return seq.size(); }

// ---------------------------------------------------------------------------
// Statistics

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

CostsAndRmsds sample_cost_rmsd(const StatsArguments& a) {
  CostFunction cost = build_cost(a.cost, std::string(a.seq), a.kmin, a.dmax);
  const SamplingMethod method = parse_method(a.method.value_or("pivot"), true,
                                             {a.thermalization_factor, a.autocorrelation_factor});
  const LatticeKind lattice = parse_lattice(a.lattice);
  const GroundTruth gt = build_ground_truth(a.gt);
  Poll poll(check_signals);
  return evaluate_samples({walk_length(a.seq), a.sample_size, method, lattice, a.arc_length, a.pbar},
                          cost, gt, poll);
}

PyRef float_tuple(std::initializer_list<double> values) {
  PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(values.size())));
  if (!tuple) result_failed();
  Py_ssize_t i = 0;
  for (double v : values) PyTuple_SET_ITEM(tuple.get(), i++, new_float(v).release());
  return tuple;
}

PyRef statistics_object(const SampleStatistics& s) {
  PyRef tuple(PyTuple_New(4));
  if (!tuple) result_failed();
  PyTuple_SET_ITEM(tuple.get(), 0, new_float(s.correlation).release());
  PyTuple_SET_ITEM(tuple.get(), 1, float_tuple({s.min_cost, s.avg_cost, s.max_cost}).release());
  PyTuple_SET_ITEM(tuple.get(), 2, float_tuple({s.min_rmsd, s.avg_rmsd, s.max_rmsd}).release());
  PyTuple_SET_ITEM(tuple.get(), 3, float_tuple({s.min_cost_rmsd, s.max_cost_rmsd}).release());
  return tuple;
}

// ---------------------------------------------------------------------------
// The six functions

PyRef stats(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const StatsArguments a = bind_stats("stats", args, nargs, kwnames);
  const CostsAndRmsds sample = sample_cost_rmsd(a);
  return statistics_object(sample_statistics(sample.costs, sample.rmsds));
}

PyRef correlation(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const StatsArguments a = bind_stats("correlation", args, nargs, kwnames);
  const CostsAndRmsds sample = sample_cost_rmsd(a);
  return new_float(spearman_correlation(sample.costs, sample.rmsds));
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
  std::vector<Conformation> walks;
  if (method.kind != SamplingMethod::Kind::enumerate) walks.reserve(reserve_for(sample_size));
  Poll poll(check_signals);
  sample_walks({n, sample_size, method, lattice, arc_length, pbar}, poll,
               [&](const Conformation& conformation) { walks.push_back(conformation); });
  return new_conformation_list(walks);
}

PyRef minimize_cost(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto [seq, cost_object, lattice_text, arc_length, kmin, dmax, pbar] =
      bind_arguments("minimize_cost", args, nargs, kwnames, required("seq", to_text),
                     required("cost", as_object), defaulted("lattice", to_text, "tetrahedral"),
                     defaulted("arc_length", to_float, 3.8), defaulted("kmin", to_unsigned, 1),
                     defaulted("dmax", to_float, 7.8), defaulted("pbar", to_flag, false));
  CostFunction cost = build_cost(cost_object, std::string(seq), kmin, dmax);
  const LatticeKind lattice = parse_lattice(lattice_text);
  Poll poll(check_signals);
  const Conformation best =
      minimise_over_walks(walk_length(seq), lattice, arc_length, pbar, poll,
                          [&](const Conformation& c) { return evaluate_cost(cost, c); });
  return new_conformation(best);
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
  Poll poll(check_signals);
  const Conformation best =
      minimise_over_walks(n, lattice, arc_length, pbar, poll,
                          [&](const Conformation& c) { return ground_truth_rmsd(gt, c); });
  return new_conformation(best);
}

PyRef rmsd(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto [sol, models] = bind_arguments("rmsd", args, nargs, kwnames, required("sol", to_structure),
                                      required("gt", to_structure_list));
  const GroundTruth gt = build_ground_truth(models);
  return new_float(ground_truth_rmsd(gt, sol));
}

// ---------------------------------------------------------------------------
// Failures and the function table

PyObject* panic_type = nullptr;  // PanicException, created once

PyObject* create_panic_type() {
  if (panic_type == nullptr)
    panic_type = PyErr_NewExceptionWithDoc("tarvex.PanicException", kPanicDoc,
                                           PyExc_BaseException, nullptr);
  return panic_type;
}

void raise_panic(const char* message) {
  PyObject* type = create_panic_type();
  if (type == nullptr) return;  // the error of creating it is pending
  PyRef text(PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)), "replace"));
  if (!text) return;
  PyErr_SetObject(type, text.get());
}

using Impl = PyRef (*)(PyObject* const*, Py_ssize_t, PyObject*);

// Every entry runs its implementation under one roof: whatever goes wrong
// inside becomes a Python exception here, after the unwinding has released
// everything the call built.
template <Impl impl>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  try {
    return impl(args, nargs, kwnames).release();
  } catch (const ErrorSet&) {
  } catch (const Interrupted&) {
  } catch (const Panic& failure) {
    raise_panic(failure.what());
  } catch (const std::bad_alloc&) {
    raise_panic("memory allocation failed");
  } catch (const std::exception& failure) {
    raise_panic(failure.what());
  } catch (...) {
    raise_panic("unknown internal failure");
  }
  if (!PyErr_Occurred()) raise_panic("internal failure without a message");
  return nullptr;
}

#define TARVEX_ENTRY(name)                                                        \
  PyMethodDef {                                                                   \
    #name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<name>)), \
        METH_FASTCALL | METH_KEYWORDS, k_##name##_doc                             \
  }

PyMethodDef functions[] = {
    TARVEX_ENTRY(stats),         TARVEX_ENTRY(correlation),   TARVEX_ENTRY(sample_solutions),
    TARVEX_ENTRY(minimize_rmsd), TARVEX_ENTRY(minimize_cost), TARVEX_ENTRY(rmsd),
};

#undef TARVEX_ENTRY

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tarvex",
    "Judge lattice-protein cost functions against native folds with self-avoiding walks, RMSD "
    "and rank correlation.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

std::atomic<std::int64_t> owner_interpreter{-1};
PyObject* the_module = nullptr;  // set once, kept for the life of the process

int register_functions(PyObject* module) {
  PyObject* name = PyModule_GetNameObject(module);
  if (name == nullptr) return -1;
  PyRef module_name(name);
  PyRef all(PyList_New(0));
  if (!all) return -1;
  for (PyMethodDef& def : functions) {
    PyRef function(PyCFunction_NewEx(&def, module, module_name.get()));
    if (!function) return -1;
    PyRef function_name(PyObject_GetAttrString(function.get(), "__name__"));
    if (!function_name || PyList_Append(all.get(), function_name.get()) < 0) return -1;
    if (PyModule_AddObjectRef(module, def.ml_name, function.get()) < 0) return -1;
  }
  if (PyModule_AddObjectRef(module, "__all__", all.get()) < 0) return -1;
  PyObject* panic = create_panic_type();
  if (panic == nullptr || PyModule_AddObjectRef(module, "PanicException", panic) < 0) return -1;
  return 0;
}

}  // namespace
}  // namespace tarvex::py

PyMODINIT_FUNC PyInit_tarvex() {
  using namespace tarvex::py;
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id < 0) return nullptr;
  std::int64_t expected = -1;
  if (!owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "tarvex does not support subinterpreters: it can only be imported in the "
                    "interpreter that first imported it");
    return nullptr;
  }
  if (the_module != nullptr) return Py_NewRef(the_module);
  PyRef module(PyModule_Create2(&module_def, 1013));
  if (!module || register_functions(module.get()) < 0) return nullptr;
  the_module = Py_NewRef(module.get());
  return module.release();
}
