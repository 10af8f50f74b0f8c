// The pivot chain on a plain array: the shorter side moves, the rest waits as a pending transformation.
#include "tarvex/walks/pivot_array.hpp"

namespace tarvex {

PivotArray::PivotArray(std::span<const LatticePoint> walk) : points_(walk.begin(), walk.end()), moved_(walk.size()) {
  occupancy_.rebuild(points_);
}

bool PivotArray::try_pivot(std::size_t site, SignedPermutation g) {
  const std::size_t n = points_.size();
  // In the stored coordinates the delivered g reads frame^-1 g frame.
  const SignedPermutation to_stored = inverse_of(frame_);
  if (n - 1 - site <= site) {
    if (!move_tail(site, compose(to_stored, compose(g, frame_)))) return false;
  } else {
    if (!move_head(site, compose(to_stored, compose(inverse_of(g), frame_)))) return false;
    // The delivered walk is the moved one turned by g about the pivot.
    const LatticePoint w = act(frame_, points_[site]) + offset_;
    offset_ = w + act(g, offset_ - w);
    frame_ = compose(g, frame_);
  }
  if (occupancy_.full()) recentre();
  return true;
}

// Both sides are self-avoiding and a symmetry keeps the moving one so, hence
// a clash is a moved point landing on the fixed side. Nothing is written
// before the whole side has passed.
bool PivotArray::move_tail(std::size_t site, SignedPermutation h) {
  const std::size_t n = points_.size();
  const LatticePoint* points = points_.data();
  const LatticePoint c = points[site];
  LatticePoint* moved = moved_.data();
  for (std::size_t j = site + 1; j < n; ++j) {
    const LatticePoint p = c + act(h, points[j] - c);
    const std::int32_t k = occupancy_.find(p, points);
    if (k >= 0 && std::size_t(k) <= site) return false;
    moved[j - site - 1] = p;
  }
  for (std::size_t j = site + 1; j < n; ++j) {
    points_[j] = moved[j - site - 1];
    occupancy_.assign(points_[j], std::int32_t(j));
  }
  return true;
}

bool PivotArray::move_head(std::size_t site, SignedPermutation h) {
  const LatticePoint* points = points_.data();
  const LatticePoint c = points[site];
  LatticePoint* moved = moved_.data();
  for (std::size_t j = site; j-- > 0;) {
    const LatticePoint p = c + act(h, points[j] - c);
    const std::int32_t k = occupancy_.find(p, points);
    if (k >= 0 && std::size_t(k) >= site) return false;
    moved[j] = p;
  }
  for (std::size_t j = 0; j < site; ++j) {
    points_[j] = moved[j];
    occupancy_.assign(points_[j], std::int32_t(j));
  }
  return true;
}

// Stale entries have filled the table: store the delivered walk itself, which
// also keeps the stored coordinates from drifting move after move.
void PivotArray::recentre() {
  for (LatticePoint& p : points_) p = act(frame_, p) + offset_;
  frame_ = 0;
  offset_ = {0, 0, 0};
  occupancy_.rebuild(points_);
}

void PivotArray::write(LatticeWalk& out) const {
  out.resize(points_.size());
  for (std::size_t i = 0; i < points_.size(); ++i) out[i] = act(frame_, points_[i]) + offset_;
}

}  // namespace tarvex
