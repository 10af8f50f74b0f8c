// The generic argument binder: positional and keyword arguments matched against a parameter table.
#include "tarvex/module/bind.hpp"

#include <string>

namespace tarvex::py {

void match_arguments(const char* function, const char* const* names, const bool* is_required, std::size_t count,
                     PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
  const auto total = static_cast<Py_ssize_t>(count);
  if (nargs > total) {
    Py_ssize_t required_count = 0;
    for (std::size_t i = 0; i < count; ++i) required_count += is_required[i] ? 1 : 0;
    const char* verb = nargs == 1 ? "was" : "were";
    if (required_count == total)
      PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd %s given", function, total, nargs,
                   verb);
    else
      PyErr_Format(PyExc_TypeError, "%s() takes from %zd to %zd positional arguments but %zd %s given", function,
                   required_count, total, nargs, verb);
    throw ErrorSet{};
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];

  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    std::size_t match = count;
    for (std::size_t i = 0; i < count; ++i) {
      if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) {
        match = i;
        break;
      }
    }
    if (match == count) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, key);
      throw ErrorSet{};
    }
    if (slots[match] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function, names[match]);
      throw ErrorSet{};
    }
    slots[match] = args[nargs + k];
  }

  std::string missing;
  std::size_t missing_count = 0;
  for (std::size_t i = 0; i < count; ++i) missing_count += is_required[i] && slots[i] == nullptr;
  if (missing_count == 0) return;
  std::size_t seen = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (!is_required[i] || slots[i] != nullptr) continue;
    if (seen > 0) {
      if (missing_count > 2) missing += ",";
      missing += " ";
      if (seen + 1 == missing_count) missing += "and ";
    }
    missing += "'";
    missing += names[i];
    missing += "'";
    ++seen;
  }
  PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional %s: %s", function, missing_count,
               missing_count == 1 ? "argument" : "arguments", missing.c_str());
  throw ErrorSet{};
}

void reraise_for_argument(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw ErrorSet{};
  PyRef error = take_error();
  PyRef cause(PyException_GetCause(error.get()));
  PyRef message = PyRef::check(PyObject_Str(error.get()));
  PyRef replacement = PyRef::check(PyUnicode_FromFormat("argument '%s': %U", name, message.get()));
  PyRef renamed = PyRef::check(PyObject_CallOneArg(PyExc_TypeError, replacement.get()));
  if (cause) PyException_SetCause(renamed.get(), cause.release());
  restore_error(std::move(renamed));
  throw ErrorSet{};
}

}  // namespace tarvex::py
