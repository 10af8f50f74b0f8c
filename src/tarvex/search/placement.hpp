// The closest lattice walk to a target held in a fixed frame: dynamic programming over the sites near each point.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "tarvex/point.hpp"
#include "tarvex/walks/lattice.hpp"
#include "tarvex/walks/point_set.hpp"

namespace tarvex::search {

inline constexpr double kUnreachable = std::numeric_limits<double>::infinity();
// What place() returns for a walk that still visits a site twice.
inline constexpr double kClashes = std::numeric_limits<double>::max();

// For a target u (lattice units, one point per residue) the walk w that
// minimizes sum |w_i - u_i|^2 among the walks whose point i lies within
// `radius` of u_i. Without self-avoidance the problem is a shortest path
// through the layers of candidate sites, solved exactly backwards: the
// cost-to-go of a site is its own cost plus the best cost-to-go of its
// neighbours in the next layer. A walk that repeats a site is repaired by a
// beam over self-avoiding prefixes ranked by their cost plus that cost-to-go,
// which is exact wherever the rest of the walk avoids the prefix, or on long
// chains (where the beam's checks would cost the square of the length) by
// taking the site from all but the closest residue and solving again. One
// instance per thread; nothing allocates once the buffers have grown.
template <LatticeKind K>
class Placement {
 public:
  // radius in lattice units, > 0.
  explicit Placement(double radius);

  // The closest walk; returns its cost, kUnreachable when the layers do not
  // connect, or kClashes when the walk visits a site twice. On long chains
  // the clashes are first resolved by taking each such site from the
  // residue farther from it and solving again.
  double place(std::span<const Point> u, LatticeWalk& walk);

  // After a place() on the same target that ended in clashes: the closest
  // self-avoiding walk the repair beam of `width` finds; kUnreachable when
  // every prefix was trapped.
  double place_avoiding(std::span<const Point> u, std::size_t width, LatticeWalk& walk);

 private:
  static constexpr std::size_t kClashRounds = 16, kBeamRepairLength = 150;
  bool repeats(const LatticeWalk& walk);

  std::uint32_t site_at(std::size_t layer, LatticePoint q) const;
  // The shortest path through the layers as they stand.
  double solve(LatticeWalk& walk);
  double walk_cost(const LatticeWalk& walk) const;

  double radius_;
  int half_;                          // the box around each target point spans [-half_, half_]^3
  std::size_t box_;                   // (2 half_ + 1)^3
  std::vector<std::uint32_t> first_;  // layer i's sites are [first_[i], first_[i + 1])
  std::vector<LatticePoint> centre_;  // the box centre of each layer
  std::vector<LatticePoint> sites_;
  std::vector<double> cost_, to_go_;
  std::vector<std::uint32_t> next_;  // the best site of the next layer
  std::vector<std::uint32_t> cell_;  // per layer and box cell: a site index (checked on use)

  struct Prefix {
    double cost;         // of its points
    double rank;         // cost plus the cost-to-go of what follows
    std::uint32_t walk;  // row in the prefix buffer
  };
  struct Candidate {
    double rank;
    std::uint32_t parent, site;
  };
  struct Occupant {
    LatticePoint point;
    std::uint32_t layer;
  };
  std::vector<Occupant> clashes_;
  PointSet seen_;
  std::vector<Prefix> beam_, next_beam_;
  std::vector<Candidate> candidates_;
  std::vector<LatticePoint> rows_, next_rows_;
};

}  // namespace tarvex::search
