// The search for the lowest-cost walk beside the research functions: arguments, the search without the lock, Folded.
#include "tarvex/module/fold.hpp"

#include <cmath>
#include <string>

#include "tarvex/memory.hpp"
#include "tarvex/module/arguments.hpp"
#include "tarvex/module/arrays.hpp"
#include "tarvex/module/bind.hpp"
#include "tarvex/module/convert.hpp"
#include "tarvex/module/gil.hpp"
#include "tarvex/module/keywords.hpp"
#include "tarvex/module/memory_checks.hpp"
#include "tarvex/module/python_cost.hpp"
#include "tarvex/module/sampling_driver.hpp"
#include "tarvex/poll.hpp"
#include "tarvex/search/fold.hpp"
#include "tarvex/walks/lattice.hpp"
#include "tarvex/walks/random.hpp"

namespace tarvex::py {

const char k_fold_doc[] =
    "fold(seq, cost, lattice=\"tetrahedral\", arc_length=3.8, kmin=1, dmax=7.8, sweeps=None, target=None, pbar=False)\n"
    "--\n"
    "\n"
    "The lowest-cost walk found for the sequence: the cost's own minimum, for any length.\n"
    "\n"
    "Searches by replica exchange: copies of the chain of moves sample_scores uses at a\n"
    "temperature (pivots, and regrowth of up to three consecutive points among every placement\n"
    "that fits), at temperatures spaced geometrically in units of the mean magnitude of the\n"
    "table's non-zero energies (the spread of the cost over uniform walks for Lua and Python\n"
    "costs), swap temperatures between neighbours every four sweeps. With a contact table on the\n"
    "cubic, fcc and bcc lattices pull moves make three moves in four, and eight copies span 0.22\n"
    "to 0.9 of that unit; otherwise ten copies span 0.12 to 1.6. The walk of\n"
    "lowest cost any copy visited is returned. With a contact table the copies run on the\n"
    "threads set_num_threads allows; other costs run on the calling thread. After seed(s) the\n"
    "result is the same at any thread count.\n"
    "\n"
    ":param seq: The sequence of the protein.\n"
    ":type seq: str\n"
    "\n"
    ":param cost: The cost function, in one of the forms stats takes; a contact table's\n"
    "    energies must be finite numbers.\n"
    "\n"
    ":param lattice: The lattice: \"tetrahedral\", \"fcc\", \"bcc\" or \"cubic\".\n"
    ":type lattice: str, default: \"tetrahedral\"\n"
    "\n"
    ":param arc_length: The distance between consecutive points of the walk.\n"
    ":type arc_length: float, default: 3.8\n"
    "\n"
    ":param kmin: The minimum sequence distance of a contact (contact energies only).\n"
    ":type kmin: int, default: 1\n"
    "\n"
    ":param dmax: The maximum distance of a contact (contact energies only).\n"
    ":type dmax: float, default: 7.8\n"
    "\n"
    ":param sweeps: The length of the search, in sweeps of len(seq) moves per copy; None\n"
    "    chooses 120 * len(seq)**2 with a contact table, 12 * len(seq)**2 for Lua and Python costs\n"
    "    (at least 1000), twice that with a target.\n"
    ":type sweeps: int | None, default: None\n"
    "\n"
    ":param target: Stop as soon as a walk costs this much or less (checked every four sweeps).\n"
    ":type target: float | None, default: None\n"
    "\n"
    ":param pbar: If true, show a progress bar (in sweeps).\n"
    ":type pbar: bool, default: false\n"
    "\n"
    ":return: Folded(conformation, cost): the walk from the origin as a float64 array of shape\n"
    "    (n, 3), in the unit of arc_length, and its cost, equal to score's cost of it.\n"
    ":rtype: tarvex.Folded\n";

namespace {

PyObject* folded_type = nullptr;  // the named tuple type Folded, made at import

}  // namespace

int create_folded_type(PyObject* module) {
  return add_pair_type(module, "Folded", "conformation", "cost",
                       "Folded(conformation, cost): a lattice walk as a float64 array (n, 3) and its cost.",
                       folded_type);
}

PyRef fold(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto [seq, cost_object, lattice_text, arc_length, kmin, dmax, sweeps_object, target_object, pbar] =
      bind_arguments("fold", args, nargs, kwnames, required("seq", to_text), required("cost", as_object),
                     defaulted("lattice", to_text, "tetrahedral"), defaulted("arc_length", to_float, 3.8),
                     defaulted("kmin", to_unsigned, 1), defaulted("dmax", to_float, 7.8),
                     defaulted("sweeps", as_object, Py_None), defaulted("target", as_object, Py_None),
                     defaulted("pbar", to_flag, false));
  FoldSettings settings;
  settings.sweeps = to_optional_count(sweeps_object, "sweeps", "the sweeps");
  settings.target = to_optional_float(target_object);
  if (settings.target && std::isnan(*settings.target)) {
    PyErr_SetString(PyExc_ValueError, "argument 'target': the target must be a number or None, not nan");
    throw ErrorSet{};
  }
  settings.pbar = pbar;
  numpy("fold");
  const std::size_t n = std::size_t(walk_length(seq));
  if (n == 0) {
    PyErr_SetString(PyExc_ValueError, "fold: the sequence is empty");
    throw ErrorSet{};
  }
  const std::unique_ptr<Cost> cost = build_cost(cost_object, std::string(seq), kmin, dmax);
  require_finite_energies("fold", *cost);
  const LatticeKind lattice = parse_lattice(lattice_text);
  require_walk_memory(n);
  // Ten replicas, each with its walk, best walk, site table and window placements.
  require_memory(n, std::uint64_t{10} * 200, "the replicas of a walk of that many points");
  Poll poll(check_signals);
  const double scale = lattice_scale(Lattice(lattice), arc_length);
  const Folded folded = [&, &arc_length = arc_length] {
    const ReleasedGil released;
    Folded folded = fold_walk(n, lattice, arc_length, *cost, settings, poll, thread_rng());
    cost->close();
    return folded;
  }();
  Float64Array out = new_float64_array("fold", {n, 3});
  for (std::size_t i = 0; i < n; ++i) {
    out.data[3 * i] = double(folded.walk[i].x) * scale;
    out.data[3 * i + 1] = double(folded.walk[i].y) * scale;
    out.data[3 * i + 2] = double(folded.walk[i].z) * scale;
  }
  PyRef value = new_float(folded.cost);
  return PyRef::check(PyObject_CallFunctionObjArgs(folded_type, out.array.get(), value.get(), nullptr));
}

}  // namespace tarvex::py
