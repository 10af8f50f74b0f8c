// The research functions beside the six: seed, sample_array, sample_scores and score.
#pragma once

#include "tarvex/module/pyref.hpp"

namespace tarvex::py {

PyRef seed(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyRef sample_array(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyRef sample_scores(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyRef score(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Makes the named tuple type Scores(costs, rmsds) and adds it to the module.
int create_scores_type(PyObject* module);

}  // namespace tarvex::py
