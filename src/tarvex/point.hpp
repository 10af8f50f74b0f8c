// Points in real space and the conformations built from them.
#pragma once

#include <vector>

namespace tarvex {

struct Point {
  double x, y, z;
  friend bool operator==(const Point&, const Point&) = default;
};

// One point per residue, in chain order. Structures given by the caller and
// ground-truth models have the same form.
using Conformation = std::vector<Point>;

}  // namespace tarvex
