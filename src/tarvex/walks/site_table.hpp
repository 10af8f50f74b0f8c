// Which point of a walk occupies a lattice site: a hash table that follows the walk's moves.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "tarvex/walks/lattice_point.hpp"

namespace tarvex {

// Open addressing with linear probing and backward-shift deletion, so a long
// chain of moves leaves no tombstones behind and lookups stay short.
class SiteTable {
 public:
  static constexpr std::uint32_t kEmpty = 0xFFFFFFFFu;

  // Room for `points` sites at load <= 1/4, all empty.
  void reset(std::size_t points) {
    std::size_t want = 16;
    while (want < 4 * points) want *= 2;
    slots_.assign(want, Slot{});
    shift_ = 64 - std::countr_zero(want);
  }

  // The index at p, or kEmpty.
  std::uint32_t at(LatticePoint p) const {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = slot_of(p);; i = (i + 1) & mask) {
      const Slot& s = slots_[i];
      if (s.index == kEmpty) return kEmpty;
      if (s.point == p) return s.index;
    }
  }

  // Sets the index at p (p may already be present).
  void put(LatticePoint p, std::uint32_t index) {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = slot_of(p);; i = (i + 1) & mask) {
      Slot& s = slots_[i];
      if (s.index == kEmpty || s.point == p) {
        s = Slot{p, index};
        return;
      }
    }
  }

  // Removes p if present.
  void erase(LatticePoint p) {
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = slot_of(p);
    for (;; i = (i + 1) & mask) {
      if (slots_[i].index == kEmpty) return;
      if (slots_[i].point == p) break;
    }
    // Moves later entries of the probe run back into the hole when their home
    // slot does not lie cyclically in (hole, j].
    for (std::size_t j = (i + 1) & mask;; j = (j + 1) & mask) {
      if (slots_[j].index == kEmpty) break;
      const std::size_t home = slot_of(slots_[j].point);
      const bool stays = i <= j ? (i < home && home <= j) : (i < home || home <= j);
      if (stays) continue;
      slots_[i] = slots_[j];
      i = j;
    }
    slots_[i] = Slot{};
  }

 private:
  struct Slot {
    LatticePoint point{};
    std::uint32_t index = kEmpty;
  };

  std::size_t slot_of(LatticePoint p) const { return hash_slot(p, shift_); }

  std::vector<Slot> slots_;
  int shift_ = 64;
};

}  // namespace tarvex
