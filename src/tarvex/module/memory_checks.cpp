// The memory the sampling functions ask for, checked before they build anything large.
#include "tarvex/module/memory_checks.hpp"

#include "tarvex/memory.hpp"
#include "tarvex/module/gil.hpp"
#include "tarvex/poll.hpp"
#include "tarvex/walks/random.hpp"

namespace tarvex::py {

void require_walk_memory(std::uint64_t n) { require_memory(n, 64, "a walk of that many points"); }

std::uint64_t bound_and_count_enumeration(SamplingRun& run, std::uint64_t bytes_each, const char* what) {
  if (run.method.kind != SamplingMethod::Kind::enumerate) return 0;
  run.bound_enumeration(bytes_each, what);
  SamplingRun counted = run;
  counted.pbar = false;
  Poll poll(check_signals);
  const ReleasedGil released;
  std::uint64_t count = 0;
  sample_lattice_walks(counted, thread_rng(), poll, [&](const LatticeWalk&) { ++count; });
  return count;
}

}  // namespace tarvex::py
