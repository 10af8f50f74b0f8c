// Building a cost function from the caller's Python object, and the Python-callable cost.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "tarvex/cost/cost.hpp"
#include "tarvex/module/pyref.hpp"

namespace tarvex::py {

// Recognises the cost object: a callable, then a (name, source) pair of
// strings for Lua, then a table of contact energies; anything else fails with
// "Cannot recognize {} !". The object is borrowed for the whole call.
CostFunction build_cost(PyObject* cost, std::string seq, std::uint64_t kmin, double dmax);

// The exception a Python cost function raised, when it is what ended the call
// with `message` (then it becomes the PanicException's __cause__), else none.
// Both run on the calling thread with the interpreter lock held.
PyRef take_cost_exception(std::string_view message);
void forget_cost_exception();

}  // namespace tarvex::py
