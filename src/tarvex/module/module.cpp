// The module entry: its function table, PanicException and the guard against subinterpreters.
#include <cxxabi.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>

#include "tarvex/fail.hpp"
#include "tarvex/memory.hpp"
#include "tarvex/module/docs.hpp"
#include "tarvex/module/drivers.hpp"
#include "tarvex/module/fit.hpp"
#include "tarvex/module/fold.hpp"
#include "tarvex/module/gil.hpp"
#include "tarvex/module/progress_stream.hpp"
#include "tarvex/module/pyref.hpp"
#include "tarvex/module/python_cost.hpp"
#include "tarvex/module/research.hpp"
#include "tarvex/module/research_docs.hpp"
#include "tarvex/module/settings.hpp"

namespace tarvex::py {
namespace {

PyObject* panic_type = nullptr;  // PanicException, created once

PyObject* create_panic_type() {
  if (panic_type == nullptr)
    panic_type = PyErr_NewExceptionWithDoc("tarvex.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
  return panic_type;
}

void raise_panic(const char* message, PyRef cause = PyRef()) {
  PyObject* type = create_panic_type();
  if (type == nullptr) return;  // the error of creating it is pending
  PyRef text(PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)), "replace"));
  if (!text) return;
  PyErr_SetObject(type, text.get());
  // A failing Python cost function: its own exception is the cause.
  if (cause) set_pending_cause(std::move(cause));
}

using Impl = PyRef (*)(PyObject* const*, Py_ssize_t, PyObject*);

// Every entry runs its implementation under one roof: whatever goes wrong
// inside becomes a Python exception here, after the unwinding has released
// everything the call built.
template <Impl impl>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  forget_deferred_stop();
  try {
    PyRef result = impl(args, nargs, kwnames);
    if (!restore_deferred_stop()) return result.release();
    return nullptr;  // Ctrl-C in the last line of the progress bar
  } catch (const ErrorSet&) {
  } catch (const Interrupted&) {
  } catch (const PythonCostFailure& failure) {
    raise_panic(failure.what(), failure.take_exception());
  } catch (const Panic& failure) {
    raise_panic(failure.what());
  } catch (const MemoryExceeded& failure) {
    PyErr_SetString(PyExc_MemoryError, failure.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    // A container asked for more elements than it can ever hold: an
    // allocation that cannot succeed, reported like one.
    PyErr_NoMemory();
  } catch (const std::exception& failure) {
    raise_panic(failure.what());
  } catch (const abi::__forced_unwind&) {
    throw;  // the interpreter ends this thread (exit with daemon threads)
  } catch (...) {
    raise_panic("unknown internal failure");
  }
  if (!PyErr_Occurred() && !restore_deferred_stop()) raise_panic("internal failure without a message");
  forget_deferred_stop();
  return nullptr;
}

#define TARVEX_ENTRY(name)                                                               \
  PyMethodDef {                                                                          \
#name, reinterpret_cast < PyCFunction>(reinterpret_cast <void (*)()>(entry <name>)), \
        METH_FASTCALL | METH_KEYWORDS, k_##name##_doc                                    \
  }

PyMethodDef functions[] = {
    TARVEX_ENTRY(stats),         TARVEX_ENTRY(correlation),   TARVEX_ENTRY(sample_solutions),
    TARVEX_ENTRY(minimize_rmsd), TARVEX_ENTRY(minimize_cost), TARVEX_ENTRY(rmsd),
};

// Module attributes beside the six functions, not listed in __all__.
PyMethodDef beside[] = {
    TARVEX_ENTRY(seed),
    TARVEX_ENTRY(sample_array),
    TARVEX_ENTRY(sample_scores),
    TARVEX_ENTRY(score),
    TARVEX_ENTRY(fit),
    TARVEX_ENTRY(fold),
    TARVEX_ENTRY(set_num_threads),
    {"get_num_threads", reinterpret_cast<PyCFunction>(get_num_threads), METH_NOARGS, k_get_num_threads_doc},
};

#undef TARVEX_ENTRY

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tarvex",
    "Judge lattice-protein cost functions against native folds with self-avoiding walks, RMSD "
    "and rank correlation.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

std::atomic<std::int64_t> owner_interpreter{-1};
PyObject* the_module = nullptr;  // set once, kept for the life of the process

int register_functions(PyObject* module) {
  PyObject* name = PyModule_GetNameObject(module);
  if (name == nullptr) return -1;
  PyRef module_name(name);
  PyRef all(PyList_New(0));
  if (!all) return -1;
  const auto add = [&](PyMethodDef& def) {
    PyRef function(PyCFunction_NewEx(&def, module, module_name.get()));
    return function && PyModule_AddObjectRef(module, def.ml_name, function.get()) == 0;
  };
  for (PyMethodDef& def : functions) {
    PyRef function_name(PyUnicode_FromString(def.ml_name));
    if (!add(def) || !function_name || PyList_Append(all.get(), function_name.get()) < 0) return -1;
  }
  if (PyModule_AddObjectRef(module, "__all__", all.get()) < 0) return -1;
  for (PyMethodDef& def : beside) {
    if (!add(def)) return -1;
  }
  PyObject* panic = create_panic_type();
  if (panic == nullptr || PyModule_AddObjectRef(module, "PanicException", panic) < 0) return -1;
  return 0;
}

}  // namespace
}  // namespace tarvex::py

PyMODINIT_FUNC PyInit_tarvex() {
  using namespace tarvex::py;
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id < 0) return nullptr;
  std::int64_t expected = -1;
  if (!owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "tarvex does not support subinterpreters: it can only be imported in the "
                    "interpreter that first imported it");
    return nullptr;
  }
  if (the_module != nullptr) return Py_NewRef(the_module);
  PyRef module(PyModule_Create2(&module_def, 1013));
  if (!module || register_functions(module.get()) < 0) return nullptr;
  if (remember_main_thread() < 0 || read_thread_count_from_environment() < 0 || create_scores_type(module.get()) < 0 ||
      create_fit_type(module.get()) < 0 || create_folded_type(module.get()) < 0 ||
      PyModule_AddStringConstant(module.get(), "__version__", TARVEX_VERSION) < 0)
    return nullptr;
  route_progress_through_sys_stderr();
  the_module = Py_NewRef(module.get());
  return module.release();
}
