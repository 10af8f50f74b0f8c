// The change of a contact energy when some points of a lattice walk move, without the full sum.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "tarvex/cost/contact_energy.hpp"
#include "tarvex/cost/contact_sum.hpp"
#include "tarvex/walks/lattice_point.hpp"
#include "tarvex/walks/site_table.hpp"

namespace tarvex {

// A contact table's pairs seen from the points of a walk: energy(i, j) for any
// two indices and the contact rule decided on the walk's integers exactly as
// contact_sum decides it, so that the sum over a walk of the changes below is
// the change of contact_sum (up to the rounding of adding in another order).
class ContactField {
 public:
  ContactField(const ContactEnergyCost& cost, double scale, LatticeKind lattice);

  std::size_t size() const { return n_; }

  // The energy of pair (i, j), i != j; 0 closer than kmin along the chain.
  double energy(std::size_t i, std::size_t j) const {
    if (i > j) std::swap(i, j);
    if (j - i < sep_) return 0.0;
    return energies_[row_[i] + (j - i - kmin_)];
  }

  bool contact(LatticePoint a, LatticePoint b) const {
    const std::int64_t dx = std::int64_t(a.x) - b.x, dy = std::int64_t(a.y) - b.y, dz = std::int64_t(a.z) - b.z;
    const std::int64_t q = dx * dx + dy * dy + dz * dz;
    if (rule_.integral) {
      if (q <= rule_.in) return true;
      if (q > rule_.maybe) return false;
    }
    return within(a, b);
  }

  // Whether a rigid move of a set of points can change a contact among them:
  // only when the doubles decide pairs (their squares add in another order).
  bool rigid_pair_may_change(LatticePoint a, LatticePoint b) const {
    if (!rule_.integral) return true;
    if (exact_scale_) return false;
    const std::int64_t dx = std::int64_t(a.x) - b.x, dy = std::int64_t(a.y) - b.y, dz = std::int64_t(a.z) - b.z;
    const std::int64_t q = dx * dx + dy * dy + dz * dz;
    return q > rule_.in && q <= rule_.maybe;
  }

  // True when no rigid move changes any contact among the points it moves:
  // the integers decide every pair, or the doubles compute the distances of
  // the undecided ones exactly (a scale that is a power of two), so that the
  // squared length alone decides them.
  bool rigid_moves_keep_contacts() const { return rule_.integral && (rule_.maybe <= rule_.in || exact_scale_); }

  // The energy of the pairs between points lo .. hi - 1, placed at `moved`
  // (hi - lo points), and the other points of `walk`. With the walk's site
  // table, and a contact reach with fewer sites than the walk has points,
  // only the sites within reach of each moved point are looked up.
  double cross(std::span<const LatticePoint> walk, std::size_t lo, std::size_t hi, const LatticePoint* moved,
               const SiteTable* sites = nullptr) const;

  // The part of cross that point i (lo <= i < hi) adds, placed at p.
  double cross_point(std::span<const LatticePoint> walk, std::size_t lo, std::size_t hi, std::size_t i, LatticePoint p,
                     const SiteTable* sites = nullptr) const;

  // The energy of the pairs among points lo .. hi - 1 placed at `moved`; with
  // band_only, only the pairs a rigid move may change.
  double internal(std::size_t lo, std::size_t hi, const LatticePoint* moved, bool band_only) const;

  // True when every pair energy is a finite number.
  bool finite() const { return finite_; }

 private:
  void add_point(double& sum, std::span<const LatticePoint> walk, std::size_t lo, std::size_t hi, std::size_t i,
                 LatticePoint p, const SiteTable* sites) const;

  bool within(LatticePoint a, LatticePoint b) const {
    const double s = rule_.scale;
    const double dx = double(a.x) * s - double(b.x) * s, dy = double(a.y) * s - double(b.y) * s,
                 dz = double(a.z) * s - double(b.z) * s;
    return std::sqrt((dx * dx + dy * dy) + dz * dz) <= dmax_;
  }

  std::size_t n_, kmin_;
  std::size_t sep_ = 1;  // the smallest separation of two distinct points that counts
  const double* energies_;
  std::vector<std::size_t> row_;     // row_[i]: the index of pair (i, i + kmin)
  std::vector<LatticePoint> reach_;  // the offsets that may be in contact, when few
  LatticeContactRule rule_;
  double dmax_;
  bool finite_ = true;
  bool exact_scale_ = false;
  std::vector<std::uint8_t> live_;  // live_[i]: some pair of point i has a nonzero energy
};

}  // namespace tarvex
