// The drivers of the six functions: arguments bound, the core called, results built.
#pragma once

#include "tarvex/module/pyref.hpp"

namespace tarvex::py {

// Each takes the fast-call arguments of its function and returns the new
// result, or throws: ErrorSet with a Python exception set, Interrupted, Panic.
PyRef stats(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyRef correlation(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyRef sample_solutions(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyRef minimize_cost(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyRef minimize_rmsd(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyRef rmsd(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace tarvex::py
