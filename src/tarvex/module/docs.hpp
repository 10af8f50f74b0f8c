// The documentation strings of the module's functions and of PanicException.
#pragma once

namespace tarvex::py {

// The parameters that stats and correlation share, word for word.
#define TARVEX_STATS_PARAMETERS                                                                                        \
  ":param seq: The sequence of the protein.\n"                                                                         \
  ":type seq: str\n"                                                                                                   \
  "\n"                                                                                                                 \
  ":param gt: The groudn truth. A list of 3D strctures (list of lists of 3D vectors).\n"                               \
  ":type gt: list of floats of shape (k,n,3)\n"                                                                        \
  "\n"                                                                                                                 \
  ":param cost: The cost function to be calculated. Can be a string tuple containing lua code and lua function name, " \
  "a list of weight or an arbitrary python function.\n"                                                                \
  ":type cost: (str, str) | dict(dict(str)) | fun(seq : str, coordinates : list(list(f64))) -> f64\n"                  \
  "\n"                                                                                                                 \
  ":param sample_size: The number of structures. Ignored if method=\"iterate\".\n"                                     \
  ":type sample_size: int, default: 10000\n"                                                                           \
  "\n"                                                                                                                 \
  ":param method: The sampling method.\n"                                                                              \
  ":type method: str, default: \"pivot\"\n"                                                                            \
  "\n"                                                                                                                 \
  ":param thermalization_factor: The thermalization factor of the pivot algorithm. Ignored for methods other than "    \
  "\"pivot\".\n"                                                                                                       \
  ":type thermalization_factor: int, default: 100\n"                                                                   \
  "\n"                                                                                                                 \
  ":param autocorrelation_factor: The autocorrelation factor of the pivot algorithm. Ignored for methods other than "  \
  "\"pivot\".\n"                                                                                                       \
  ":type autocorrelation_factor: int, default: 10\n"                                                                   \
  "\n"                                                                                                                 \
  ":param lattice: The 3D lattice used to sample structures.\n"                                                        \
  ":type lattice: str, default: \"tetrahedral\"\n"                                                                     \
  "\n"                                                                                                                 \
  ":param arc_length: The length of the lattice's arcs.\n"                                                             \
  ":type arc_length: float, default: 3.8\n"                                                                            \
  "\n"                                                                                                                 \
  ":param kmin: The minimum sequence distance for interactions. Ignored of cost isn't a dictionnary of energy "        \
  "coefficients.\n"                                                                                                    \
  ":type kmin: int, default: 1\n"                                                                                      \
  "\n"                                                                                                                 \
  ":param dmax: The maximum euclidian distance for interactions. Ignored of cost isn't a dictionnary of energy "       \
  "coefficients.\n"                                                                                                    \
  ":type dmax: float, default: 7.8\n"                                                                                  \
  "\n"                                                                                                                 \
  ":param pbar: If true, show a progress bar.\n"                                                                       \
  ":type pbar: bool, default: false\n"

inline constexpr char k_stats_doc[] =
    "stats(seq, gt, cost, sample_size=10000, method=None, thermalization_factor=100, autocorrelation_factor=10, "
    "lattice=\"tetrahedral\", arc_length=3.8, kmin=1, dmax=7.8, pbar=False)\n"
    "--\n"
    "\n"
    "This function calculate several stats for a cost function on a VELDO instance.\n"
    "\n" TARVEX_STATS_PARAMETERS
    "\n"
    ":return: (correlation, (min_cost, avg_cost, max_cost), (min_rmsd, avg_rmsd, max_rmsd), (min_cost_rmsd, "
    "max_cost_rmsd))\n"
    ":rtype: (float, (float, float, float), (float, float, float), (float, float))";

inline constexpr char k_correlation_doc[] =
    "correlation(seq, gt, cost, sample_size=10000, method=None, thermalization_factor=100, autocorrelation_factor=10, "
    "lattice=\"tetrahedral\", arc_length=3.8, kmin=1, dmax=7.8, pbar=False)\n"
    "--\n"
    "\n"
    "This function calculate the correlation factor for a cost function on a VELDO instance.\n"
    "\n" TARVEX_STATS_PARAMETERS
    "\n"
    ":return: The correlation coefficient of function \"cost\" for the protein.\n"
    ":rtype: float between -1 and 1";

#undef TARVEX_STATS_PARAMETERS

inline constexpr char k_sample_solutions_doc[] =
    "sample_solutions(len, sample_size=10000, method=\"pivot\", thermalization_factor=10, autocorrelation_factor=10, "
    "lattice=\"tetrahedral\", arc_length=3.8, pbar=False)\n"
    "--\n"
    "\n"
    "This function generates and returns a list of 3D self avoinding walk on a given lattice.\n"
    "\n"
    ":param len: The length of the structures.\n"
    ":type len: int\n"
    "\n"
    ":param sample_size: The number of structures. Ignored if method=\"iterate\".\n"
    ":type sample_size: int, default: 10000\n"
    "\n"
    ":param method: The sampling method.\n"
    ":type method: str, default: \"pivot\"\n"
    "\n"
    ":param thermalization_factor: The thermalization factor of the pivot algorithm. Ignored for methods other than "
    "\"pivot\".\n"
    ":type thermalization_factor: int, default: 10\n"
    "\n"
    ":param autocorrelation_factor: The autocorrelation factor of the pivot algorithm. Ignored for methods other than "
    "\"pivot\".\n"
    ":type autocorrelation_factor: int, default: 10\n"
    "\n"
    ":param lattice: The 3D lattice used to sample structures.\n"
    ":type lattice: str, default: \"tetrahedral\"\n"
    "\n"
    ":param arc_length: The length of the lattice's arcs.\n"
    ":type arc_length: float, default: 3.8\n"
    "\n"
    ":param pbar: If true, show a progress bar.\n"
    ":type pbar: bool, default: false\n"
    "\n"
    ":return: A list of 3D self avoiding walk on the lattice.\n"
    ":rtype: list of floats of shape (k,len,3). If the method is not \"iterate\", then k=sample_size.";

inline constexpr char k_minimize_cost_doc[] =
    "minimize_cost(seq, cost, lattice=\"tetrahedral\", arc_length=3.8, kmin=1, dmax=7.8, pbar=False)\n"
    "--\n"
    "\n"
    "This function calculates the structure with minimum cost on a given lattice.\n"
    "\n"
    ":param seq: The sequence of the protein.\n"
    ":type seq: str\n"
    "\n"
    ":param cost: The cost function to be calculated. Can be a string tuple containing lua code and lua function name, "
    "a list of weight or an arbitrary python function.\n"
    ":type cost: (str, str) | dict(dict(str)) | fun(seq : str, coordinates : list(list(f64))) -> f64\n"
    "\n"
    ":param lattice: The 3D lattice used to sample structures.\n"
    ":type lattice: str, default: \"tetrahedral\"\n"
    "\n"
    ":param arc_length: The length of the lattice's arcs.\n"
    ":type arc_length: float, default: 3.8\n"
    "\n"
    ":param kmin: The minimum sequence distance for interactions. Ignored of cost isn't a dictionnary of energy "
    "coefficients.\n"
    ":type kmin: int, default: 1\n"
    "\n"
    ":param dmax: The maximum euclidian distance for interactions. Ignored of cost isn't a dictionnary of energy "
    "coefficients.\n"
    ":type dmax: float, default: 7.8\n"
    "\n"
    ":param pbar: If true, show a progress bar.\n"
    ":type pbar: bool, default: false\n"
    "\n"
    ":return: A 3D self avoiding walk on the lattice.\n"
    ":rtype: list of floats of shape (len,3). **DO NOT RUN THIS FOR LARGE SEQUENCES AS IT ENUMERATES ALL FEASIBLE "
    "SOLUTIONS WHICH GROW EXPONENTIALLY WITH THE SEQUENCE LENGTH !!!**";

inline constexpr char k_minimize_rmsd_doc[] =
    "minimize_rmsd(gt, lattice=\"tetrahedral\", arc_length=3.8, pbar=False)\n"
    "--\n"
    "\n"
    "This function calculates the structure with minimum rmsd aginst ground truth on a given lattice.\n"
    "\n"
    ":param gt: The groudn truth. A list of 3D strctures (list of lists of 3D vectors).\n"
    ":type gt: list of floats of shape (k,n,3)\n"
    "\n"
    ":param lattice: The 3D lattice used to sample structures.\n"
    ":type lattice: str, default: \"tetrahedral\"\n"
    "\n"
    ":param arc_length: The length of the lattice's arcs.\n"
    ":type arc_length: float, default: 3.8\n"
    "\n"
    ":param pbar: If true, show a progress bar.\n"
    ":type pbar: bool, default: false\n"
    "\n"
    ":return: A 3D self avoiding walk on the lattice.\n"
    ":rtype: list of floats of shape (len,3). **DO NOT RUN THIS FOR LARGE SEQUENCES AS IT ENUMERATES ALL FEASIBLE "
    "SOLUTIONS WHICH GROW EXPONENTIALLY WITH THE SEQUENCE LENGTH !!!**";

inline constexpr char k_rmsd_doc[] =
    "rmsd(sol, gt)\n"
    "--\n"
    "\n"
    "A function that calculates the rmsd. This is how the rmsd is calculated when the correlation or other statistics "
    "are computed.\n"
    "\n"
    "The idea is to get the rmsd between a given structure and a list of structures (usually the models obtained from "
    "wetlabs experiments).\n"
    "\n"
    ":param sol: A 3D structure (list of 3D vectors).\n"
    ":type sol: list of floats of shape (n, 3)\n"
    "\n"
    ":param gt: A list of 3D strctures (list of lists of 3D vectors).\n"
    ":type gt: list of floats of shape (k,n,3)\n"
    "\n"
    ":return: This function returns the the minimum rmsd between `sol` and each of the structures in `gt`.\n"
    ":rtype: float\n"
    "\n"
    "This function returns the the minimum rmsd between `sol` and each of the structures in `gt`.\n"
    "This function uses the kabsh algorithm to align the structures.\n"
    "This function panic if two structures do not have the same length.";

inline constexpr char kPanicDoc[] =
    "Raised when native code called from Python fails (an internal failure of tarvex).\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it usually\n"
    "propagates to the top of the stack and ends the interpreter; catch it by name to go on.";

}  // namespace tarvex::py
