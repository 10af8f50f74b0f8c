// A Markov chain on self-avoiding walks whose stationary law is exp(-cost / T).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "tarvex/cost/contact_delta.hpp"
#include "tarvex/cost/cost.hpp"
#include "tarvex/fail.hpp"
#include "tarvex/poll.hpp"
#include "tarvex/walks/lattice.hpp"
#include "tarvex/walks/random.hpp"
#include "tarvex/walks/signed_permutation.hpp"
#include "tarvex/walks/site_table.hpp"
#include "tarvex/walks/straight_walk.hpp"

namespace tarvex {

// The cost of a whole walk for the costs without a per-point change (Lua,
// Python): the walk is given as the chain holds it, anywhere on the lattice.
class WalkEnergy {
 public:
  virtual ~WalkEnergy() = default;
  virtual double operator()(std::span<const LatticePoint> walk) = 0;
};

// A cost of whole walks, evaluated on the walk moved to start at the origin,
// as every delivered sample is.
class CostOfWalk : public WalkEnergy {
 public:
  CostOfWalk(Cost& cost, double scale) : cost_(&cost), scale_(scale) {}
  double operator()(std::span<const LatticePoint> walk) override {
    conformation_.resize(walk.size());
    const LatticePoint o = walk.empty() ? kOrigin : walk[0];
    for (std::size_t i = 0; i < walk.size(); ++i) {
      const LatticePoint p = walk[i] - o;
      conformation_[i] = Point{double(p.x) * scale_, double(p.y) * scale_, double(p.z) * scale_};
    }
    return cost_->score_one(conformation_);
  }

 private:
  Cost* cost_;
  double scale_;
  Conformation conformation_;
};

// The longest window the local move regrows: between its fixed neighbours, or
// at an end of the chain.
inline constexpr std::size_t kWindowPoints = 3;

// Two kinds of move, each chosen with probability 1/2 independently of the walk:
//  - a pivot: a random site and lattice symmetry applied to the points after
//    it, accepted by Metropolis (the proposal is its own inverse in law, as the
//    symmetries form a group drawn uniformly);
//  - a window: w = 1 .. kWindowPoints consecutive points at a random place are
//    replaced by a placement among all that fit between their fixed
//    neighbours (one end free at the chain's ends). The placements are the
//    same set from every walk that differs only there, so a heat-bath choice
//    among them (contact tables, whose every placement's energy is cheap) or a
//    uniform proposal with Metropolis acceptance (whole-walk costs) keeps
//    detailed balance exactly, on every lattice.
// Pivots move the chain far; windows let it settle into compact states, where
// almost every pivot collides. Energies: +inf is a walk of weight 0, never
// entered unless the chain is in one; -inf is never left; NaN is refused.
template <LatticeKind K>
class BoltzmannChain {
 public:
  // Starts from the straight walk. Exactly one of field and whole is set.
  BoltzmannChain(std::size_t n, double temperature, const ContactField* field, WalkEnergy* whole, Rng& rng)
      : n_(n), field_(field), whole_(whole), rng_(&rng), walk_(straight_walk(Lattice(K), n)) {
    if ((field == nullptr) == (whole == nullptr)) fail("assertion failed: one energy for the chain");
    set_temperature(temperature);
    sites_.reset(n);
    for (std::size_t i = 0; i < n; ++i) sites_.put(walk_[i], std::uint32_t(i));
    moved_.reserve(n);
    proposal_.reserve(whole ? n : 0);
    energy_ = full_energy();
  }

  void set_temperature(double t) { beta_ = 1.0 / t; }
  double temperature() const { return 1.0 / beta_; }
  double energy() const { return energy_; }
  const LatticeWalk& walk() const { return walk_; }

  // The energy recomputed over the whole walk, which the running sum of
  // changes then restarts from (contact tables; whole costs are never summed).
  void resync(double exact) { energy_ = exact; }

  // One move attempt; true when the walk changed.
  bool step() {
    if (n_ < 2) return false;
    const std::uint64_t r = rng_->next();
    if (pulls_ && (r & 2) != 0) return pull((r & 4) != 0);
    if (n_ < 3 || (r & 1) == 0) return pivot();
    return window();
  }

  // Adds pull moves (half of all attempts), which settle compact folds
  // quickly but are not reversible as drawn: for searches only, never where
  // the law of the walks matters. The diamond lattice has no square to pull
  // around, so there they are never drawn.
  void allow_pulls() { pulls_ = field_ != nullptr && K != LatticeKind::tetrahedral; }

 private:
  static constexpr auto kCodes = signed_permutations(group_of<K>());

  double full_energy() {
    if (whole_) return checked((*whole_)(walk_));
    return field_->cross(walk_, 0, 0, nullptr) + field_->internal(0, n_, walk_.data(), false);
  }

  static double checked(double e) {
    if (std::isnan(e)) fail("the cost of a walk is NaN: sampling at a temperature needs a number for every walk");
    return e;
  }

  // Metropolis on the energies of the walk and of the proposal.
  bool metropolis(double from, double to) {
    if (to <= from) return true;
    if (from == std::numeric_limits<double>::infinity()) return true;
    const double p = std::exp(-(to - from) * beta_);
    return uniform01() < p;
  }

  double uniform01() { return double(rng_->next() >> 11) * 0x1p-53; }

  bool pivot() {
    const auto site = std::size_t(rng_->uniform(0, n_ - 1));
    const SignedPermutation g = kCodes[std::size_t(rng_->uniform(0, kCodes.size()))];
    const LatticePoint o = walk_[site];
    moved_.clear();
    for (std::size_t k = site + 1; k < n_; ++k) {
      const LatticePoint p = o + act(g, walk_[k] - o);
      const std::uint32_t at = sites_.at(p);
      if (at != SiteTable::kEmpty && at <= site) return false;
      moved_.push_back(p);
    }
    const std::size_t lo = site + 1;
    double to;
    if (field_) {
      const bool band = true;
      const double before = field_->cross(walk_, lo, n_, walk_.data() + lo, &sites_) + field_->internal(lo, n_, walk_.data() + lo, band);
      const double after = field_->cross(walk_, lo, n_, moved_.data(), &sites_) + field_->internal(lo, n_, moved_.data(), band);
      to = energy_ + (after - before);
    } else {
      proposal_.assign(walk_.begin(), walk_.begin() + std::ptrdiff_t(lo));
      proposal_.insert(proposal_.end(), moved_.begin(), moved_.end());
      to = checked((*whole_)(proposal_));
    }
    if (!metropolis(energy_, to)) return false;
    place(lo, n_, moved_.data());
    energy_ = to;
    return true;
  }

  // A pull: point i goes to a free site L beside its neighbour i + d (fixed),
  // i - d to a site C beside both L and i's old site unless it already
  // touches L, and the points beyond follow two places along the chain's old
  // track until one already touches its new neighbour.
  bool pull(bool up) {
    const std::size_t i = std::size_t(rng_->uniform(0, n_));
    const std::ptrdiff_t d = up ? 1 : -1;
    const std::ptrdiff_t a = std::ptrdiff_t(i) + d;
    if (a < 0 || a >= std::ptrdiff_t(n_)) return false;
    const LatticePoint l = neighbour<K>(walk_[std::size_t(a)], std::size_t(rng_->uniform(0, coordination(K))));
    if (sites_.at(l) != SiteTable::kEmpty) return false;
    const auto in = [&](std::ptrdiff_t j) { return j >= 0 && j < std::ptrdiff_t(n_); };
    path_.clear();
    path_.push_back(l);  // new sites of i, i - d, i - 2d, ...
    std::ptrdiff_t j = std::ptrdiff_t(i) - d;
    if (in(j) && !adjacent(walk_[std::size_t(j)], l)) {
      // C: a free site beside L and beside i's old site, drawn among them.
      LatticePoint options[12];
      std::size_t count = 0;
      for (std::size_t k = 0; k < coordination(K); ++k) {
        const LatticePoint c = neighbour<K>(l, k);
        if (c != walk_[std::size_t(a)] && adjacent(c, walk_[i]) && sites_.at(c) == SiteTable::kEmpty)
          options[count++] = c;
      }
      if (count == 0) return false;
      path_.push_back(options[rng_->uniform(0, count)]);
      for (j -= d; in(j); j -= d) {
        if (adjacent(walk_[std::size_t(j)], path_.back())) break;
        path_.push_back(walk_[std::size_t(j + 2 * d)]);
      }
    }
    const std::size_t m = path_.size();
    const std::size_t lo = up ? i + 1 - m : i, hi = lo + m;
    moved_.resize(m);
    for (std::size_t k = 0; k < m; ++k) moved_[up ? m - 1 - k : k] = path_[k];
    const double before = field_->cross(walk_, lo, hi, walk_.data() + lo, &sites_) + field_->internal(lo, hi, walk_.data() + lo, false);
    const double after = field_->cross(walk_, lo, hi, moved_.data(), &sites_) + field_->internal(lo, hi, moved_.data(), false);
    const double to = energy_ + (after - before);
    if (!metropolis(energy_, to)) return false;
    place(lo, hi, moved_.data());
    energy_ = to;
    return true;
  }

  // Puts points lo .. hi - 1 at `points`, keeping the site table.
  void place(std::size_t lo, std::size_t hi, const LatticePoint* points) {
    for (std::size_t k = lo; k < hi; ++k) sites_.erase(walk_[k]);
    for (std::size_t k = lo; k < hi; ++k) {
      walk_[k] = points[k - lo];
      sites_.put(walk_[k], std::uint32_t(k));
    }
  }

  static bool adjacent(LatticePoint a, LatticePoint b) {
    for (std::size_t i = 0; i < coordination(K); ++i)
      if (neighbour<K>(a, i) == b) return true;
    return false;
  }

  // Every placement of points lo .. hi - 1 that keeps the walk self-avoiding,
  // into candidates_ (w points each, in index order), by depth-first search
  // from the fixed neighbour (the right one when the window starts the chain).
  void enumerate(std::size_t lo, std::size_t hi) {
    const std::size_t w = hi - lo;
    candidates_.clear();
    const bool forward = lo > 0;
    const LatticePoint anchor = forward ? walk_[lo - 1] : walk_[hi];
    const bool closed = forward && hi < n_;  // the last point must touch walk_[hi]
    const auto free = [&](LatticePoint p, std::size_t depth) {
      const std::uint32_t at = sites_.at(p);
      if (at != SiteTable::kEmpty && (at < lo || at >= hi)) return false;
      for (std::size_t d = 0; d < depth; ++d)
        if (path_[d] == p) return false;
      return true;
    };
    path_.resize(w);
    choice_.assign(w, 0);
    std::size_t depth = 0;
    LatticePoint from = anchor;
    for (;;) {
      if (choice_[depth] == coordination(K)) {
        if (depth == 0) break;
        choice_[depth] = 0;
        --depth;
        ++choice_[depth];
        continue;
      }
      from = depth == 0 ? anchor : path_[depth - 1];
      const LatticePoint p = neighbour<K>(from, choice_[depth]);
      if (!free(p, depth) || (closed && depth + 1 == w && !adjacent(p, walk_[hi]))) {
        ++choice_[depth];
        continue;
      }
      path_[depth] = p;
      if (depth + 1 == w) {
        if (forward) {
          candidates_.insert(candidates_.end(), path_.begin(), path_.end());
        } else {
          candidates_.insert(candidates_.end(), path_.rbegin(), path_.rend());
        }
        ++choice_[depth];
        continue;
      }
      ++depth;
    }
  }

  bool window() {
    const std::size_t w = std::size_t(rng_->uniform(1, std::min(kWindowPoints, n_ - 1) + 1));
    const std::size_t lo = std::size_t(rng_->uniform(0, n_ - w + 1)), hi = lo + w;
    enumerate(lo, hi);
    const std::size_t count = candidates_.size() / w;
    if (count == 0) fail("assertion failed: the walk's own window is among its placements");
    const LatticePoint* current = walk_.data() + lo;
    const auto same = [&](std::size_t k) { return std::equal(current, current + w, candidates_.data() + k * w); };
    if (field_) {
      // Heat bath: each placement by its Boltzmann weight given the rest.
      energies_.resize(count);
      double low = std::numeric_limits<double>::infinity();
      std::size_t mine = count;
      for (std::size_t k = 0; k < count; ++k) {
        const LatticePoint* c = candidates_.data() + k * w;
        energies_[k] = field_->cross(walk_, lo, hi, c, &sites_) + field_->internal(lo, hi, c, false);
        low = std::min(low, energies_[k]);
        if (mine == count && same(k)) mine = k;
      }
      if (mine == count) fail("assertion failed: the walk's own window is among its placements");
      weights_.resize(count);
      double total = 0.0;
      for (std::size_t k = 0; k < count; ++k) total += (weights_[k] = std::exp(-(energies_[k] - low) * beta_));
      double u = uniform01() * total;
      // Rounding can leave u past the last weight: the last placement of any weight then.
      std::size_t pick = count - 1;
      while (weights_[pick] == 0.0) --pick;
      for (std::size_t k = 0; k < count; ++k) {
        if (u < weights_[k]) {
          pick = k;
          break;
        }
        u -= weights_[k];
      }
      if (pick == mine) return false;
      const LatticePoint* c = candidates_.data() + pick * w;
      moved_.assign(c, c + w);
      place(lo, hi, moved_.data());
      energy_ += energies_[pick] - energies_[mine];
      return true;
    }
    const std::size_t pick = std::size_t(rng_->uniform(0, count));
    if (same(pick)) return false;
    const LatticePoint* c = candidates_.data() + pick * w;
    proposal_.assign(walk_.begin(), walk_.end());
    std::copy(c, c + w, proposal_.begin() + std::ptrdiff_t(lo));
    const double to = checked((*whole_)(proposal_));
    if (!metropolis(energy_, to)) return false;
    moved_.assign(c, c + w);
    place(lo, hi, moved_.data());
    energy_ = to;
    return true;
  }

  std::size_t n_;
  const ContactField* field_;
  WalkEnergy* whole_;
  Rng* rng_;
  double beta_ = 1.0;
  bool pulls_ = false;
  double energy_ = 0.0;
  LatticeWalk walk_;
  SiteTable sites_;
  LatticeWalk moved_, proposal_, candidates_, path_;
  std::vector<std::uint8_t> choice_;
  std::vector<double> energies_, weights_;
};

}  // namespace tarvex
