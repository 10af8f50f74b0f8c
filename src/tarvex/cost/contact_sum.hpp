// The contact sum of one conformation: pairs culled by blocks, distances tested in SIMD, energies added in pair order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "tarvex/point.hpp"
#include "tarvex/walks/lattice_point.hpp"

namespace tarvex {

// The pairs of a conformation of n points: i = 0, 1, ... and within each i,
// j = i + kmin, ..., n - 1; pair k reads energies[k]. The sums below need
// kmin < n and dmax >= 0 (not NaN); the caller settles the other cases.
struct ContactPairs {
  const double* energies;
  std::size_t kmin;
  double dmax;
};

// Which code runs: the widest the processor offers, or the portable one
// (which every processor runs; the tests compare the two).
enum class ContactKernel : std::uint8_t { best, portable };

// The energies of the pairs with sqrt((dx² + dy²) + dz²) <= dmax, computed on
// the conformation's doubles, added in pair order.
double contact_sum(std::span<const Point> conformation, const ContactPairs& pairs,
                   ContactKernel kernel = ContactKernel::best);

// For walks on a lattice, scaled by `scale` into space: which squared lattice
// distances q are surely within dmax (q <= in), surely beyond (q > maybe),
// or close enough to dmax that the pair is decided on the doubles as above.
// Made once per scale and dmax; use it with the same dmax.
struct LatticeContactRule {
  double scale;
  bool integral;  // false: the doubles decide every pair (extreme scale or dmax)
  std::int32_t in;
  std::int32_t maybe;
};

LatticeContactRule lattice_contact_rule(double scale, double dmax);

// The same sum as contact_sum over the conformation double(p) * scale of the
// walk, bit for bit; for any walk, though it pays off for those whose
// consecutive points are lattice neighbours.
double contact_sum(std::span<const LatticePoint> walk, const LatticeContactRule& rule, const ContactPairs& pairs,
                   ContactKernel kernel = ContactKernel::best);

}  // namespace tarvex
