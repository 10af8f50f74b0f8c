// Minimization over every walk of a length: the first conformation with the lowest score.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

#include "tarvex/point.hpp"
#include "tarvex/poll.hpp"
#include "tarvex/walks/lattice_point.hpp"

namespace tarvex {

// A batch of walks to score: walk c is walks[c * n, (c + 1) * n), and its
// conformation, the walk's points times scale, is points[c * n, (c + 1) * n)
// when the scorer reads points (empty otherwise).
struct WalkBatch {
  std::span<const LatticePoint> walks;
  std::span<const Point> points;
  std::size_t n;
  double scale;
};

// Scores a batch: out[c] for walk c.
using BatchScore = std::function<void(const WalkBatch& batch, std::span<double> out)>;

// How the walks may be scored.
enum class ScoreOrder : std::uint8_t {
  in_order,  // one batch at a time on this thread, in enumeration order (Lua, host costs)
  anywhere,  // any thread, any order: the enumeration is split over the pool
};

// Enumerates every walk of n points and returns the conformation with the
// smallest score under the IEEE 754 total order; of equal scores the earliest
// walk's wins, whatever the thread count. Only the running best is kept (per
// part of the enumeration), so memory does not grow with the number of walks.
// reads_points says whether score reads the batch's points (or its walks only).
Conformation minimize_over_walks(std::uint64_t n, LatticeKind lattice, double arc_length, bool pbar, Poll& poll,
                                 const BatchScore& score, bool reads_points, ScoreOrder order);

}  // namespace tarvex
