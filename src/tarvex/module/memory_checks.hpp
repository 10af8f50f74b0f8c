// The memory the sampling functions ask for, checked before they build anything large.
#pragma once

#include <cstdint>

#include "tarvex/sampling/sampling.hpp"

namespace tarvex::py {

// What a sampler holds for a walk of n points (the walk, its moved copy, the
// conformation), checked before a sampler is built.
void require_walk_memory(std::uint64_t n);

// Bounds an enumeration by the memory its walks would take (bytes_each per
// walk kept) and counts it first, without the interpreter lock: a run too
// large fails after counting what fits, before any walk is scored or built.
// Returns the count; does nothing (returns 0) for the other methods.
std::uint64_t bound_and_count_enumeration(SamplingRun& run, std::uint64_t bytes_each, const char* what);

}  // namespace tarvex::py
