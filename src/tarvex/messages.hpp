// The error texts of the six original functions, in one place.
//
// Kept verbatim, typos, odd spacing and " !" included: callers match on them
// and the functions' documented interface is these exact texts. Do not
// "fix", reword or translate them; a new message goes elsewhere. The
// placeholders are those of tarvex::format ({}) or of PyErr_Format (%).
#pragma once

namespace tarvex::messages {

// The cost argument.
inline constexpr char kUnrecognisedCost[] = "Cannot recognize {} !";
inline constexpr char kPythonCostFailed[] = "Python function failed to run !";
inline constexpr char kPythonCostNotFloat[] = "Python function did not return a float !";
inline constexpr char kNoContactEnergies[] = "Contact energies for amino acid {} could not be found !";
inline constexpr char kNoContactEnergy[] = "Contact energy for amino acid's pair {}-{} could not be found !";
inline constexpr char kLuaVm[] = "Failed to create a Lua VM";
inline constexpr char kLuaChunkError[] = "Lua code returned an error when run:\n{}";
inline constexpr char kLuaFunctionMissing[] = "Lua function {} cannot be found !: {}";
inline constexpr char kLuaNotFloat[] = "Lua function did not return a floating number !: {}";

// The keyword arguments naming a choice.
inline constexpr char kUnknownMethod[] = "Method {} is not recognized !";
inline constexpr char kUnknownOptionalMethod[] = "Method Some({}) is not recognized !";
inline constexpr char kUnknownLattice[] = "Lattice {} is not recognized !";

// The ground truth and the statistics.
inline constexpr char kNoModels[] = "The ground truth must have at least one model !";
inline constexpr char kNoModelsAssertion[] = "assertion failed: gt.len() > 0";
inline constexpr char kShortModel[] = "index out of bounds: the len is {} but the index is {}";
inline constexpr char kEmptyMean[] = "Cannot calculate the mean of an empty Vec !";
inline constexpr char kUnequalLengths[] = "assertion failed: x.len() == y.len()";

// Conversions of the arguments (PyErr_Format).
inline constexpr char kCannotCast[] = "'%U' object cannot be cast as '%s'";
inline constexpr char kStrNotSequence[] = "Can't extract `str` to `Vec`";

}  // namespace tarvex::messages
