// What only the tests and benchmarks reach: internals of the core's classes, through the peer they befriend.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tarvex/cost/lua_state.hpp"
#include "tarvex/fail.hpp"
#include "tarvex/thread_pool.hpp"
#include "tarvex/walks/dimerize.hpp"
#include "tarvex/walks/pivot.hpp"
#include "tarvex/walks/walk_enumerator.hpp"

namespace tarvex::testing {

struct Peer {
  // The state itself, for tests that push values of their own.
  static lua_State* raw(const LuaState& state) noexcept { return state.state_; }

  // Whether the group has workers (false: tasks run on submit).
  static bool parallel(const TaskGroup& group) noexcept { return group.state_ != nullptr; }

  // Whether next() has returned its last walk.
  template <LatticeKind K>
  static bool exhausted(const WalkEnumerator<K>& enumerator) {
    return enumerator.done_;
  }

  // The move of g about `site` alone: accepted exactly when the whole
  // transformed walk has no repeated point; a rejection leaves the walk
  // untouched. Pivoting at the last point moves nothing and is accepted.
  template <LatticeKind K>
  static bool try_pivot_at(PivotSampler<K>& sampler, std::size_t site, const Symmetry& s) {
    const std::size_t n = sampler.walk_.size();
    if (site >= n) fail("pivot site {} is outside a walk of {} points", site, n);
    if (site + 1 == n) return true;
    return sampler.move(site, signed_permutation(s));
  }

  template <LatticeKind K>
  static std::uint64_t attempts_per_sample(const PivotSampler<K>& sampler) {
    return sampler.attempts_per_sample_;
  }

  // A dimerizer drawing walks of up to `base_limit` points (at least 3) whole.
  template <LatticeKind K>
  static Dimerizer<K> dimerizer(Rng& rng, std::size_t base_limit) {
    return Dimerizer<K>(rng, nullptr, base_limit);
  }
};

}  // namespace tarvex::testing
