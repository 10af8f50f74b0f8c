// Building a cost function from the caller's Python object, and the Python-callable cost.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "tarvex/cost/cost.hpp"
#include "tarvex/fail.hpp"
#include "tarvex/module/pyref.hpp"

namespace tarvex::py {

// Recognises the cost object: a callable, then a (name, source) pair of
// strings for Lua, then a table of contact energies; anything else fails with
// "Cannot recognize {} !". The object is borrowed for the whole call.
std::unique_ptr<Cost> build_cost(PyObject* cost, std::string seq, std::uint64_t kmin, double dmax);

// A Python cost function that raised: the failure ends the call like any
// Panic, and the exception it carries becomes the PanicException's __cause__.
// Copies share the exception, which may be let go on any thread.
class PythonCostFailure : public Panic {
 public:
  PythonCostFailure(const std::string& message, PyRef exception);
  // The exception, once (then none); holding the interpreter lock.
  PyRef take_exception() const;

 private:
  struct Held;
  std::shared_ptr<Held> held_;
};

}  // namespace tarvex::py
