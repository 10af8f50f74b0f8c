// The documentation strings of the research functions and the thread settings.
#pragma once

namespace tarvex::py {

inline constexpr char k_seed_doc[] =
    "seed(value=None)\n"
    "--\n"
    "\n"
    "Seeds the calling thread's random generator.\n"
    "\n"
    "After seed(s), the same sequence of calls from this thread gives bit-identical walks and\n"
    "results, on any machine and at any thread count. Each Python thread has its own generator;\n"
    "a thread that never calls seed draws from the operating system's entropy.\n"
    "\n"
    ":param value: A non-negative integer of any size, or None to draw from the operating system again.\n"
    ":type value: int | None, default: None\n";

inline constexpr char k_sample_array_doc[] =
    "sample_array(len, sample_size=10000, method=\"pivot\", thermalization_factor=10, autocorrelation_factor=10, "
    "lattice=\"tetrahedral\", arc_length=3.8, pbar=False)\n"
    "--\n"
    "\n"
    "The walks of sample_solutions as one NumPy array, without a Python object per point.\n"
    "\n"
    "Takes the parameters of sample_solutions. For the same seed the array equals\n"
    "numpy.asarray(sample_solutions(...)) (it keeps its shape when k or len is 0).\n"
    "\n"
    ":return: The walks, in sampling order, in the unit of arc_length.\n"
    ":rtype: numpy.ndarray of float64, C-contiguous, shape (k, len, 3)\n";

inline constexpr char k_sample_scores_doc[] =
    "sample_scores(seq, gt, cost, sample_size=10000, method=None, thermalization_factor=100, "
    "autocorrelation_factor=10, lattice=\"tetrahedral\", arc_length=3.8, kmin=1, dmax=7.8, pbar=False, "
    "temperature=None)\n"
    "--\n"
    "\n"
    "The cost and the RMSD of every sampled conformation, in sampling order.\n"
    "\n"
    "Takes the parameters of stats and samples the same way; for the same seed, stats and\n"
    "correlation are exactly the reduction of these arrays. Memory grows with sample_size only.\n"
    "\n"
    ":param temperature: None samples walks uniformly, as stats does. A positive number T (in\n"
    "    the cost's units) draws them from the Boltzmann law exp(-cost / T) instead, by a chain\n"
    "    of pivot moves and regrowths of up to three consecutive points among every placement\n"
    "    that fits (heat bath for a contact table, Metropolis for other costs), each with exact\n"
    "    detailed balance on every lattice. The factors keep their meaning in moves: n *\n"
    "    thermalization_factor accepted moves first, then autocorrelation_factor * accepted /\n"
    "    rejected moves (at least one) between samples. Needs the pivot method; a contact table's\n"
    "    energies must be finite, and a cost that gives NaN for a walk fails the call.\n"
    ":type temperature: float | None, default: None\n"
    "\n"
    ":return: Scores(costs, rmsds), a named tuple of two float64 arrays of one value per sample.\n"
    ":rtype: tarvex.Scores\n";

inline constexpr char k_score_doc[] =
    "score(seq, conformations, gt, cost, kmin=1, dmax=7.8, pbar=False)\n"
    "--\n"
    "\n"
    "The cost and the RMSD of conformations you bring (decoys from any method, any coordinates).\n"
    "\n"
    "Costs and failures are those of stats: the same three cost forms, each conformation\n"
    "compared with every model of gt (the smallest RMSD kept).\n"
    "\n"
    ":param seq: The sequence of the protein.\n"
    ":type seq: str\n"
    "\n"
    ":param conformations: The structures to score, each of len(seq) points.\n"
    ":type conformations: list of floats of shape (k,n,3), or an array of that shape\n"
    "\n"
    ":param gt: The ground truth: a list of 3D structures.\n"
    ":type gt: list of floats of shape (m,n,3)\n"
    "\n"
    ":param cost: The cost function, in one of the forms stats takes.\n"
    "\n"
    ":param kmin: The minimum sequence distance of a contact (contact energies only).\n"
    ":type kmin: int, default: 1\n"
    "\n"
    ":param dmax: The maximum distance of a contact (contact energies only).\n"
    ":type dmax: float, default: 7.8\n"
    "\n"
    ":param pbar: If true, show a progress bar.\n"
    ":type pbar: bool, default: false\n"
    "\n"
    ":return: Scores(costs, rmsds), a named tuple of two float64 arrays of one value per conformation.\n"
    ":rtype: tarvex.Scores\n";

inline constexpr char k_set_num_threads_doc[] =
    "set_num_threads(n)\n"
    "--\n"
    "\n"
    "Sets the number of threads a call may keep busy, the calling thread included.\n"
    "\n"
    "The default is the number of CPUs this process may run on (its affinity mask), or the\n"
    "value of the environment variable TARVEX_NUM_THREADS when the module was imported. With\n"
    "1, every call runs on the calling thread alone and no thread is started. Results do not\n"
    "depend on it. The change applies to the calls that start afterwards, in every thread.\n"
    "\n"
    ":param n: The number of threads, from 1 to 4096.\n"
    ":type n: int\n";

inline constexpr char k_get_num_threads_doc[] =
    "get_num_threads()\n"
    "--\n"
    "\n"
    "Returns the number of threads a call may keep busy, the calling thread included.\n";

}  // namespace tarvex::py
