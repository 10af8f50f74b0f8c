// The change of a contact energy when some points of a lattice walk move, without the full sum.
#include "tarvex/cost/contact_delta.hpp"

#include <algorithm>
#include <cmath>

namespace tarvex {

ContactField::ContactField(const ContactEnergyCost& cost, double scale, LatticeKind lattice)
    : n_(cost.residues), kmin_(std::size_t(std::min<std::uint64_t>(cost.kmin, cost.residues + 1))),
      energies_(cost.pair_energies.data()), rule_(lattice_contact_rule(scale, cost.dmax)), dmax_(cost.dmax) {
  // With kmin 0 every point is paired with itself too: a constant no move changes.
  sep_ = std::max<std::size_t>(kmin_, 1);
  row_.resize(n_ + 1, 0);
  std::size_t at = 0;
  for (std::size_t i = 0; i < n_; ++i) {
    row_[i] = at;
    if (n_ > i + kmin_) at += n_ - i - kmin_;
  }
  row_[n_] = at;
  for (const double e : cost.pair_energies) finite_ = finite_ && std::isfinite(e);
  int exponent = 0;
  exact_scale_ = std::isnormal(scale) && std::frexp(scale, &exponent) == 0.5;
  // Points none of whose pairs has an energy (the polar residues of an HP
  // table) add nothing wherever they go: the sums below skip them.
  live_.assign(n_, 0);
  for (std::size_t i = 0; i < n_; ++i)
    for (std::size_t j = i + sep_; j < n_; ++j)
      if (energies_[row_[i] + (j - i - kmin_)] != 0.0) live_[i] = live_[j] = 1;
  // The offsets within reach that join two points of the lattice (coordinates
  // of one parity on the bcc and diamond lattices, an even sum on fcc); kept
  // only when they are fewer than half the points, where looking them up
  // beats scanning the walk.
  if (rule_.integral && rule_.maybe >= 0 && double(rule_.maybe) < 0.25 * double(n_) * double(n_)) {
    const std::int32_t r = std::int32_t(std::sqrt(double(rule_.maybe))) + 1;
    std::vector<LatticePoint> reach;
    for (std::int32_t x = -r; x <= r && reach.size() <= n_ / 2; ++x)
      for (std::int32_t y = -r; y <= r; ++y)
        for (std::int32_t z = -r; z <= r; ++z) {
          if (x * x + y * y + z * z > rule_.maybe || (x == 0 && y == 0 && z == 0)) continue;
          const bool same_parity = (x & 1) == (y & 1) && (y & 1) == (z & 1);
          if (lattice == LatticeKind::fcc && ((x + y + z) & 1) != 0) continue;
          if ((lattice == LatticeKind::bcc || lattice == LatticeKind::tetrahedral) && !same_parity) continue;
          reach.push_back({x, y, z});
        }
    if (2 * reach.size() < n_) reach_ = std::move(reach);
  }
}

void ContactField::add_point(double& sum, std::span<const LatticePoint> walk, std::size_t lo, std::size_t hi,
                             std::size_t i, LatticePoint p, const SiteTable* sites) const {
  if (!live_[i]) return;
  if (sites != nullptr && !reach_.empty()) {
    for (const LatticePoint d : reach_) {
      const std::uint32_t at = sites->at(p + d);
      if (at == SiteTable::kEmpty || (at >= lo && at < hi) || !live_[at]) continue;
      const std::size_t j = at;
      if ((j > i ? j - i : i - j) < sep_ || !contact(p, walk[j])) continue;
      sum += j > i ? energies_[row_[i] + (j - i - kmin_)] : energies_[row_[j] + (i - j - kmin_)];
    }
    return;
  }
  // Left of the window, then right; j at least kmin away from i.
  const std::size_t n = walk.size();
  const std::size_t left_end = i >= sep_ ? std::min(lo, i - sep_ + 1) : 0;
  for (std::size_t j = 0; j < left_end; ++j)
    if (contact(p, walk[j])) sum += energies_[row_[j] + (i - j - kmin_)];
  for (std::size_t j = std::max(hi, i + sep_); j < n; ++j)
    if (contact(p, walk[j])) sum += energies_[row_[i] + (j - i - kmin_)];
}

double ContactField::cross(std::span<const LatticePoint> walk, std::size_t lo, std::size_t hi,
                           const LatticePoint* moved, const SiteTable* sites) const {
  double sum = 0.0;
  for (std::size_t i = lo; i < hi; ++i) add_point(sum, walk, lo, hi, i, moved[i - lo], sites);
  return sum;
}

double ContactField::cross_point(std::span<const LatticePoint> walk, std::size_t lo, std::size_t hi, std::size_t i,
                                 LatticePoint p, const SiteTable* sites) const {
  double sum = 0.0;
  add_point(sum, walk, lo, hi, i, p, sites);
  return sum;
}

double ContactField::internal(std::size_t lo, std::size_t hi, const LatticePoint* moved, bool band_only) const {
  double sum = 0.0;
  for (std::size_t i = lo; i < hi; ++i) {
    if (!live_[i]) continue;
    for (std::size_t j = i + sep_; j < hi; ++j) {
      const LatticePoint a = moved[i - lo], b = moved[j - lo];
      if (band_only && !rigid_pair_may_change(a, b)) continue;
      if (contact(a, b)) sum += energies_[row_[i] + (j - i - kmin_)];
    }
  }
  return sum;
}

}  // namespace tarvex
