// The module's settings beside the six functions: the number of threads.
#include "tarvex/module/settings.hpp"

#include <cerrno>
#include <cstdlib>

#include "tarvex/module/bind.hpp"
#include "tarvex/thread_pool.hpp"

namespace tarvex::py {
namespace {

// Far beyond any machine this runs on; a larger count is a mistake that
// would start that many threads.
constexpr long long kMaxThreads = 4096;

std::size_t to_thread_count(PyObject* obj) {
  if (PyBool_Check(obj) || !PyIndex_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "the number of threads must be an int, not %.200s", Py_TYPE(obj)->tp_name);
    throw ErrorSet{};
  }
  PyRef index = PyRef::check(PyNumber_Index(obj));
  int overflow = 0;
  const long long n = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (n == -1 && PyErr_Occurred()) throw ErrorSet{};
  if (overflow != 0 || n < 1 || n > kMaxThreads) {
    PyErr_Format(PyExc_ValueError, "the number of threads must be from 1 to %lld, not %R", kMaxThreads, index.get());
    throw ErrorSet{};
  }
  return static_cast<std::size_t>(n);
}

}  // namespace

PyRef set_num_threads(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto [n] = bind_arguments("set_num_threads", args, nargs, kwnames, required("n", to_thread_count));
  set_thread_count(n);
  if (const std::size_t started = start_threads(); started < n) {
    if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                         "only %zu of the %zu threads asked for could be started (a limit of this process or "
                         "system); using %zu",
                         started, static_cast<std::size_t>(n), started) < 0)
      throw ErrorSet{};
  }
  return PyRef::borrow(Py_None);
}

PyObject* get_num_threads(PyObject*, PyObject*) { return PyLong_FromSize_t(thread_count()); }

int read_thread_count_from_environment() {
  const char* text = std::getenv("TARVEX_NUM_THREADS");
  if (text == nullptr || *text == '\0') return 0;
  char* end = nullptr;
  errno = 0;
  const long long n = std::strtoll(text, &end, 10);
  while (end != nullptr && (*end == ' ' || *end == '\t' || *end == '\n')) ++end;
  if (errno == 0 && end != text && *end == '\0' && n >= 1 && n <= kMaxThreads) {
    set_thread_count(static_cast<std::size_t>(n));
    return 0;
  }
  return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                          "TARVEX_NUM_THREADS=%.100s is not a number of threads from 1 to %lld; "
                          "using %zu, the CPUs this process may run on",
                          text, kMaxThreads, available_cpus());
}

}  // namespace tarvex::py
