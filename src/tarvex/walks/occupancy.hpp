// Which point of a walk sits at a lattice point: an open-addressing table kept up to date by pivot moves.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "tarvex/fail.hpp"
#include "tarvex/walks/lattice_point.hpp"

namespace tarvex {

// Entries are never deleted: a point that moves away leaves its entry behind,
// and a look-up tells live entries from stale ones by checking the walk
// itself. Each key ever occupied keeps one entry, rewritten when a point moves
// onto it, so a live point is always found under its own index. Stale entries
// pile up until the owner rebuilds the table, once full() says so; that keeps
// the load under 9/16 and the memory at a fixed multiple of the walk's length.
//
// A slot is one word: the low 16 bits of each coordinate, and the index plus
// one on top (0 is an empty slot). Within a walk of at most kMaxPoints points,
// and for a candidate point within a walk's length of the walk, equal low
// bits mean equal points, so keys stand for points however far the stored
// coordinates have wandered.
class Occupancy {
 public:
  static constexpr std::size_t kMaxPoints = 32767;
  using Key = std::uint64_t;

  static Key key_of(LatticePoint p) {
    return Key(std::uint16_t(p.x)) | Key(std::uint16_t(p.y)) << 16 | Key(std::uint16_t(p.z)) << 32;
  }

  // Where a look-up ended: the live point's index (or -1 when no point of the
  // walk is there) and the slot at which a point moving there would go.
  struct Probe {
    std::int32_t index;
    std::uint32_t slot;
  };

  void rebuild(std::span<const LatticePoint> walk) {
    if (walk.size() > kMaxPoints) fail("occupancy table for {} points, more than {}", walk.size(), kMaxPoints);
    std::size_t want = 16;
    while (want < 8 * walk.size()) want *= 2;
    if (want != slots_.size()) {
      slots_.assign(want, 0);
      shift_ = 64 - std::countr_zero(want);
    } else {
      std::fill(slots_.begin(), slots_.end(), 0);
    }
    used_ = 0;
    limit_ = want / 2;
    for (std::size_t i = 0; i < walk.size(); ++i) {
      const Key key = key_of(walk[i]);
      assign(slot_of(key), key, std::int32_t(i));
    }
  }

  [[gnu::always_inline]] Probe find(LatticePoint p, Key key, const LatticePoint* walk) const {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = slot_of(key);; i = (i + 1) & mask) {
      const std::uint64_t s = slots_[i];
      if (s == 0) return {-1, std::uint32_t(i)};
      if ((s & kKeyBits) == key) {
        const auto index = std::int32_t(s >> 48) - 1;
        return {walk[index] == p ? index : -1, std::uint32_t(i)};
      }
    }
  }

  // Point i of the walk now sits at the point of `key`; the search starts at
  // `from`, the slot a find() for it returned, or its home slot_of(key).
  [[gnu::always_inline]] void assign(std::size_t from, Key key, std::int32_t i) {
    const std::size_t mask = slots_.size() - 1;
    const std::uint64_t entry = key | std::uint64_t(i + 1) << 48;
    for (std::size_t k = from;; k = (k + 1) & mask) {
      std::uint64_t& s = slots_[k];
      if (s == 0) {
        s = entry;
        ++used_;
        return;
      }
      if ((s & kKeyBits) == key) {
        s = entry;
        return;
      }
    }
  }

  // Time to rebuild: a pivot move adds at most half a walk of entries, so
  // past half full the table could otherwise exceed the load it was sized for.
  bool full() const { return used_ > limit_; }

  // Fibonacci hashing: walks are compact, and the top bits of the product
  // spread the straight runs a walk is made of.
  std::size_t slot_of(Key key) const { return std::size_t((key * 0x9E3779B97F4A7C15ull) >> shift_); }

 private:
  static constexpr std::uint64_t kKeyBits = (std::uint64_t{1} << 48) - 1;

  std::vector<std::uint64_t> slots_;
  std::size_t used_ = 0, limit_ = 0;
  int shift_ = 64;
};

}  // namespace tarvex
