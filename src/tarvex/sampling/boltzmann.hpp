// A Markov chain on self-avoiding walks whose stationary law is exp(-cost / T).
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <unordered_map>
#include <utility>
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

// The self-avoiding paths of w = 1 .. kWindowPoints points from an even
// lattice point at the origin (not included): all of them, for a window at an
// end of the chain, and by the offset of the point one step past them, for a
// window between two fixed points. Built once per lattice.
template <LatticeKind K>
struct WindowPaths {
  std::array<std::vector<LatticePoint>, kWindowPoints> open;

  const std::vector<LatticePoint>* closed(std::size_t w, LatticePoint end) const {
    const auto& map = closed_[w - 1];
    const auto it = map.find(key(end));
    return it == map.end() ? nullptr : &it->second;
  }

  WindowPaths() {
    std::array<LatticePoint, kWindowPoints + 1> path{};
    const auto grow = [&](auto& self, std::size_t depth) -> void {
      const LatticePoint from = depth == 0 ? kOrigin : path[depth - 1];
      for (std::size_t i = 0; i < coordination(K); ++i) {
        const LatticePoint p = neighbour<K>(from, i);
        if (p == kOrigin ||
            std::find(path.begin(), path.begin() + std::ptrdiff_t(depth), p) != path.begin() + std::ptrdiff_t(depth))
          continue;
        path[depth] = p;
        const std::size_t w = depth;  // points before p
        if (w >= 1) {
          auto& list = closed_[w - 1][key(p)];
          list.insert(list.end(), path.begin(), path.begin() + std::ptrdiff_t(w));
        }
        if (depth < kWindowPoints) {
          open[depth].insert(open[depth].end(), path.begin(), path.begin() + std::ptrdiff_t(depth + 1));
          self(self, depth + 1);
        }
      }
    };
    grow(grow, 0);
  }

 private:
  static std::uint64_t key(LatticePoint p) {
    return (std::uint64_t(std::uint32_t(p.x)) << 42) ^ (std::uint64_t(std::uint32_t(p.y) & 0x1FFFFFu) << 21) ^
           (std::uint64_t(std::uint32_t(p.z)) & 0x1FFFFFu);
  }
  std::array<std::unordered_map<std::uint64_t, std::vector<LatticePoint>>, kWindowPoints> closed_;
};

template <LatticeKind K>
const WindowPaths<K>& window_paths() {
  static const WindowPaths<K> paths;
  return paths;
}

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
    if (pulls_ && (r & 6) != 0) return pull((r & 8) != 0);
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

  // A pivot at point s turns the points after it about it, or, for a table,
  // the points before it, whichever side is shorter (a side chosen by s
  // alone and its own inverse in law; both sides at the middle point, by a
  // coin, so that every bond still turns). Both give the same shape.
  bool pivot() {
    const auto site = std::size_t(rng_->uniform(0, n_ - 1));
    const SignedPermutation g = kCodes[std::size_t(rng_->uniform(0, kCodes.size()))];
    bool tail = true;
    if (field_) {
      const std::size_t middle = (n_ - 1) / 2;
      tail = site > middle || (site == middle && (rng_->next() & 1) != 0);
    }
    const std::size_t lo = tail ? site + 1 : 0, hi = tail ? n_ : site;
    const LatticePoint o = walk_[site];
    moved_.clear();
    for (std::size_t k = lo; k < hi; ++k) {
      const LatticePoint p = o + act(g, walk_[k] - o);
      const std::uint32_t at = sites_.at(p);
      if (at != SiteTable::kEmpty && (at < lo || at >= hi)) return false;
      moved_.push_back(p);
    }
    double to;
    if (field_) {
      double before = field_->cross(walk_, lo, hi, walk_.data() + lo, &sites_);
      double after = field_->cross(walk_, lo, hi, moved_.data(), &sites_);
      if (!field_->rigid_moves_keep_contacts()) {
        before += field_->internal(lo, hi, walk_.data() + lo, true);
        after += field_->internal(lo, hi, moved_.data(), true);
      }
      to = energy_ + (after - before);
    } else {
      proposal_.assign(walk_.begin(), walk_.begin() + std::ptrdiff_t(lo));
      proposal_.insert(proposal_.end(), moved_.begin(), moved_.end());
      to = checked((*whole_)(proposal_));
    }
    if (!metropolis(energy_, to)) return false;
    place(lo, hi, moved_.data());
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
    const double before =
        field_->cross(walk_, lo, hi, walk_.data() + lo, &sites_) + field_->internal(lo, hi, walk_.data() + lo, false);
    const double after =
        field_->cross(walk_, lo, hi, moved_.data(), &sites_) + field_->internal(lo, hi, moved_.data(), false);
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
  // into candidates_ (w points each, in index order): the window paths of
  // the anchor's end offset (or all of them at the chain's ends) that miss
  // the rest of the walk.
  void enumerate(std::size_t lo, std::size_t hi) {
    const std::size_t w = hi - lo;
    candidates_.clear();
    const bool forward = lo > 0;
    const LatticePoint anchor = forward ? walk_[lo - 1] : walk_[hi];
    // Paths from an even point; the odd diamond sublattice steps along the negated vectors.
    const bool negate = K == LatticeKind::tetrahedral && is_odd(anchor);
    const WindowPaths<K>& table = window_paths<K>();
    const std::vector<LatticePoint>* paths;
    if (forward && hi < n_) {
      const LatticePoint d = negate ? anchor - walk_[hi] : walk_[hi] - anchor;
      paths = table.closed(w, d);
      if (paths == nullptr) return;
    } else {
      paths = &table.open[w - 1];
    }
    const std::size_t count = paths->size() / w;
    for (std::size_t c = 0; c < count; ++c) {
      const LatticePoint* offsets = paths->data() + c * w;
      std::size_t k = 0;
      for (; k < w; ++k) {
        const LatticePoint p = negate ? anchor - offsets[k] : anchor + offsets[k];
        const std::uint32_t at = sites_.at(p);
        if (at != SiteTable::kEmpty && (at < lo || at >= hi)) break;
        slot_[k] = p;
      }
      if (k < w) continue;
      if (forward) {
        candidates_.insert(candidates_.end(), slot_.begin(), slot_.begin() + std::ptrdiff_t(w));
      } else {
        for (std::size_t k = w; k-- > 0;) candidates_.push_back(slot_[k]);
      }
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
      // The placements share most of their sites: each point's part of the
      // energy is looked up once per site it takes.
      for (std::size_t q = 0; q < w; ++q) seen_[q].clear();
      for (std::size_t k = 0; k < count; ++k) {
        const LatticePoint* c = candidates_.data() + k * w;
        double e = 0.0;
        for (std::size_t q = 0; q < w; ++q) {
          auto& seen = seen_[q];
          auto it = std::find_if(seen.begin(), seen.end(), [&](const auto& s) { return s.first == c[q]; });
          if (it == seen.end()) {
            seen.emplace_back(c[q], field_->cross_point(walk_, lo, hi, lo + q, c[q], &sites_));
            it = seen.end() - 1;
          }
          e += it->second;
        }
        energies_[k] = e + field_->internal(lo, hi, c, false);
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
  std::array<LatticePoint, kWindowPoints> slot_{};
  std::array<std::vector<std::pair<LatticePoint, double>>, kWindowPoints> seen_;
  std::vector<double> energies_, weights_;
};

// The mean magnitude of a table's nonzero pair energies (1 when none): the
// scale of a temperature for that table.
inline double contact_scale(std::span<const double> pair_energies) {
  double sum = 0.0;
  std::size_t count = 0;
  for (const double e : pair_energies) {
    if (e != 0.0) {
      sum += std::abs(e);
      ++count;
    }
  }
  return count == 0 ? 1.0 : sum / double(count);
}

// Replica exchange for sampling at a temperature T: copies of the chain at
// T = t_0 < t_1 < ... (a ratio of at most kLadderRatio, up to kLadderTop times
// the table's scale, where the chain unfolds and mixes fast), each step one
// move of every copy, and every `every` steps an exchange between
// neighbouring temperatures (even pairs and odd pairs by turns) accepted by
// Metropolis on the joint law. Each part leaves the product of the Boltzmann
// laws unchanged, so the walk held at t_0 follows exp(-cost / T) exactly,
// while the hot copies carry it between basins that its own moves would
// hardly leave. At T >= the top, the one chain alone.
template <LatticeKind K>
class BoltzmannLadder {
 public:
  static constexpr double kLadderTop = 1.6, kLadderRatio = 1.5;
  static constexpr std::size_t kMaxCopies = 16;

  BoltzmannLadder(std::size_t n, double temperature, double unit, const ContactField& field, Rng& rng)
      : rng_(&rng), every_(std::max<std::size_t>(n, 1)) {
    const double top = kLadderTop * unit;
    std::size_t copies = 1;
    if (temperature < top)
      copies = std::min(kMaxCopies,
                        std::size_t(1) + std::size_t(std::ceil(std::log(top / temperature) / std::log(kLadderRatio))));
    for (std::size_t i = 0; i < copies; ++i) {
      ladder_.push_back(copies == 1 ? temperature
                                    : temperature * std::pow(top / temperature, double(i) / double(copies - 1)));
      chains_.push_back(std::make_unique<BoltzmannChain<K>>(n, ladder_.back(), &field, nullptr, rng));
      at_.push_back(i);
    }
  }

  std::size_t copies() const { return chains_.size(); }
  const BoltzmannChain<K>& cold() const { return *chains_[at_[0]]; }

  // One step; true when the walk at T changed.
  bool step() {
    bool changed = chains_[at_[0]]->step();
    for (std::size_t t = 1; t < at_.size(); ++t) chains_[at_[t]]->step();
    if (at_.size() > 1 && ++count_ % every_ == 0) {
      for (std::size_t t = (count_ / every_) % 2; t + 1 < at_.size(); t += 2) {
        BoltzmannChain<K>& a = *chains_[at_[t]];
        BoltzmannChain<K>& b = *chains_[at_[t + 1]];
        const double delta = (1.0 / ladder_[t] - 1.0 / ladder_[t + 1]) * (a.energy() - b.energy());
        if (delta >= 0.0 || double(rng_->next() >> 11) * 0x1p-53 < std::exp(delta)) {
          std::swap(at_[t], at_[t + 1]);
          a.set_temperature(ladder_[t + 1]);
          b.set_temperature(ladder_[t]);
          if (t == 0) changed = true;
        }
      }
    }
    return changed;
  }

 private:
  Rng* rng_;
  std::size_t every_;
  std::uint64_t count_ = 0;
  std::vector<double> ladder_;
  std::vector<std::unique_ptr<BoltzmannChain<K>>> chains_;
  std::vector<std::size_t> at_;  // at_[t]: the copy at temperature t
};

}  // namespace tarvex
