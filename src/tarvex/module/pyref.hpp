// Owner of Python references and the bridge from C-API errors to C++ unwinding.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace tarvex::py {

// Thrown when a C-API call failed and left its exception set in the
// interpreter; the function table then only has to return null.
struct ErrorSet {};

// Owns one strong reference (or none). Borrowed references are never stored
// in it; take a new one with PyRef::borrow.
class PyRef {
 public:
  PyRef() = default;
  explicit PyRef(PyObject* owned) noexcept : p_(owned) {}
  static PyRef borrow(PyObject* borrowed) noexcept { return PyRef(Py_XNewRef(borrowed)); }
  // A new reference from a call that returns null on error.
  static PyRef check(PyObject* owned) {
    if (owned == nullptr) throw ErrorSet{};
    return PyRef(owned);
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(p_);
      p_ = std::exchange(other.p_, nullptr);
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// The pending exception, taken out of the interpreter and owned (a normalised
// exception instance with its traceback attached), or null when none was set.
inline PyRef take_error() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyRef(PyErr_GetRaisedException());
#else
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return PyRef();
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return PyRef(value);
#endif
}

// Sets exc (an exception instance) as the pending exception, consuming it.
inline void restore_error(PyRef exc) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exc.release());
#else
  PyObject* value = exc.release();
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value, PyException_GetTraceback(value));
#endif
}

// Makes cause (an exception instance, consumed) the __cause__ of the pending
// exception, which must be set.
inline void set_pending_cause(PyRef cause) {
  PyRef error = take_error();
  PyException_SetCause(error.get(), cause.release());
  restore_error(std::move(error));
}

}  // namespace tarvex::py
