// The contact sum as first written (every pair tested in turn): the oracle of the tests and the benchmarks' yardstick.
#pragma once

#include <cmath>
#include <cstddef>
#include <limits>
#include <span>

#include "tarvex/cost/cost.hpp"

namespace tarvex::reference {

struct ContactBand {
  double sure;
  double beyond;
};

inline ContactBand contact_band(double dmax) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  constexpr double kWidth = 0x1p-40;
  if (dmax == kInf) return {kInf, kInf};
  const double square = dmax * dmax;
  const double beyond = square * (1.0 + kWidth);
  if (!std::isnormal(square) || !std::isfinite(beyond)) return {-kInf, kInf};
  return {square * (1.0 - kWidth), beyond};
}

inline double contact_sum(std::span<const Point> c, const double* energy, std::uint64_t kmin, double dmax,
                          ContactBand band) {
  const std::size_t n = c.size();
  double sum = 0.0;
  for (std::size_t i = 0; n - i > kmin; ++i) {
    const double xi = c[i].x, yi = c[i].y, zi = c[i].z;
    for (std::size_t j = i + kmin; j < n; ++j, ++energy) {
      const double dx = xi - c[j].x, dy = yi - c[j].y, dz = zi - c[j].z;
      const double square = (dx * dx + dy * dy) + dz * dz;
      if (square <= band.sure) {
        sum += *energy;
      } else if (!(square > band.beyond) && std::sqrt(square) <= dmax) [[unlikely]] {
        sum += *energy;
      }
    }
  }
  return sum;
}

// ContactEnergyCost::evaluate for a conformation of the cost's length.
inline double contact_energy(const ContactEnergyCost& cost, std::span<const Point> conformation) {
  if (!(cost.dmax >= 0.0) || cost.kmin >= conformation.size()) return 0.0;
  return contact_sum(conformation, cost.pair_energies.data(), cost.kmin, cost.dmax, contact_band(cost.dmax));
}

}  // namespace tarvex::reference
