// The module's settings beside the six functions: the number of threads.
#pragma once

#include "tarvex/module/pyref.hpp"

namespace tarvex::py {

PyRef set_num_threads(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* get_num_threads(PyObject* module, PyObject* unused);

// TARVEX_NUM_THREADS, read once at import: a number of threads, or a warning
// and the default when it is not one. Returns -1 with an exception set only
// when the warning itself was turned into an error.
int read_thread_count_from_environment();

}  // namespace tarvex::py
