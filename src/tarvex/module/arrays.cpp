// NumPy arrays for the research functions: NumPy imported on first use, arrays filled through their buffers.
#include "tarvex/module/arrays.hpp"

#include <algorithm>

namespace tarvex::py {

PyObject* numpy(const char* function) {
  static PyObject* module = nullptr;  // kept for the life of the process, like sys.modules does
  if (module != nullptr) return module;
  module = PyImport_ImportModule("numpy");
  if (module != nullptr) return module;
  if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw ErrorSet{};
  PyRef cause = take_error();
  PyErr_Format(PyExc_ImportError,
               "tarvex.%s returns NumPy arrays and needs NumPy, which cannot be imported: "
               "install it with `pip install numpy`",
               function);
  set_pending_cause(std::move(cause));
  throw ErrorSet{};
}

Float64Array new_float64_array(const char* function, std::initializer_list<std::size_t> shape) {
  PyObject* np = numpy(function);
  PyRef dims = PyRef::check(PyTuple_New(static_cast<Py_ssize_t>(shape.size())));
  Py_ssize_t i = 0;
  for (std::size_t extent : shape) PyTuple_SET_ITEM(dims.get(), i++, PyRef::check(PyLong_FromSize_t(extent)).release());
  PyRef array = PyRef::check(PyObject_CallMethod(np, "empty", "Os", dims.get(), "float64"));
  Py_buffer view;
  if (PyObject_GetBuffer(array.get(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0) throw ErrorSet{};
  // The array owns the memory; the view is only needed to find it.
  auto* data = static_cast<double*>(view.buf);
  const auto count = static_cast<std::size_t>(view.len) / sizeof(double);
  PyBuffer_Release(&view);
  return {std::move(array), {data, count}};
}

PyRef float64_array_of(const char* function, std::span<const double> values) {
  Float64Array out = new_float64_array(function, {values.size()});
  std::copy(values.begin(), values.end(), out.data.begin());
  return std::move(out.array);
}

}  // namespace tarvex::py
