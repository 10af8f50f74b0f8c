// The lattice fit beside the research functions: arguments, the search without the lock, the Fit result.
#include "tarvex/module/fit.hpp"

#include <algorithm>
#include <cstdint>

#include "tarvex/compare/rmsd.hpp"
#include "tarvex/fail.hpp"
#include "tarvex/module/arrays.hpp"
#include "tarvex/module/bind.hpp"
#include "tarvex/module/convert.hpp"
#include "tarvex/module/gil.hpp"
#include "tarvex/module/keywords.hpp"
#include "tarvex/poll.hpp"
#include "tarvex/search/fit.hpp"
#include "tarvex/walks/lattice.hpp"

namespace tarvex::py {

const char k_fit_doc[] =
    "fit(gt, lattice=\"tetrahedral\", arc_length=3.8, beam=None, pbar=False)\n"
    "--\n"
    "\n"
    "The lattice walk closest to the ground truth: the native fold on the lattice, for any length.\n"
    "\n"
    "The walk minimizes the smallest RMSD to the models of gt, as minimize_rmsd does, without\n"
    "enumerating every walk. Chains of up to 12 residues are solved exactly (a branch and bound\n"
    "over walks grown point by point, cut wherever a prefix's RMSD already exceeds the best),\n"
    "so they match minimize_rmsd's optimum. Longer ones are fitted by following many\n"
    "placements of the models on the lattice - for each, the closest walk by dynamic\n"
    "programming over the sites near every residue, the model then superposed on it again,\n"
    "until the walk settles - beside a beam of walks grown point by point and ranked by the\n"
    "RMSD of their prefixes; the best is improved by regrowing short stretches. The result is\n"
    "deterministic and the same at any thread count.\n"
    "\n"
    ":param gt: The ground truth: a list of 3D structures (the smallest RMSD over them counts).\n"
    ":type gt: list of floats of shape (m,n,3), or an array of that shape\n"
    "\n"
    ":param lattice: The lattice: \"tetrahedral\", \"fcc\", \"bcc\" or \"cubic\".\n"
    ":type lattice: str, default: \"tetrahedral\"\n"
    "\n"
    ":param arc_length: The distance between consecutive points of the walk.\n"
    ":type arc_length: float, default: 3.8\n"
    "\n"
    ":param beam: The width of the search; None chooses one by lattice and length (under a second per\n"
    "    hundred residues on two cores). A larger width takes longer and fits as well or better.\n"
    ":type beam: int | None, default: None\n"
    "\n"
    ":param pbar: If true, show a progress bar.\n"
    ":type pbar: bool, default: false\n"
    "\n"
    ":return: Fit(conformation, rmsd): the walk from the origin as a float64 array of shape (n, 3),\n"
    "    in the unit of arc_length, and its RMSD to gt, equal to tarvex.rmsd(conformation, gt).\n"
    ":rtype: tarvex.Fit\n";

namespace {

PyObject* fit_type = nullptr;  // the named tuple type Fit, made at import

}  // namespace

int create_fit_type(PyObject* module) {
  return add_pair_type(module, "Fit", "conformation", "rmsd",
                       "Fit(conformation, rmsd): a lattice walk as a float64 array (n, 3) and its RMSD to the ground "
                       "truth.",
                       fit_type);
}

PyRef fit(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto [models, lattice_text, arc_length, beam_object, pbar] =
      bind_arguments("fit", args, nargs, kwnames, required("gt", to_structure_list),
                     defaulted("lattice", to_text, "tetrahedral"), defaulted("arc_length", to_float, 3.8),
                     defaulted("beam", as_object, Py_None), defaulted("pbar", to_flag, false));
  const std::size_t beam = to_optional_count(beam_object, "beam", "the beam width");
  numpy("fit");
  if (models.empty()) fail("assertion failed: gt.len() > 0");
  const LatticeKind lattice = parse_lattice(lattice_text);
  const GroundTruth gt = build_ground_truth(models);
  const std::size_t n = gt.points;
  FitSettings settings;
  settings.beam = beam;
  settings.pbar = pbar;
  require_fit_memory(lattice, beam, n);
  Poll poll(check_signals);
  const Conformation conformation = [&, &models = models, &arc_length = arc_length] {
    const ReleasedGil released;
    const LatticeWalk walk = fit_walk(models, lattice, arc_length, settings, poll);
    return to_conformation(walk, lattice_scale(Lattice(lattice), arc_length));
  }();
  // The same routine as rmsd() on the same numbers: equal to it bit for bit.
  const double value = ground_truth_rmsd(gt, conformation);
  Float64Array out = new_float64_array("fit", {n, 3});
  for (std::size_t i = 0; i < n; ++i) {
    out.data[3 * i] = conformation[i].x;
    out.data[3 * i + 1] = conformation[i].y;
    out.data[3 * i + 2] = conformation[i].z;
  }
  PyRef rmsd = new_float(value);
  return PyRef::check(PyObject_CallFunctionObjArgs(fit_type, out.array.get(), rmsd.get(), nullptr));
}

}  // namespace tarvex::py
