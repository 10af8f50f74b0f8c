// NumPy arrays for the research functions: NumPy imported on first use, arrays filled through their buffers.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <span>

#include "tarvex/module/pyref.hpp"

namespace tarvex::py {

// NumPy, imported on first use; ImportError saying how to install it (with
// the original error as its cause) when it is missing. `function` names the
// caller in the message.
PyObject* numpy(const char* function);

// A new C-contiguous float64 array of the given shape and its writable data,
// valid while the array lives. The data is left uninitialised.
struct Float64Array {
  PyRef array;
  std::span<double> data;
};
Float64Array new_float64_array(const char* function, std::initializer_list<std::size_t> shape);

// A one-dimensional float64 array holding a copy of values.
PyRef float64_array_of(const char* function, std::span<const double> values);

}  // namespace tarvex::py
