// The pivot chain on a plain array: the shorter side moves, the rest waits as a pending transformation.
#include "tarvex/walks/pivot_array.hpp"

namespace tarvex {

PivotArray::PivotArray(std::span<const LatticePoint> walk)
    : points_(walk.begin(), walk.end()), moved_(walk.size()), slots_(walk.size()) {
  occupancy_.rebuild(points_);
}

bool PivotArray::try_pivot(std::size_t site, SignedPermutation g) {
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
bool PivotArray::move(std::size_t site, SignedPermutation h) {
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
bool PivotArray::test(std::size_t site, SignedPermutation h) {
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

void PivotArray::write(LatticeWalk& out) const {
  out.resize(points_.size());
  for (std::size_t i = 0; i < points_.size(); ++i) out[i] = act(frame_, points_[i]) + offset_;
}

}  // namespace tarvex
