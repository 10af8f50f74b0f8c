// Walks grown point by point and ranked by the RMSD of their prefixes: running sums, QCP roots, beam, branch and bound.
#include "tarvex/search/prefix.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>

#include "tarvex/search/prefix_kernel.hpp"
#include "tarvex/thread_pool.hpp"
#include "tarvex/walks/lattice.hpp"

namespace tarvex::search {

PrefixSums PrefixSums::extended(LatticePoint w, const Point& t) const {
  PrefixSums s = *this;
  s.sx += w.x, s.sy += w.y, s.sz += w.z;
  s.sq += std::int64_t(w.x) * w.x + std::int64_t(w.y) * w.y + std::int64_t(w.z) * w.z;
  const double a[3] = {double(w.x), double(w.y), double(w.z)}, b[3] = {t.x, t.y, t.z};
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) s.h[r][c] += a[r] * b[c];
  return s;
}

PrefixTarget::PrefixTarget(const Target& target) : points(target.points) {
  sum.assign(points.size() + 1, Point{0, 0, 0});
  norm.assign(points.size() + 1, 0);
  for (std::size_t i = 0; i < points.size(); ++i) {
    const Point& p = points[i];
    sum[i + 1] = {sum[i].x + p.x, sum[i].y + p.y, sum[i].z + p.z};
    norm[i + 1] = norm[i] + (p.x * p.x + p.y * p.y) + p.z * p.z;
  }
}

void PrefixResiduals::add(const PrefixSums& s, const PrefixTarget& t, std::size_t m) {
  const double k = double(m);
  const double w[3] = {double(s.sx), double(s.sy), double(s.sz)};
  const Point& ts = t.sum[m];
  const double v[3] = {ts.x, ts.y, ts.z};
  Mat3 h;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) h[r][c] = s.h[r][c] - w[r] * v[c] / k;
  h_.push_back(h);
  // The walk's integer sums are exact, so its centred norm loses nothing.
  const double wn = double(s.sq) - (w[0] * w[0] + w[1] * w[1] + w[2] * w[2]) / k;
  ga_.push_back(std::max(wn, 0.0));
  gb_.push_back(std::max(t.norm[m] - (v[0] * v[0] + v[1] * v[1] + v[2] * v[2]) / k, 0.0));
}

std::span<const double> PrefixResiduals::compute() {
  static const detail::ResidualsFunction kernel =
      simd::choose<detail::ResidualsFunction>(&detail::residuals_portable, detail::residuals_avx2());
  const std::size_t count = h_.size();
  out_.resize(count);
  kernel(h_.data(), ga_.data(), gb_.data(), count, out_.data());
  for (std::size_t k = 0; k < count; ++k) {
    double& r = out_[k];
    // No trusted root: the best trace over proper rotations is
    // s0 + s1 + sign(det h) s2 of the singular values.
    if (!std::isfinite(r)) {
      const double g = ga_[k] + gb_[k];
      if (ga_[k] == 0 || gb_[k] == 0) {
        r = g;
      } else {
        const Svd3 svd = svd3(h_[k]);
        const double d = det3(h_[k]) < 0 ? -1.0 : 1.0;
        r = g - 2 * (svd.s[0] + svd.s[1] + d * svd.s[2]);
      }
    }
    r = std::max(r, 0.0);
  }
  h_.clear();
  ga_.clear();
  gb_.clear();
  return out_;
}

namespace {

template <LatticeKind K>
constexpr std::size_t kRotationCount = K == LatticeKind::tetrahedral ? 12 : 24;

constexpr LatticePoint apply(const Symmetry& s, LatticePoint p) {
  const auto& m = s.m;
  return {m[0] * p.x + m[1] * p.y + m[2] * p.z, m[3] * p.x + m[4] * p.y + m[5] * p.z,
          m[6] * p.x + m[7] * p.y + m[8] * p.z};
}

// kImage<K>[g][j]: the index of the step that proper rotation g makes of step j.
template <LatticeKind K>
inline constexpr auto kImage = [] {
  std::array<std::array<std::uint8_t, coordination(K)>, kRotationCount<K>> out{};
  for (std::size_t g = 0; g < kRotationCount<K>; ++g)
    for (std::size_t j = 0; j < coordination(K); ++j)
      for (std::size_t k = 0; k < coordination(K); ++k)
        if (apply(group_of<K>()[g], kSteps<K>[j]) == kSteps<K>[k]) out[g][j] = std::uint8_t(k);
  return out;
}();

using Stabiliser = std::uint32_t;  // bit g: rotation g fixes every point so far

template <LatticeKind K>
constexpr Stabiliser kAllRotations = Stabiliser((std::uint64_t{1} << kRotationCount<K>)-1);

// Orderly growth: of the steps a rotation fixing the prefix maps onto each
// other, only the lowest index is taken, so each walk is grown once up to
// the rotations (which change no RMSD). A step from an odd diamond point
// goes along the negated vector, which the rotations map the same way.
template <LatticeKind K>
bool canonical_step(Stabiliser stab, std::size_t j) {
  for (Stabiliser s = stab; s != 0; s &= s - 1)
    if (kImage<K>[std::size_t(std::countr_zero(s))][j] < j) return false;
  return true;
}

template <LatticeKind K>
Stabiliser fixing(Stabiliser stab, std::size_t j) {
  Stabiliser out = 0;
  for (Stabiliser s = stab; s != 0; s &= s - 1) {
    const int g = std::countr_zero(s);
    if (kImage<K>[std::size_t(g)][j] == j) out |= Stabiliser{1} << g;
  }
  return out;
}

struct Child {
  double residual;
  std::uint32_t parent;
  std::uint8_t step;
};

bool child_before(const Child& a, const Child& b) {
  return a.residual < b.residual ||
         (a.residual == b.residual && (a.parent < b.parent || (a.parent == b.parent && a.step < b.step)));
}

// The children of one prefix (all models' sums and the smallest residual).
template <LatticeKind K>
struct Grower {
  std::vector<PrefixTarget> targets;
  PrefixResiduals residuals;

  explicit Grower(std::span<const Target> ts) {
    for (const Target& t : ts) targets.emplace_back(t);
  }
  std::size_t models() const { return targets.size(); }
  std::size_t length() const { return targets[0].points.size(); }
};

}  // namespace

template <LatticeKind K>
std::optional<LatticeWalk> prefix_beam(std::span<const Target> ts, std::size_t width, Poll& poll,
                                       const std::function<void()>& on_length, BeamDiversity diversity) {
  const std::vector<PrefixTarget> targets(ts.begin(), ts.end());
  const std::size_t n = targets[0].points.size(), m = targets.size();
  width = std::max<std::size_t>(width, 1);
  // Rows of the beam: walk points, per-model sums and the stabiliser.
  std::vector<LatticePoint> walks(n), next_walks;
  std::vector<PrefixSums> sums(m), next_sums;
  std::vector<Stabiliser> stabs{kAllRotations<K>}, next_stabs;
  walks[0] = kOrigin;
  for (std::size_t t = 0; t < m; ++t) sums[t] = PrefixSums{}.extended(kOrigin, targets[t].points[0]);
  std::size_t rows = 1;
  // The rows are extended in parts, one task each; the parts' children,
  // concatenated in part order, are the same whoever computed them.
  struct Part {
    std::vector<Child> children;
    std::vector<PrefixSums> sums;
    PrefixResiduals residuals;
  };
  const std::size_t part_count = std::max<std::size_t>(1, 4 * thread_count());
  std::vector<Part> parts(part_count);
  // Every child of a length with its rank, flat for the selection.
  struct Ranked {
    Child child;
    std::uint32_t part, index;
  };
  std::vector<Ranked> order, picked, skipped;
  std::vector<std::uint64_t> table_keys;
  std::vector<std::size_t> table_counts;
  for (std::size_t len = 1; len < n; ++len) {
    const std::size_t per_part = (rows + part_count - 1) / part_count;
    const auto extend = [&](std::size_t k, Poll& task_poll) {
      Part& part = parts[k];
      part.children.clear();
      part.sums.clear();
      for (std::size_t r = k * per_part; r < std::min(rows, (k + 1) * per_part); ++r) {
        task_poll();
        const LatticePoint* walk = walks.data() + r * n;
        for (std::size_t j = 0; j < coordination(K); ++j) {
          if (!canonical_step<K>(stabs[r], j)) continue;
          const LatticePoint p = neighbour<K>(walk[len - 1], j);
          if (!is_new_at<K>(walk, len, p)) continue;
          part.children.push_back({0, std::uint32_t(r), std::uint8_t(j)});
          for (std::size_t t = 0; t < m; ++t) {
            part.sums.push_back(sums[r * m + t].extended(p, targets[t].points[len]));
            part.residuals.add(part.sums.back(), targets[t], len + 1);
          }
        }
      }
      const std::span<const double> res = part.residuals.compute();
      for (std::size_t c = 0; c < part.children.size(); ++c)
        part.children[c].residual =
            *std::min_element(res.begin() + std::ptrdiff_t(c * m), res.begin() + std::ptrdiff_t((c + 1) * m));
    };
    if (rows * m < 64 || worker_count() == 0) {
      for (std::size_t k = 0; k < part_count; ++k) extend(k, poll);
    } else {
      TaskGroup group(worker_count(), poll);
      for (std::size_t k = 0; k < part_count; ++k) group.submit([&, k](Poll& task_poll) { extend(k, task_poll); });
      group.wait();
    }
    order.clear();
    for (std::size_t k = 0; k < part_count; ++k)
      for (std::size_t c = 0; c < parts[k].children.size(); ++c)
        order.push_back({parts[k].children[c], std::uint32_t(k), std::uint32_t(c)});
    if (order.empty()) return std::nullopt;
    const auto before = [](const Ranked& a, const Ranked& b) { return child_before(a.child, b.child); };
    // The first `last` in order (child_before is a total order: the same
    // selection as a full sort).
    const auto select = [&](std::size_t first, std::size_t last) {
      if (last < order.size())
        std::nth_element(order.begin() + std::ptrdiff_t(first), order.begin() + std::ptrdiff_t(last), order.end(),
                         before);
      std::sort(order.begin() + std::ptrdiff_t(first), order.begin() + std::ptrdiff_t(last), before);
    };
    const std::size_t keep = std::min(width, order.size());
    if (diversity.tail == 0) {
      select(0, keep);
    } else {
      // In order of residual, at most per_tail children whose last `tail`
      // points coincide: variants that differ only further back share their
      // future and would crowd the beam. Short of width, the skipped ones
      // fill it in the same order.
      const auto tail_key = [&](const Child& c) {
        const LatticePoint* from = walks.data() + std::size_t(c.parent) * n;
        const LatticePoint tip = neighbour<K>(from[len - 1], c.step);
        std::uint64_t h = 0x9e3779b97f4a7c15ULL;
        const auto mix = [&h](LatticePoint p) {
          for (std::int32_t v : {p.x, p.y, p.z}) {
            h ^= std::uint64_t(std::uint32_t(v)) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
            h *= 0xff51afd7ed558ccdULL;
          }
        };
        mix(tip);
        for (std::size_t i = len; i-- > 0 && len - i < diversity.tail;) mix(from[i]);
        return h | 1;
      };
      std::size_t slots = 16;
      while (slots < 2 * order.size()) slots *= 2;
      table_keys.assign(slots, 0);
      table_counts.assign(slots, 0);
      picked.clear();
      skipped.clear();
      std::size_t sorted = std::min(order.size(), 2 * keep);
      select(0, sorted);
      for (std::size_t i = 0; i < order.size() && picked.size() < keep; ++i) {
        if (i == sorted) {
          sorted = std::min(order.size(), 2 * sorted);
          select(i, sorted);
        }
        const std::uint64_t key = tail_key(order[i].child);
        std::size_t slot = std::size_t(key) & (slots - 1);
        while (table_keys[slot] != 0 && table_keys[slot] != key) slot = (slot + 1) & (slots - 1);
        table_keys[slot] = key;
        if (table_counts[slot] < diversity.per_tail) {
          ++table_counts[slot];
          picked.push_back(order[i]);
        } else {
          skipped.push_back(order[i]);
        }
      }
      for (std::size_t i = 0; i < skipped.size() && picked.size() < keep; ++i) picked.push_back(skipped[i]);
      std::copy(picked.begin(), picked.end(), order.begin());
    }
    next_walks.resize(keep * n);
    next_sums.resize(keep * m);
    next_stabs.resize(keep);
    for (std::size_t k = 0; k < keep; ++k) {
      const Child& c = order[k].child;
      const LatticePoint* from = walks.data() + std::size_t(c.parent) * n;
      LatticePoint* to = next_walks.data() + k * n;
      std::copy_n(from, len, to);
      to[len] = neighbour<K>(from[len - 1], c.step);
      std::copy_n(parts[order[k].part].sums.data() + std::size_t(order[k].index) * m, m, next_sums.data() + k * m);
      next_stabs[k] = fixing<K>(stabs[c.parent], c.step);
    }
    std::swap(walks, next_walks);
    std::swap(sums, next_sums);
    std::swap(stabs, next_stabs);
    rows = keep;
    if (on_length) on_length();
  }
  return LatticeWalk(walks.begin(), walks.begin() + std::ptrdiff_t(n));
}

namespace {

template <LatticeKind K>
class BranchAndBound {
 public:
  BranchAndBound(std::span<const Target> ts, double bound, std::uint64_t budget, Poll& poll)
      : grow_(ts), n_(grow_.length()), m_(grow_.models()), best_(bound), budget_(budget), poll_(poll) {
    walk_.resize(n_);
    sums_.resize(n_ * m_);
    child_sums_.resize(n_ * 12 * m_);
  }

  ExactResult run() {
    walk_[0] = kOrigin;
    for (std::size_t t = 0; t < m_; ++t) sums_[t] = PrefixSums{}.extended(kOrigin, grow_.targets[t].points[0]);
    const bool finished = descend(1, kAllRotations<K>);
    return {std::move(found_), finished};
  }

 private:
  // Grows the prefix of `len` points; false once the budget is spent.
  bool descend(std::size_t len, Stabiliser stab) {
    poll_();
    std::array<Child, 12> children;
    std::size_t count = 0;
    PrefixSums* level = child_sums_.data() + len * 12 * m_;
    for (std::size_t j = 0; j < coordination(K); ++j) {
      if (!canonical_step<K>(stab, j)) continue;
      const LatticePoint p = neighbour<K>(walk_[len - 1], j);
      if (!is_new_at<K>(walk_.data(), len, p)) continue;
      for (std::size_t t = 0; t < m_; ++t) {
        level[count * m_ + t] = sums_[(len - 1) * m_ + t].extended(p, grow_.targets[t].points[len]);
        grow_.residuals.add(level[count * m_ + t], grow_.targets[t], len + 1);
      }
      children[count++] = {0, 0, std::uint8_t(j)};
    }
    if (count == 0) return true;
    if ((visited_ += count) > budget_) return false;
    const std::span<const double> res = grow_.residuals.compute();
    for (std::size_t c = 0; c < count; ++c) {
      children[c].residual =
          *std::min_element(res.begin() + std::ptrdiff_t(c * m_), res.begin() + std::ptrdiff_t((c + 1) * m_));
      children[c].parent = std::uint32_t(c);
    }
    std::sort(children.begin(), children.begin() + std::ptrdiff_t(count), child_before);
    for (std::size_t c = 0; c < count; ++c) {
      const Child& child = children[c];
      // A prefix's residual only grows with the walk; rounding (up to 1e-8 of
      // it, see kTrust) could put the optimum's above its true value, so the
      // cut leaves a margin.
      if (!(child.residual < best_ * (1 + 1e-7) + 1e-9)) break;
      walk_[len] = neighbour<K>(walk_[len - 1], child.step);
      if (len + 1 == n_) {
        if (child.residual < best_) {
          best_ = child.residual;
          found_.emplace(walk_);
        }
        continue;
      }
      std::copy_n(level + std::size_t(child.parent) * m_, m_, sums_.data() + len * m_);
      if (!descend(len + 1, fixing<K>(stab, child.step))) return false;
    }
    return true;
  }

  Grower<K> grow_;
  std::size_t n_, m_;
  double best_;
  std::uint64_t budget_, visited_ = 0;
  Poll& poll_;
  LatticeWalk walk_;
  std::vector<PrefixSums> sums_, child_sums_;
  std::optional<LatticeWalk> found_;
};

}  // namespace

template <LatticeKind K>
ExactResult exact_fit(std::span<const Target> targets, double bound, std::uint64_t budget, Poll& poll) {
  if (targets.empty() || targets[0].points.size() < 2) return {std::nullopt, true};
  return BranchAndBound<K>(targets, bound, budget, poll).run();
}

#define TARVEX_INSTANTIATE(K)                                                                      \
  template std::optional<LatticeWalk> prefix_beam<K>(std::span<const Target>, std::size_t, Poll&,  \
                                                     const std::function<void()>&, BeamDiversity); \
  template ExactResult exact_fit<K>(std::span<const Target>, double, std::uint64_t, Poll&);
TARVEX_INSTANTIATE(LatticeKind::tetrahedral)
TARVEX_INSTANTIATE(LatticeKind::fcc)
TARVEX_INSTANTIATE(LatticeKind::bcc)
TARVEX_INSTANTIATE(LatticeKind::cubic)
#undef TARVEX_INSTANTIATE

}  // namespace tarvex::search
