// The closest lattice walk to a target in a fixed frame: the layered shortest path and its self-avoiding repair.
#include "tarvex/search/placement.hpp"

#include <algorithm>
#include <cmath>
#include <tuple>

namespace tarvex::search {

namespace {

// The sites with given x and y: z = residue + k stride (stride 0: none).
struct SiteColumn {
  int stride, residue;
};

template <LatticeKind K>
SiteColumn site_column(int x, int y) {
  if constexpr (K == LatticeKind::cubic) {
    return {1, 0};
  } else if constexpr (K == LatticeKind::fcc) {
    return {2, (x + y) & 1};
  } else if constexpr (K == LatticeKind::bcc) {
    return ((x ^ y) & 1) != 0 ? SiteColumn{0, 0} : SiteColumn{2, x & 1};
  } else {
    // Even sublattice: coordinates even, sum 0 mod 4; odd: odd, sum 1 mod 4.
    if (((x ^ y) & 1) != 0) return {0, 0};
    return {4, ((x & 1) - x - y) & 3};
  }
}

}  // namespace

template <LatticeKind K>
Placement<K>::Placement(double radius)
    : radius_(radius), half_(int(std::ceil(radius)) + 1),
      box_(std::size_t(2 * half_ + 1) * (2 * half_ + 1) * (2 * half_ + 1)) {}

template <LatticeKind K>
std::uint32_t Placement<K>::site_at(std::size_t layer, LatticePoint q) const {
  const LatticePoint d = q - centre_[layer];
  if (std::abs(d.x) > half_ || std::abs(d.y) > half_ || std::abs(d.z) > half_) return UINT32_MAX;
  const std::size_t side = 2 * std::size_t(half_) + 1;
  const std::size_t cell =
      (std::size_t(d.x + half_) * side + std::size_t(d.y + half_)) * side + std::size_t(d.z + half_);
  // The cell may hold an index left from an earlier target: it counts only if
  // it names a site of this layer at this point, which is then the truth.
  const std::uint32_t s = cell_[layer * box_ + cell];
  return s >= first_[layer] && s < first_[layer + 1] && sites_[s] == q ? s : UINT32_MAX;
}

template <LatticeKind K>
double Placement<K>::place(std::span<const Point> u, LatticeWalk& walk) {
  const std::size_t n = u.size();
  if (n == 0) {
    walk.clear();
    return 0;
  }
  first_.resize(n + 1);
  centre_.resize(n);
  if (cell_.size() < n * box_) cell_.resize(n * box_, UINT32_MAX);
  sites_.clear();
  cost_.clear();
  const double r2 = radius_ * radius_;
  const std::size_t side = 2 * std::size_t(half_) + 1;
  for (std::size_t i = 0; i < n; ++i) {
    first_[i] = std::uint32_t(sites_.size());
    const LatticePoint c{std::int32_t(std::lround(u[i].x)), std::int32_t(std::lround(u[i].y)),
                         std::int32_t(std::lround(u[i].z))};
    centre_[i] = c;
    std::uint32_t* cells = cell_.data() + i * box_;
    const Point& t = u[i];
    for (int x = int(std::ceil(t.x - radius_)); x <= int(std::floor(t.x + radius_)); ++x) {
      const double ex = double(x) - t.x, left_x = r2 - ex * ex;
      if (left_x < 0) continue;
      const double wy = std::sqrt(left_x);
      for (int y = int(std::ceil(t.y - wy)); y <= int(std::floor(t.y + wy)); ++y) {
        const double ey = double(y) - t.y, left = left_x - ey * ey;
        if (left < 0) continue;
        const SiteColumn column = site_column<K>(x, y);
        if (column.stride == 0) continue;
        const double wz = std::sqrt(left);
        const int low = int(std::ceil(t.z - wz)), high = int(std::floor(t.z + wz));
        // The first z of the column's residue class at or above low.
        const int z0 = low + int(std::uint32_t(column.residue - low) % std::uint32_t(column.stride));
        for (int z = z0; z <= high; z += column.stride) {
          const LatticePoint p{x, y, z};
          const double ez = double(z) - t.z;
          const std::size_t cell = (std::size_t(x - c.x + half_) * side + std::size_t(y - c.y + half_)) * side +
                                   std::size_t(z - c.z + half_);
          cells[cell] = std::uint32_t(sites_.size());
          sites_.push_back(p);
          cost_.push_back((ex * ex + ey * ey) + ez * ez);
        }
      }
    }
  }
  first_[n] = std::uint32_t(sites_.size());
  to_go_.resize(sites_.size());
  next_.resize(sites_.size());
  if (solve(walk) == kUnreachable) return kUnreachable;
  // A walk through a site twice: on a short chain the repair beam (whose
  // work grows with the square of the length) finds the closest
  // self-avoiding walk; on a long one the residue farther from the site
  // loses it and the path is found again, which few rounds settle.
  if (n <= kBeamRepairLength) return repeats(walk) ? kClashes : walk_cost(walk);
  for (std::size_t round = 0; round < kClashRounds; ++round) {
    clashes_.clear();
    for (std::size_t i = 0; i < n; ++i) clashes_.push_back({walk[i], std::uint32_t(i)});
    std::sort(clashes_.begin(), clashes_.end(), [](const Occupant& a, const Occupant& b) {
      return std::tie(a.point.x, a.point.y, a.point.z, a.layer) < std::tie(b.point.x, b.point.y, b.point.z, b.layer);
    });
    bool clean = true;
    for (std::size_t a = 0; a < n;) {
      std::size_t b = a + 1;
      while (b < n && clashes_[b].point == clashes_[a].point) ++b;
      if (b - a > 1) {
        clean = false;
        std::size_t keep = a;
        for (std::size_t k = a + 1; k < b; ++k)
          if (cost_[site_at(clashes_[k].layer, clashes_[k].point)] <
              cost_[site_at(clashes_[keep].layer, clashes_[keep].point)])
            keep = k;
        for (std::size_t k = a; k < b; ++k)
          if (k != keep) cost_[site_at(clashes_[k].layer, clashes_[k].point)] = kUnreachable;
      }
      a = b;
    }
    if (clean) return walk_cost(walk);
    if (solve(walk) == kUnreachable) return kUnreachable;
  }
  return kUnreachable;
}

template <LatticeKind K>
bool Placement<K>::repeats(const LatticeWalk& walk) {
  seen_.reset(walk.size());
  for (const LatticePoint& p : walk)
    if (!seen_.insert(p)) return true;
  return false;
}

template <LatticeKind K>
double Placement<K>::walk_cost(const LatticeWalk& walk) const {
  double total = 0;
  for (std::size_t i = 0; i < walk.size(); ++i) total += cost_[site_at(i, walk[i])];
  return total;
}

template <LatticeKind K>
double Placement<K>::solve(LatticeWalk& walk) {
  const std::size_t n = centre_.size();
  for (std::uint32_t s = first_[n - 1]; s < first_[n]; ++s) {
    to_go_[s] = cost_[s];
    next_[s] = UINT32_MAX;
  }
  for (std::size_t i = n - 1; i-- > 0;) {
    for (std::uint32_t s = first_[i]; s < first_[i + 1]; ++s) {
      double best = kUnreachable;
      std::uint32_t arg = UINT32_MAX;
      for (std::size_t k = 0; k < coordination(K); ++k) {
        const std::uint32_t t = site_at(i + 1, neighbour<K>(sites_[s], k));
        if (t != UINT32_MAX && to_go_[t] < best) {
          best = to_go_[t];
          arg = t;
        }
      }
      to_go_[s] = cost_[s] + best;
      next_[s] = arg;
    }
  }
  double best = kUnreachable;
  std::uint32_t start = UINT32_MAX;
  for (std::uint32_t s = first_[0]; s < first_[1]; ++s)
    if (to_go_[s] < best) best = to_go_[s], start = s;
  if (start == UINT32_MAX) return kUnreachable;
  walk.resize(n);
  for (std::size_t i = 0; i < n; ++i, start = next_[start]) walk[i] = sites_[start];
  return best;
}

template <LatticeKind K>
double Placement<K>::place_avoiding(std::span<const Point> u, std::size_t width, LatticeWalk& walk) {
  const std::size_t n = u.size();
  if (n == 0) return 0;
  width = std::max<std::size_t>(width, 1);
  rows_.resize(width * n);
  next_rows_.resize(width * n);
  beam_.clear();
  candidates_.clear();
  // The starting sites by their whole cost-to-go, best first.
  for (std::uint32_t s = first_[0]; s < first_[1]; ++s)
    if (to_go_[s] < kUnreachable) candidates_.push_back({to_go_[s], UINT32_MAX, s});
  const auto by_rank = [](const Candidate& a, const Candidate& b) {
    return a.rank < b.rank || (a.rank == b.rank && (a.parent < b.parent || (a.parent == b.parent && a.site < b.site)));
  };
  for (std::size_t i = 0; i < n; ++i) {
    if (candidates_.empty()) return kUnreachable;
    const std::size_t keep = std::min(width, candidates_.size());
    std::partial_sort(candidates_.begin(), candidates_.begin() + std::ptrdiff_t(keep), candidates_.end(), by_rank);
    next_beam_.clear();
    for (std::size_t b = 0; b < keep; ++b) {
      const Candidate& c = candidates_[b];
      LatticePoint* row = next_rows_.data() + b * n;
      double cost = cost_[c.site];
      if (c.parent != UINT32_MAX) {
        const Prefix& parent = beam_[c.parent];
        std::copy_n(rows_.data() + std::size_t(parent.walk) * n, i, row);
        cost += parent.cost;
      }
      row[i] = sites_[c.site];
      next_beam_.push_back({cost, c.rank, std::uint32_t(b)});
    }
    candidates_.clear();
    std::swap(beam_, next_beam_);
    std::swap(rows_, next_rows_);
    if (i + 1 == n) break;
    for (std::uint32_t b = 0; b < beam_.size(); ++b) {
      const LatticePoint* row = rows_.data() + std::size_t(beam_[b].walk) * n;
      for (std::size_t k = 0; k < coordination(K); ++k) {
        const LatticePoint q = neighbour<K>(row[i], k);
        const std::uint32_t t = site_at(i + 1, q);
        if (t == UINT32_MAX || !(to_go_[t] < kUnreachable)) continue;
        if (!is_new_at<K>(row, i + 1, q)) continue;
        candidates_.push_back({beam_[b].cost + to_go_[t], b, t});
      }
    }
  }
  if (beam_.empty()) return kUnreachable;
  const LatticePoint* row = rows_.data() + std::size_t(beam_[0].walk) * n;
  walk.assign(row, row + n);
  return beam_[0].cost;
}

template class Placement<LatticeKind::tetrahedral>;
template class Placement<LatticeKind::fcc>;
template class Placement<LatticeKind::bcc>;
template class Placement<LatticeKind::cubic>;

}  // namespace tarvex::search
