// Which point of a walk sits at a lattice point: an open-addressing table kept up to date by pivot moves.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "tarvex/walks/lattice_point.hpp"

namespace tarvex {

// Entries are never deleted: a point that moves away leaves its entry behind,
// and a look-up tells live entries from stale ones by checking the walk
// itself. Each lattice point ever occupied keeps one entry, rewritten when a
// point moves onto it, so a live point is always found under its own index.
// Stale entries pile up until the walk is re-entered from scratch, which the
// owner does once full() says so; that keeps the load under 5/8 and the
// memory at a fixed multiple of the walk's length.
class Occupancy {
 public:
  void rebuild(std::span<const LatticePoint> walk) {
    std::size_t want = 16;
    while (want < 4 * walk.size()) want *= 2;
    if (want != slots_.size()) {
      slots_.assign(want, Slot{});
      shift_ = 64 - std::countr_zero(want);
    } else {
      std::fill(slots_.begin(), slots_.end(), Slot{});
    }
    used_ = 0;
    limit_ = want / 2;
    for (std::size_t i = 0; i < walk.size(); ++i) assign(walk[i], std::int32_t(i));
  }

  // The index of the walk's point at p, or -1 when none is there.
  [[gnu::always_inline]] std::int32_t find(LatticePoint p, const LatticePoint* walk) const {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = slot_of(p);; i = (i + 1) & mask) {
      const Slot& s = slots_[i];
      if (s.index < 0) return -1;
      if (s.point == p) return walk[s.index] == p ? s.index : -1;
    }
  }

  // Point i of the walk now sits at p.
  [[gnu::always_inline]] void assign(LatticePoint p, std::int32_t i) {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t k = slot_of(p);; k = (k + 1) & mask) {
      Slot& s = slots_[k];
      if (s.index < 0) {
        s = Slot{p, i};
        ++used_;
        return;
      }
      if (s.point == p) {
        s.index = i;
        return;
      }
    }
  }

  // Time to rebuild: a pivot move adds at most half a walk of entries, so
  // past half full the table could otherwise exceed the load it was sized for.
  bool full() const { return used_ > limit_; }

 private:
  struct Slot {
    LatticePoint point{};
    std::int32_t index = -1;
  };

  // Fibonacci hashing of 21 bits per coordinate: walks are compact, and the
  // top bits of the product spread the straight runs a walk is made of.
  // Coordinates beyond 2^20 only collide more; the full point is compared.
  std::size_t slot_of(LatticePoint p) const {
    constexpr std::uint64_t m = (std::uint64_t{1} << 21) - 1;
    const std::uint64_t key = (std::uint64_t(std::uint32_t(p.x)) & m) << 42 |
                              (std::uint64_t(std::uint32_t(p.y)) & m) << 21 | (std::uint64_t(std::uint32_t(p.z)) & m);
    return std::size_t((key * 0x9E3779B97F4A7C15ull) >> shift_);
  }

  std::vector<Slot> slots_;
  std::size_t used_ = 0, limit_ = 0;
  int shift_ = 64;
};

}  // namespace tarvex
