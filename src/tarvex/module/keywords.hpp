// Keyword parsing: sampling methods and lattices by name, and texts quoted for the messages.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "tarvex/sampling/sampling.hpp"
#include "tarvex/walks/lattice_point.hpp"

namespace tarvex::py {

// A text as it appears in messages: in double quotes, with quotes, backslashes
// and non-printable characters escaped.
std::string quoted(std::string_view text);

struct PivotFactors {
  std::uint64_t thermalization, autocorrelation;
};

// "pivot" (with the factors), "dimerize" or "enumerate"; anything else fails
// with the method quoted. stats and correlation take the method as an
// optional text (optional = true), and their message shows it as Some("...").
SamplingMethod parse_method(std::string_view text, bool optional, PivotFactors factors);

// "tetrahedral", "fcc", "bcc" or "cubic"; anything else fails with the name quoted.
LatticeKind parse_lattice(std::string_view text);

}  // namespace tarvex::py
