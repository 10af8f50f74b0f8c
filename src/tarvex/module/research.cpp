// The research functions beside the six: seed, sample_array, sample_scores and score.
#include "tarvex/module/research.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "tarvex/compare/rmsd.hpp"
#include "tarvex/memory.hpp"
#include "tarvex/module/arguments.hpp"
#include "tarvex/module/arrays.hpp"
#include "tarvex/module/bind.hpp"
#include "tarvex/module/convert.hpp"
#include "tarvex/module/gil.hpp"
#include "tarvex/module/memory_checks.hpp"
#include "tarvex/module/python_cost.hpp"
#include "tarvex/module/sampling_driver.hpp"
#include "tarvex/poll.hpp"
#include "tarvex/sampling/evaluation.hpp"
#include "tarvex/sampling/progress.hpp"
#include "tarvex/walks/random.hpp"

namespace tarvex::py {
namespace {

PyObject* scores_type = nullptr;  // the named tuple type Scores, made at import

// The bytes of a non-negative integer of any size, least significant first.
std::vector<unsigned char> seed_bytes(PyObject* value) {
  if (PyBool_Check(value) || !PyIndex_Check(value)) {
    PyErr_Format(PyExc_TypeError, "the seed must be a non-negative int or None, not %.200s", Py_TYPE(value)->tp_name);
    throw ErrorSet{};
  }
  PyRef index = PyRef::check(PyNumber_Index(value));
  PyRef zero = PyRef::check(PyLong_FromLong(0));
  const int negative = PyObject_RichCompareBool(index.get(), zero.get(), Py_LT);
  if (negative < 0) throw ErrorSet{};
  if (negative == 1) {
    PyErr_Format(PyExc_ValueError, "the seed must be a non-negative int, not %R", index.get());
    throw ErrorSet{};
  }
  PyRef bits = PyRef::check(PyObject_CallMethod(index.get(), "bit_length", nullptr));
  const std::size_t length = std::max<std::size_t>(1, (PyLong_AsSize_t(bits.get()) + 7) / 8);
  if (PyErr_Occurred()) throw ErrorSet{};
  PyRef bytes =
      PyRef::check(PyObject_CallMethod(index.get(), "to_bytes", "ns", static_cast<Py_ssize_t>(length), "little"));
  const auto* data = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(bytes.get()));
  return std::vector<unsigned char>(data, data + PyBytes_GET_SIZE(bytes.get()));
}

PyRef scores_object(const char* function, const SampleScores& scores) {
  PyRef costs = float64_array_of(function, scores.costs);
  PyRef rmsds = float64_array_of(function, scores.rmsds);
  return PyRef::check(PyObject_CallFunctionObjArgs(scores_type, costs.get(), rmsds.get(), nullptr));
}

// Walks counted without being kept, to size an array before it is filled.
std::uint64_t count_walks(SamplingRun run, Poll& poll) {
  run.pbar = false;
  std::uint64_t count = 0;
  sample_lattice_walks(run, thread_rng(), poll, [&](const LatticeWalk&) { ++count; });
  return count;
}

}  // namespace

int create_scores_type(PyObject* module) {
  return add_pair_type(module, "Scores", "costs", "rmsds",
                       "Scores(costs, rmsds): the cost and the RMSD of every conformation, in order, as two float64 "
                       "arrays.",
                       scores_type);
}

PyRef seed(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto [value] = bind_arguments("seed", args, nargs, kwnames, defaulted("value", as_object, Py_None));
  if (value == Py_None) {
    seed_thread_rng(std::nullopt);
  } else {
    const std::vector<unsigned char> bytes = seed_bytes(value);
    seed_thread_rng(std::span<const unsigned char>(bytes));
  }
  return PyRef::borrow(Py_None);
}

PyRef sample_array(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  SamplingRun run = bind_sampling("sample_array", args, nargs, kwnames);
  numpy("sample_array");
  Poll poll(check_signals);
  const std::size_t n = static_cast<std::size_t>(run.n);
  std::uint64_t count = run.sample_size;
  // The enumeration is counted first (it is cheap next to filling the array),
  // so the array is made once at its final size.
  if (run.method.kind == SamplingMethod::Kind::enumerate) {
    // Counting stops where the array could no longer fit: 10^15 walks are
    // refused after some millions, not after years.
    run.bound_enumeration(24 * std::max<std::uint64_t>(n, 1), "an array of that many walks");
    const ReleasedGil released;
    count = count_walks(run, poll);
  }
  require_memory(count, 24 * std::max<std::size_t>(n, 1), "an array of that many walks");
  Float64Array out = new_float64_array("sample_array", {static_cast<std::size_t>(count), n, 3});
  std::uint64_t filled = 0;
  {
    const ReleasedGil released;
    double* data = out.data.data();
    const double scale = run.scale();
    sample_lattice_walks(run, thread_rng(), poll, [&](const LatticeWalk& walk) {
      if (filled == count) fail("assertion failed: the walks counted and the walks written differ");
      for (const LatticePoint& p : walk) {
        *data++ = double(p.x) * scale;
        *data++ = double(p.y) * scale;
        *data++ = double(p.z) * scale;
      }
      ++filled;
    });
  }
  if (filled != count) fail("assertion failed: the walks counted and the walks written differ");
  return std::move(out.array);
}

PyRef sample_scores(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const StatsArguments a = bind_sample_scores(args, nargs, kwnames);
  numpy("sample_scores");
  const SampleScores scores = score_samples(a);
  return scores_object("sample_scores", scores);
}

PyRef score(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto [seq, conformations, models, cost_object, kmin, dmax, pbar] =
      bind_arguments("score", args, nargs, kwnames, required("seq", to_text),
                     required("conformations", to_structure_list), required("gt", to_structure_list),
                     required("cost", as_object), defaulted("kmin", to_unsigned, 1), defaulted("dmax", to_float, 7.8),
                     defaulted("pbar", to_flag, false));
  numpy("score");
  const std::unique_ptr<Cost> cost = build_cost(cost_object, std::string(seq), kmin, dmax);
  const GroundTruth gt = build_ground_truth(models);
  require_memory(conformations.size(), 64, "the costs and RMSDs of that many conformations");
  Poll poll(check_signals);
  const SampleScores scores = [&, &conformations = conformations, &pbar = pbar] {
    const ReleasedGil released;
    Evaluation evaluation(gt.points, *cost, gt, poll);
    evaluation.reserve(conformations.size());
    if (pbar) evaluation.show_progress(conformations.size());
    for (const Conformation& conformation : conformations) {
      poll();
      evaluation.add(conformation);
    }
    SampleScores scores = evaluation.finish();
    cost->close();
    return scores;
  }();
  return scores_object("score", scores);
}

}  // namespace tarvex::py
