// The pivot chain on an array with a hashed occupancy table, as the sampler ran short walks before: the yardstick of
// the pairwise form.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "tarvex/fail.hpp"
#include "tarvex/walks/lattice_point.hpp"
#include "tarvex/walks/signed_permutation.hpp"

namespace tarvex::testing {

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

// Holds the walk as frame(points[i]) + offset. A move that turns the part
// after the pivot by g may instead turn the part before it by g^-1 and fold g
// into the frame: the delivered walk is the same, point for point, and only
// the shorter side is touched. The moved points are tested from the pivot
// outward, where a clash is most likely, against the occupancy table.
// Coordinates wrap like 32-bit machine integers, so the stored ones may drift
// without bound and the delivered ones still come out exact.
class PivotArray {
 public:
  static constexpr std::size_t kMaxPoints = Occupancy::kMaxPoints;

  explicit PivotArray(std::span<const LatticePoint> walk);

  // Applies g about point `site` (site + 1 < size) to every later point of
  // the delivered walk, when the result is self-avoiding; otherwise leaves the
  // walk as it was and returns false.
  bool try_pivot(std::size_t site, SignedPermutation g);

  // The delivered walk, into a buffer the caller reuses.
  void write(LatticeWalk& out) const;

 private:
  template <bool Tail>
  bool move(std::size_t site, SignedPermutation h);
  template <bool Tail, int X, int Y, int Z>
  bool test(std::size_t site, SignedPermutation h);

  LatticeWalk points_;
  LatticeWalk moved_;                 // the candidate positions of the moving side
  std::vector<std::uint32_t> slots_;  // and where each goes in the table
  Occupancy occupancy_;
  SignedPermutation frame_ = 0;
  LatticePoint offset_{0, 0, 0};
};

inline PivotArray::PivotArray(std::span<const LatticePoint> walk)
    : points_(walk.begin(), walk.end()), moved_(walk.size()), slots_(walk.size()) {
  occupancy_.rebuild(points_);
}

inline bool PivotArray::try_pivot(std::size_t site, SignedPermutation g) {
  const std::size_t n = points_.size();
  // In the stored coordinates the delivered g reads frame^-1 g frame.
  const SignedPermutation to_stored = inverse_of(frame_);
  if (n - 1 - site <= site) {
    if (!move<true>(site, compose(to_stored, compose(g, frame_)))) return false;
  } else {
    if (!move<false>(site, compose(to_stored, compose(inverse_of(g), frame_)))) return false;
    // The delivered walk is the moved one turned by g about the pivot.
    const LatticePoint w = act(frame_, points_[site]) + offset_;
    offset_ = w + act(g, offset_ - w);
    frame_ = compose(g, frame_);
  }
  if (occupancy_.full()) occupancy_.rebuild(points_);
  return true;
}

// The moving side is the tail (after the site) or the head (before it). Both
// sides are self-avoiding and a symmetry keeps the moving one so, hence a
// clash is a moved point landing on the fixed side. Nothing is written
// before the whole side has passed.
template <bool Tail>
inline bool PivotArray::move(std::size_t site, SignedPermutation h) {
  // One loop per axis order, so the permutation costs nothing inside it.
  bool free = false;
  switch (h / 8) {
    case 0: free = test<Tail, 0, 1, 2>(site, h); break;
    case 1: free = test<Tail, 0, 2, 1>(site, h); break;
    case 2: free = test<Tail, 1, 0, 2>(site, h); break;
    case 3: free = test<Tail, 1, 2, 0>(site, h); break;
    case 4: free = test<Tail, 2, 0, 1>(site, h); break;
    default: free = test<Tail, 2, 1, 0>(site, h); break;
  }
  if (!free) return false;
  const std::size_t first = Tail ? site + 1 : 0, last = Tail ? points_.size() : site;
  for (std::size_t j = first; j < last; ++j) {
    points_[j] = moved_[j];
    occupancy_.assign(slots_[j], Occupancy::key_of(moved_[j]), std::int32_t(j));
  }
  return true;
}

template <bool Tail, int X, int Y, int Z>
inline bool PivotArray::test(std::size_t site, SignedPermutation h) {
  const std::size_t n = points_.size();
  const LatticePoint* points = points_.data();
  LatticePoint* moved = moved_.data();
  std::uint32_t* slots = slots_.data();
  const LatticePoint c = points[site];
  const std::uint32_t sx = h & 1 ? ~0u : 0u, sy = h & 2 ? ~0u : 0u, sz = h & 4 ? ~0u : 0u;
  const auto ix = std::int32_t(site);
  for (std::size_t k = 1; Tail ? site + k < n : k <= site; ++k) {
    const std::size_t j = Tail ? site + k : site - k;
    const std::uint32_t d[3] = {std::uint32_t(points[j].x) - std::uint32_t(c.x),
                                std::uint32_t(points[j].y) - std::uint32_t(c.y),
                                std::uint32_t(points[j].z) - std::uint32_t(c.z)};
    const LatticePoint p{std::int32_t(std::uint32_t(c.x) + ((d[X] ^ sx) - sx)),
                         std::int32_t(std::uint32_t(c.y) + ((d[Y] ^ sy) - sy)),
                         std::int32_t(std::uint32_t(c.z) + ((d[Z] ^ sz) - sz))};
    const Occupancy::Key key = Occupancy::key_of(p);
    const Occupancy::Probe probe = occupancy_.find(p, key, points);
    if (probe.index >= 0 && (Tail ? probe.index <= ix : probe.index >= ix)) return false;
    moved[j] = p;
    slots[j] = probe.slot;
  }
  return true;
}

inline void PivotArray::write(LatticeWalk& out) const {
  out.resize(points_.size());
  for (std::size_t i = 0; i < points_.size(); ++i) out[i] = act(frame_, points_[i]) + offset_;
}

}  // namespace tarvex::testing
