// The search for the lowest-cost walk beside the research functions: fold() and its result type Folded.
#pragma once

#include "tarvex/module/pyref.hpp"

namespace tarvex::py {

extern const char k_fold_doc[];

PyRef fold(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Makes the named tuple type Folded and adds it to the module; -1 on failure.
int create_folded_type(PyObject* module);

}  // namespace tarvex::py
