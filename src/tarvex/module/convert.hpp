// Conversion of Python arguments into native values and of results back into Python objects.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "tarvex/module/pyref.hpp"
#include "tarvex/point.hpp"
#include "tarvex/walks/lattice_point.hpp"

namespace tarvex::py {

// Input conversions. Each returns the native value or throws ErrorSet with
// the Python exception set.
PyObject* as_object(PyObject* obj);                               // the object itself, borrowed for the call
std::string_view to_text(PyObject* obj);                          // valid while obj lives
std::optional<std::string_view> to_optional_text(PyObject* obj);  // None: no text
std::uint64_t to_unsigned(PyObject* obj);
double to_float(PyObject* obj);
bool to_flag(PyObject* obj);
// None: 0; else a positive int (a bool is not a count). `argument` names the
// keyword and `what` the quantity in the messages.
std::uint64_t to_optional_count(PyObject* obj, const char* argument, const char* what);
Conformation to_structure(PyObject* obj);
std::vector<Conformation> to_structure_list(PyObject* obj);

// Output conversions. Each returns the new object or throws ErrorSet with the
// Python exception set.
PyRef new_float(double value);
// Makes tarvex.NAME, a collections.namedtuple of two fields with its
// docstring, and adds it to the module, which keeps it; `type` borrows it.
// -1 with the exception set on failure.
int add_pair_type(PyObject* module, const char* name, const char* first, const char* second, const char* doc,
                  PyObject*& type);
PyRef new_conformation(std::span<const Point> points);
// `count` lattice walks of n points stored one after the other, as the
// conformations they make: each coordinate times scale.
PyRef new_walk_list(std::span<const LatticePoint> walks, std::size_t n, std::size_t count, double scale);

// No memory for the result (about `bytes`): MemoryError naming the size.
// Anything else: prints the pending error and ends the call as an internal failure.
[[noreturn]] void result_failed(std::uint64_t bytes);

// The result of one of the six functions, as build() makes it, about `bytes`
// large. Only here does an interpreter failure not pass as it is: when the
// result object cannot be created for want of memory, the call raises
// MemoryError naming the size; for any other reason the error is printed and
// the call ends as an internal failure ("Python API call failed").
template <class Build>
PyRef build_result(Build&& build, std::uint64_t bytes) {
  try {
    return std::forward<Build>(build)();
  } catch (const ErrorSet&) {
    result_failed(bytes);
  }
}

}  // namespace tarvex::py
