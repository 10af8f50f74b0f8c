// Superposition of a lattice walk on a target: the centred target, the best proper rotation, the residual.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "tarvex/compare/linalg.hpp"
#include "tarvex/point.hpp"
#include "tarvex/walks/lattice_point.hpp"

namespace tarvex::search {

// One model in lattice units (divided by the lattice scale), centred on its
// centroid, with its squared norm.
struct Target {
  std::vector<Point> points;
  double norm = 0;
};

Target make_target(std::span<const Point> model, double scale);

// Where a walk lies best over a target: u_i = rotation b_i + offset is the
// target moved onto the walk, and residual the sum of |w_i - u_i|^2 there.
struct Superposition {
  Mat3 rotation;
  Point offset;
  double residual;
};

Superposition superpose(std::span<const LatticePoint> walk, const Target& target);

// u_i = rotation b_i + offset for every point b_i of the target.
void place_target(const Target& target, const Mat3& rotation, Point offset, std::vector<Point>& u);

}  // namespace tarvex::search
