// Run-time lattice records, neighbour lists and the conversion of walks to space.
#include "tarvex/walks/lattice.hpp"

#include <cmath>

namespace tarvex {

Lattice::Lattice(LatticeKind k)
    : kind(k), group(with_lattice(k, [](auto kc) -> SymmetryGroup { return group_of<decltype(kc)::value>(); })),
      steps(with_lattice(k, [](auto kc) { return std::span<const LatticePoint>(kSteps<decltype(kc)::value>); })) {}

NeighbourList neighbours(const Lattice& lattice, LatticePoint p) {
  return with_lattice(lattice.kind, [&](auto kc) {
    constexpr LatticeKind K = decltype(kc)::value;
    NeighbourList out{};
    out.count = coordination(K);
    for (std::size_t i = 0; i < out.count; ++i) out.points[i] = neighbour<K>(p, i);
    return out;
  });
}

double lattice_scale(const Lattice& lattice, double arc_length) {
  const LatticePoint v = neighbours(lattice, kOrigin)[0] - kOrigin;
  const double squared = double(v.x * v.x) + double(v.y * v.y) + double(v.z * v.z);
  return arc_length / std::sqrt(squared);
}

void to_conformation(std::span<const LatticePoint> walk, double scale, Conformation& out) {
  out.resize(walk.size());
  for (std::size_t i = 0; i < walk.size(); ++i) {
    out[i] = Point{double(walk[i].x) * scale, double(walk[i].y) * scale, double(walk[i].z) * scale};
  }
}

Conformation to_conformation(std::span<const LatticePoint> walk, double scale) {
  Conformation out;
  to_conformation(walk, scale, out);
  return out;
}

}  // namespace tarvex
