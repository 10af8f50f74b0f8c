// A reusable set of lattice points, cleared by a generation stamp.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "tarvex/walks/lattice_point.hpp"

namespace tarvex {

// Open-addressing set of lattice points, built to be reused: clearing bumps a
// generation stamp instead of touching the slots, so a repeat test costs no
// allocation and no clearing once the table has grown to the walk's size.
class PointSet {
 public:
  // Empties the set and makes room for `expected` points at load <= 1/2.
  void reset(std::size_t expected) {
    std::size_t want = 16;
    while (want < 2 * expected) want *= 2;
    if (want > slots_.size()) {
      slots_.assign(want, Slot{});
      shift_ = 64 - std::countr_zero(want);
      stamp_ = 1;
      return;
    }
    if (++stamp_ == 0) {
      for (auto& s : slots_) s.stamp = 0;
      stamp_ = 1;
    }
  }

  // False when p was already present.
  bool insert(LatticePoint p) {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = slot_of(p);; i = (i + 1) & mask) {
      Slot& s = slots_[i];
      if (s.stamp != stamp_) {
        s = Slot{p, stamp_};
        return true;
      }
      if (s.point == p) return false;
    }
  }

  bool contains(LatticePoint p) const {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = slot_of(p);; i = (i + 1) & mask) {
      const Slot& s = slots_[i];
      if (s.stamp != stamp_) return false;
      if (s.point == p) return true;
    }
  }

 private:
  struct Slot {
    LatticePoint point{};
    std::uint32_t stamp = 0;
  };

  std::size_t slot_of(LatticePoint p) const { return hash_slot(p, shift_); }

  std::vector<Slot> slots_;
  std::uint32_t stamp_ = 0;
  int shift_ = 64;
};

}  // namespace tarvex
