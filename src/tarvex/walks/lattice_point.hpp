// Integer lattice points, the lattice kinds and the walk built from them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tarvex {

enum class LatticeKind : std::uint8_t { tetrahedral = 0, fcc = 1, bcc = 2, cubic = 3 };

// Coordinates wrap like 32-bit machine integers instead of being undefined on
// overflow; walks never get near the limit, but a wrap must not be UB.
struct LatticePoint {
  std::int32_t x, y, z;

  friend constexpr bool operator==(const LatticePoint&, const LatticePoint&) = default;

  friend constexpr LatticePoint operator+(LatticePoint a, LatticePoint b) {
    return {wrap(std::uint32_t(a.x) + std::uint32_t(b.x)), wrap(std::uint32_t(a.y) + std::uint32_t(b.y)),
            wrap(std::uint32_t(a.z) + std::uint32_t(b.z))};
  }
  friend constexpr LatticePoint operator-(LatticePoint a, LatticePoint b) {
    return {wrap(std::uint32_t(a.x) - std::uint32_t(b.x)), wrap(std::uint32_t(a.y) - std::uint32_t(b.y)),
            wrap(std::uint32_t(a.z) - std::uint32_t(b.z))};
  }
  friend constexpr LatticePoint operator-(LatticePoint a) { return LatticePoint{0, 0, 0} - a; }

 private:
  static constexpr std::int32_t wrap(std::uint32_t v) { return static_cast<std::int32_t>(v); }
};

inline constexpr LatticePoint kOrigin{0, 0, 0};

// The slot of p in an open-addressing table of 2^(64 - shift) slots: a
// multiply-xorshift of the packed coordinates whose top bits index the table,
// which spreads the arithmetic progressions that straight stretches make.
inline std::size_t hash_slot(LatticePoint p, int shift) {
  std::uint64_t h =
      (std::uint64_t(std::uint32_t(p.x)) | std::uint64_t(std::uint32_t(p.y)) << 32) * 0x9E3779B97F4A7C15ull;
  h ^= std::uint64_t(std::uint32_t(p.z)) * 0xC2B2AE3D27D4EB4Full;
  h ^= h >> 31;
  h *= 0xBF58476D1CE4E5B9ull;
  return std::size_t(h >> shift);
}

// One point per residue; its length counts points, not steps.
using LatticeWalk = std::vector<LatticePoint>;

}  // namespace tarvex
