// What the portable and the AVX2 contact sums share: the blocked columns of a conformation, the band around dmax and
// the rows' entry points.
//
// contact_sum.cpp holds the portable rows and the choice of kernel,
// contact_sum_avx2.cpp the AVX2 rows, in the way simd.hpp describes.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "tarvex/cost/contact_sum.hpp"

namespace tarvex::detail::contact {

// Residues per block: one vector of 32-bit lattice coordinates, two of doubles.
inline constexpr std::size_t kBlock = 8;
// Shorter chains have every block near every other: boxes would cost more
// than they save.
inline constexpr std::size_t kCullFrom = 24;

// Pairs in contact are listed, by index, up to about this many before they are added up.
inline constexpr std::size_t kFlushAt = 2048;
// Pair indices are listed as 32-bit numbers.
inline constexpr std::size_t kListedUpTo = std::size_t{1} << 16;

constexpr std::size_t blocks_of(std::size_t n) { return (n + kBlock - 1) / kBlock; }

// The rule itself, for the pairs whose squares fall near dmax².
inline bool within(double dx, double dy, double dz, double dmax) {
  return std::sqrt((dx * dx + dy * dy) + dz * dz) <= dmax;
}

// Pairs whose squared distance is at most `sure` are in contact and pairs
// above `beyond` are not, without taking a square root. Only the rest (a band
// a few ulps wide around dmax², and NaN) pay for sqrt, so the decision is
// exactly that of sqrt((dx² + dy²) + dz²) <= dmax. The band is 2^-40 wide
// relative, far more than the rounding of dmax² and of the square root.
struct ContactBand {
  double sure;
  double beyond;
};

// Coordinates in columns over whole blocks (the last point repeated, so it
// widens no box) and each block's bounding box, padded so that a vector load
// of boxes past the last block stays inside; and the list of pairs in contact
// waiting to be added, with room past the flush point for a block of rows and
// one vector store. The kernels take this view by value: its pointers stay in
// registers, not behind the thread's storage.
template <class T>
struct Blocks {
  T *x, *y, *z, *lo_x, *lo_y, *lo_z, *hi_x, *hi_y, *hi_z;
  std::uint32_t* hits;
  // For a block of rows: the column blocks near it, and per row and such
  // block the lanes surely in reach (low byte) and those the doubles must
  // decide (high byte).
  std::uint32_t* near_blocks;
  std::uint16_t* lane_masks;

  void set(std::size_t i, T px, T py, T pz) { x[i] = px, y[i] = py, z[i] = pz; }

  // Repeats the last point over the last block and, for culling, bounds every block.
  void close(std::size_t n, bool bound) {
    for (std::size_t i = n; i < blocks_of(n) * kBlock; ++i) set(i, x[n - 1], y[n - 1], z[n - 1]);
    if (!bound) return;
    for (std::size_t b = 0; b < blocks_of(n); ++b) {
      const std::size_t at = b * kBlock;
      T box[6] = {x[at], y[at], z[at], x[at], y[at], z[at]};
      for (std::size_t l = at + 1; l < at + kBlock; ++l) {
        box[0] = std::min(box[0], x[l]), box[1] = std::min(box[1], y[l]), box[2] = std::min(box[2], z[l]);
        box[3] = std::max(box[3], x[l]), box[4] = std::max(box[4], y[l]), box[5] = std::max(box[5], z[l]);
      }
      lo_x[b] = box[0], lo_y[b] = box[1], lo_z[b] = box[2], hi_x[b] = box[3], hi_y[b] = box[4], hi_z[b] = box[5];
    }
  }
};

// The rows of one instruction set: the energies of the pairs in contact,
// added in pair order, for the columns of a conformation and of a walk.
struct ContactRows {
  double (*points)(Blocks<double> c, std::size_t n, const ContactPairs& p, ContactBand band, bool cull);
  double (*walk)(Blocks<std::int32_t> c, std::size_t n, const ContactPairs& p, const LatticeContactRule& rule,
                 bool cull);
};

// The AVX2 build (chains below kListedUpTo points); null when the build has none.
const ContactRows* avx2_contact_rows();

}  // namespace tarvex::detail::contact
