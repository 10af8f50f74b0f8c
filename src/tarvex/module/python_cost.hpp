// Building a cost function from the caller's Python object, and the Python-callable cost.
#pragma once

#include <cstdint>
#include <string>

#include "tarvex/cost/cost.hpp"
#include "tarvex/module/pyref.hpp"

namespace tarvex::py {

// Recognises the cost object: a callable, then a (name, source) pair of
// strings for Lua, then a table of contact energies; anything else fails with
// "Cannot recognize {} !". The object is borrowed for the whole call.
CostFunction build_cost(PyObject* cost, std::string seq, std::uint64_t kmin, double dmax);

}  // namespace tarvex::py
