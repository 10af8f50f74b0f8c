// RMSD after optimal proper superposition, against one structure or the ground-truth models.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "tarvex/point.hpp"
#include "tarvex/total_order.hpp"

namespace tarvex {

// The models of one call as a dense row-major matrix of points, plus what the
// comparison kernel wants precomputed once: every row centred on its centroid
// in structure-of-arrays form, and its squared norm.
struct GroundTruth {
  std::size_t models = 0, points = 0;
  std::vector<Point> cells;  // models * points, row r at r * points

  // The comparison kernel handles kLanes models at once. Block b holds models
  // b * kLanes onward: coordinate c of point i of lane l at
  // ((b * points + i) * 3 + c) * kLanes + l; lanes past the last model are zero.
  static constexpr std::size_t kLanes = 2;
  std::vector<double> centred;
  std::vector<double> norms;  // sum of squared centred coordinates, per model
};

// Rows keep the caller's order; a model longer than model 0 is truncated to
// its length, a shorter one fails.
GroundTruth build_ground_truth(std::span<const Conformation> models);

// Moves `mobile` onto `reference` by the best translation and proper rotation
// and returns the root-mean-square distance of corresponding points. Empty
// structures give NaN; non-finite coordinates give NaN.
double superposed_rmsd(std::span<const Point> reference, std::span<const Point> mobile);

// The smallest superposed_rmsd(conformation, row) over the rows, compared
// under the IEEE 754 total order; of equal values the earlier row's wins.
// NaN results are always the positive quiet NaN, so a model that cannot be
// compared never hides a finite result.
double ground_truth_rmsd(const GroundTruth& gt, std::span<const Point> conformation);

// out[c] = ground_truth_rmsd(gt, conformation c) for the conformations of
// gt.points points stored one after the other in points.
void ground_truth_rmsds(const GroundTruth& gt, std::span<const Point> points, std::span<double> out);

}  // namespace tarvex
