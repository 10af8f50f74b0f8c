// RMSD after optimal proper superposition against the ground-truth models.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "tarvex/point.hpp"

namespace tarvex {

// The models of one call in the form the comparison kernel wants, computed
// once: every model centred on its centroid, four models interleaved.
//
// Coordinates are stored multiplied by 2^-exponent of their model, a power of
// two chosen so that the eighth powers the key polynomial forms can neither
// overflow nor underflow; the exponent is 0 unless the model's size is far
// from 1 (see kUnscaledNormMin in rmsd_kernel.hpp).
struct GroundTruth {
  static constexpr std::size_t kLanes = 4;

  std::size_t models = 0, points = 0;
  // Coordinate c of point i of model m at ((m / kLanes * points + i) * 3 + c) * kLanes + m % kLanes.
  // Models past the last (up to a multiple of kLanes) are zero.
  std::vector<double> centred;
  std::vector<double> norms;   // per model: sum of the squared stored coordinates
  std::vector<int> exponents;  // per model
  bool any_scaled = false;     // some exponent is not 0
};

// Rows keep the caller's order; a model longer than model 0 is truncated to
// its length, a shorter one fails.
GroundTruth build_ground_truth(std::span<const Conformation> models);

// The smallest RMSD of the conformation to a row, each after the best
// translation and proper rotation of one onto the other, compared
// under the IEEE 754 total order; of equal values the earlier row's wins.
// NaN results are always the positive quiet NaN, so a model that cannot be
// compared never hides a finite result.
double ground_truth_rmsd(const GroundTruth& gt, std::span<const Point> conformation);

// out[c] = ground_truth_rmsd(gt, conformation c) for conformation c at
// points[c * n, (c + 1) * n), n = gt.points. The same values whatever the
// batch size or the position in it; batches of a few dozen conformations or
// more keep the vector lanes full when there are few models.
void ground_truth_rmsds(const GroundTruth& gt, std::span<const Point> points, std::span<double> out);

}  // namespace tarvex
