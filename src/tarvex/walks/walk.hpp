// Self-avoiding walks: the reusable point set, the straight walk and the exhaustive enumerator.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "tarvex/walks/lattice.hpp"

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

  // Multiply-xorshift of the packed coordinates; the top bits index the table,
  // which spreads the arithmetic progressions that straight stretches make.
  std::size_t slot_of(LatticePoint p) const {
    std::uint64_t h = (std::uint64_t(std::uint32_t(p.x)) | std::uint64_t(std::uint32_t(p.y)) << 32) *
                      0x9E3779B97F4A7C15ull;
    h ^= std::uint64_t(std::uint32_t(p.z)) * 0xC2B2AE3D27D4EB4Full;
    h ^= h >> 31;
    h *= 0xBF58476D1CE4E5B9ull;
    return std::size_t(h >> shift_);
  }

  std::vector<Slot> slots_;
  std::uint32_t stamp_ = 0;
  int shift_ = 64;
};

// Point i is i steps along step 0 (along steps 1 and 0 alternately on the
// diamond lattice, a zigzag). Self-avoiding on every lattice.
LatticeWalk straight_walk(const Lattice& lattice, std::size_t n);

// Every self-avoiding walk of n points from the origin, each once, depth-first
// with the highest step index tried first at every point. Equivalent to a
// stack of visit entries pushed in step order, but kept as one "next step to
// try" counter per point, so an extension costs no stack traffic.
template <LatticeKind K>
class WalkEnumerator {
 public:
  explicit WalkEnumerator(std::size_t n) : n_(n) {
    walk_.reserve(n);
    remaining_.reserve(n);
  }

  // Every walk of n points that begins with `prefix` (a walk of this lattice,
  // 1 <= prefix.size() < n), in the order the full enumeration yields them:
  // one subtree of the enumeration, so that disjoint prefixes split it into
  // independent parts whose concatenation in prefix order is the whole.
  WalkEnumerator(std::size_t n, std::span<const LatticePoint> prefix) : n_(n), floor_(prefix.size() - 1) {
    if (prefix.empty() || prefix.size() >= n) fail("assertion failed: 1 <= prefix.len() < n");
    walk_.reserve(n);
    walk_.assign(prefix.begin(), prefix.end());
    remaining_.reserve(n);
    remaining_.assign(prefix.size() - 1, 0);
    remaining_.push_back(std::uint8_t(coordination(K)));
  }

  // The next walk (valid until the following call), or nullptr once the
  // enumeration is exhausted, and from then on.
  const LatticeWalk* next() {
    if (done_) return nullptr;
    if (!started_) {
      started_ = true;
      // A subtree starts from its prefix; the whole enumeration from the origin.
      if (walk_.empty()) {
        // A walk of no points is the one walk of length 0.
        if (n_ == 0) {
          done_ = true;
          return &walk_;
        }
        walk_.push_back(kOrigin);
        if (n_ == 1) {
          done_ = true;
          return &walk_;
        }
        remaining_.push_back(std::uint8_t(coordination(K)));
      }
    } else {
      walk_.pop_back();
    }
    return advance();
  }

  bool exhausted() const { return done_; }

 private:
  const LatticeWalk* advance() {
    for (;;) {
      const std::size_t tip = walk_.size() - 1;
      if (remaining_[tip] == 0) {
        remaining_.pop_back();
        if (tip == floor_) {
          done_ = true;
          walk_.clear();
          return nullptr;
        }
        walk_.pop_back();
        continue;
      }
      const std::size_t step = --remaining_[tip];
      const LatticePoint p = neighbour<K>(walk_[tip], step);
      if (!is_new_at<K>(walk_.data(), tip + 1, p)) continue;
      walk_.push_back(p);
      if (walk_.size() == n_) return &walk_;
      remaining_.push_back(std::uint8_t(coordination(K)));
    }
  }

  std::size_t n_;
  std::size_t floor_ = 0;  // the last point of the fixed prefix; the origin for the whole
  LatticeWalk walk_;
  std::vector<std::uint8_t> remaining_;
  bool started_ = false;
  bool done_ = false;
};

}  // namespace tarvex
