// The lattice fit beside the research functions: fit() and its result type Fit.
#pragma once

#include "tarvex/module/pyref.hpp"

namespace tarvex::py {

extern const char k_fit_doc[];

PyRef fit(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Makes the named tuple type Fit(conformation, rmsd) and adds it to the module.
int create_fit_type(PyObject* module);

}  // namespace tarvex::py
