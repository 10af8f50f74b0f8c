// The contact sum of one conformation: pairs culled by blocks, distances tested in SIMD, energies added in pair order.
#include "tarvex/cost/contact_sum.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "tarvex/simd_target.hpp"
#include "tarvex/walks/lattice.hpp"

#if TARVEX_HAVE_AVX2
#include <immintrin.h>
#endif

namespace tarvex {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// Residues per block: one vector of 32-bit lattice coordinates, two of doubles.
constexpr std::size_t kBlock = 8;
// Shorter chains have every block near every other: boxes would cost more
// than they save.
constexpr std::size_t kCullFrom = 24;

// Pairs in contact are listed, by index, up to about this many before they are added up.
constexpr std::size_t kFlushAt = 2048;
// Pair indices are listed as 32-bit numbers.
constexpr std::size_t kListedUpTo = std::size_t{1} << 16;

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

ContactBand contact_band(double dmax) {
  constexpr double kWidth = 0x1p-40;
  if (dmax == kInf) return {kInf, kInf};
  const double square = dmax * dmax;
  const double beyond = square * (1.0 + kWidth);
  // Subnormal or overflowing squares lose the relative bound: decide every
  // pair by the formula itself.
  if (!std::isnormal(square) || !std::isfinite(beyond)) return {-kInf, kInf};
  return {square * (1.0 - kWidth), beyond};
}

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

// The storage behind Blocks, one per thread: it grows to the longest chain
// seen and is never allocated per conformation.
template <class T>
class Scratch {
 public:
  Blocks<T> shape(std::size_t n) {
    const std::size_t points = blocks_of(n) * kBlock;
    const std::size_t boxes = blocks_of(n) + kBlock;
    if (storage_.size() < 3 * points + 6 * boxes) storage_.resize(3 * points + 6 * boxes);
    if (hits_.size() < kFlushAt + kBlock * n + 2 * kBlock) hits_.resize(kFlushAt + kBlock * n + 2 * kBlock);
    if (near_.size() < boxes) near_.resize(boxes);
    if (masks_.size() < kBlock * boxes) masks_.resize(kBlock * boxes);
    Blocks<T> c{};
    T* at = storage_.data();
    for (T** column : {&c.x, &c.y, &c.z}) *column = std::exchange(at, at + points);
    for (T** column : {&c.lo_x, &c.lo_y, &c.lo_z, &c.hi_x, &c.hi_y, &c.hi_z}) *column = std::exchange(at, at + boxes);
    c.hits = hits_.data();
    c.near_blocks = near_.data();
    c.lane_masks = masks_.data();
    return c;
  }

 private:
  std::vector<T> storage_;
  std::vector<std::uint32_t> hits_, near_;
  std::vector<std::uint16_t> masks_;
};

// --- Portable rows ---------------------------------------------------------------
//
// Rows i ascending, blocks ascending, lanes ascending: the pairs are met in
// pair order, so the energies are added exactly as the plain loop adds them.
// A block is skipped only when its box proves every pair in it out of reach:
// rounding is monotone, so no pair's computed square is below the box's.

double rows_portable(const Blocks<double> c, std::size_t n, const ContactPairs& p, ContactBand band, bool cull) {
  double sum = 0.0;
  std::size_t row = 0;  // index of the row's first pair
  for (std::size_t i = 0; n - i > p.kmin; ++i) {
    const std::size_t j0 = i + p.kmin;
    const double xi = c.x[i], yi = c.y[i], zi = c.z[i];
    // Without boxes the row is one stretch.
    for (std::size_t start = cull ? j0 / kBlock * kBlock : j0; start < n; start += cull ? kBlock : n) {
      if (cull) {
        const std::size_t b = start / kBlock;
        const double gx = std::max({c.lo_x[b] - xi, xi - c.hi_x[b], 0.0});
        const double gy = std::max({c.lo_y[b] - yi, yi - c.hi_y[b], 0.0});
        const double gz = std::max({c.lo_z[b] - zi, zi - c.hi_z[b], 0.0});
        if ((gx * gx + gy * gy) + gz * gz > band.beyond) continue;
      }
      const std::size_t end = cull ? std::min(n, start + kBlock) : n;
      for (std::size_t j = std::max(j0, start); j < end; ++j) {
        const double dx = xi - c.x[j], dy = yi - c.y[j], dz = zi - c.z[j];
        const double square = (dx * dx + dy * dy) + dz * dz;
        if (square <= band.sure || (!(square > band.beyond) && std::sqrt(square) <= p.dmax))
          sum += p.energies[row + (j - j0)];
      }
    }
    row += n - j0;
  }
  return sum;
}

double rows_portable(const Blocks<std::int32_t> c, std::size_t n, const ContactPairs& p,
                     const LatticeContactRule& rule, bool cull) {
  const double s = rule.scale;
  double sum = 0.0;
  std::size_t row = 0;
  for (std::size_t i = 0; n - i > p.kmin; ++i) {
    const std::size_t j0 = i + p.kmin;
    const std::int32_t xi = c.x[i], yi = c.y[i], zi = c.z[i];
    for (std::size_t start = cull ? j0 / kBlock * kBlock : j0; start < n; start += cull ? kBlock : n) {
      if (cull) {
        const std::size_t b = start / kBlock;
        const std::int32_t gx = std::max({c.lo_x[b] - xi, xi - c.hi_x[b], 0});
        const std::int32_t gy = std::max({c.lo_y[b] - yi, yi - c.hi_y[b], 0});
        const std::int32_t gz = std::max({c.lo_z[b] - zi, zi - c.hi_z[b], 0});
        if (gx * gx + gy * gy + gz * gz > rule.maybe) continue;
      }
      const std::size_t end = cull ? std::min(n, start + kBlock) : n;
      for (std::size_t j = std::max(j0, start); j < end; ++j) {
        const std::int32_t dx = xi - c.x[j], dy = yi - c.y[j], dz = zi - c.z[j];
        const std::int32_t q = dx * dx + dy * dy + dz * dz;
        if (q <= rule.in || (q <= rule.maybe && within(double(xi) * s - double(c.x[j]) * s,
                                                       double(yi) * s - double(c.y[j]) * s,
                                                       double(zi) * s - double(c.z[j]) * s, p.dmax)))
          sum += p.energies[row + (j - j0)];
      }
    }
    row += n - j0;
  }
  return sum;
}

// --- AVX2: blocks of rows against blocks of columns ---------------------------------
//
// The pairs in contact of a block are packed, as pair indices in pair order,
// into a list that is added up now and then: the distance tests then run
// without a branch per pair, and the sum stays one addition after another.

#if TARVEX_HAVE_AVX2

bool has_avx2() {
  static const bool yes = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
  return yes;
}

// For each 8-bit lane mask, its set lanes in ascending order, a byte each.
constexpr std::array<std::uint64_t, 256> kPackedLanes = [] {
  std::array<std::uint64_t, 256> table{};
  for (unsigned mask = 0; mask < 256; ++mask) {
    unsigned at = 0;
    for (unsigned lane = 0; lane < 8; ++lane)
      if ((mask >> lane) & 1u) table[mask] |= std::uint64_t{lane} << (8 * at++);
  }
  return table;
}();

// Pair indices of a row, packed as they are found; summed when the list is long.
struct Hits {
  std::uint32_t* list;
  std::size_t count = 0;

  [[gnu::target("avx2,popcnt")]] void pack(unsigned lanes, std::uint32_t first) {
    const __m256i index = _mm256_add_epi32(_mm256_set1_epi32(std::int32_t(first)),
                                           _mm256_cvtepu8_epi32(_mm_cvtsi64_si128(std::int64_t(kPackedLanes[lanes]))));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(list + count), index);
    count += unsigned(__builtin_popcount(lanes));
  }

  void add_to(double& sum, const double* energies) {
    for (std::size_t t = 0; t < count; ++t) sum += energies[list[t]];
    count = 0;
  }
};

[[gnu::target("avx2")]] inline __m256i column_epi32(const std::int32_t* at) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
}

[[gnu::target("avx2")]] inline __m256i norm_epi32(__m256i dx, __m256i dy, __m256i dz) {
  return _mm256_add_epi32(_mm256_add_epi32(_mm256_mullo_epi32(dx, dx), _mm256_mullo_epi32(dy, dy)),
                          _mm256_mullo_epi32(dz, dz));
}

// Lanes whose value is at most the bound.
[[gnu::target("avx2")]] inline unsigned at_most(__m256i value, __m256i bound) {
  return ~unsigned(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpgt_epi32(value, bound)))) & 0xFFu;
}

// The gap between one box [lo, hi] and each of eight others, along one axis.
[[gnu::target("avx2")]] inline __m256i box_gap_epi32(std::int32_t lo, std::int32_t hi, const std::int32_t* other_lo,
                                                     const std::int32_t* other_hi) {
  const __m256i below = _mm256_sub_epi32(column_epi32(other_lo), _mm256_set1_epi32(hi));
  const __m256i above = _mm256_sub_epi32(_mm256_set1_epi32(lo), column_epi32(other_hi));
  return _mm256_max_epi32(_mm256_max_epi32(below, above), _mm256_setzero_si256());
}

// The same for four boxes of doubles. For finite coordinates rounding is
// monotone, so no pair of the two boxes has a computed square below theirs.
[[gnu::target("avx2")]] inline __m256d box_gap_pd(double lo, double hi, const double* other_lo, const double* other_hi) {
  const __m256d below = _mm256_sub_pd(_mm256_loadu_pd(other_lo), _mm256_set1_pd(hi));
  const __m256d above = _mm256_sub_pd(_mm256_set1_pd(lo), _mm256_loadu_pd(other_hi));
  return _mm256_max_pd(_mm256_max_pd(below, above), _mm256_setzero_pd());
}

[[gnu::target("avx2")]] inline __m256d norm_pd(__m256d dx, __m256d dy, __m256d dz) {
  return _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(dx, dx), _mm256_mul_pd(dy, dy)), _mm256_mul_pd(dz, dz));
}

template <int Predicate>
[[gnu::target("avx2")]] inline unsigned mask_pd(__m256d low, __m256d high, __m256d bound) {
  return unsigned(_mm256_movemask_pd(_mm256_cmp_pd(low, bound, Predicate))) |
         unsigned(_mm256_movemask_pd(_mm256_cmp_pd(high, bound, Predicate))) << 4;
}

// What the walk over blocks asks of the coordinates: which of eight column
// blocks from b on are near row block a, and for row i against the block at
// jb the lanes surely in reach (low byte) and those the doubles must decide
// (high byte); then that decision for one pair.

struct WalkGeometry {
  Blocks<std::int32_t> c;
  __m256i in_bound, maybe_bound;
  double scale, dmax;

  [[gnu::target("avx2")]] unsigned near(std::size_t a, std::size_t b) const {
    return at_most(norm_epi32(box_gap_epi32(c.lo_x[a], c.hi_x[a], c.lo_x + b, c.hi_x + b),
                              box_gap_epi32(c.lo_y[a], c.hi_y[a], c.lo_y + b, c.hi_y + b),
                              box_gap_epi32(c.lo_z[a], c.hi_z[a], c.lo_z + b, c.hi_z + b)),
                   maybe_bound);
  }

  [[gnu::target("avx2")]] unsigned lanes(std::size_t i, std::size_t jb) const {
    const __m256i q = norm_epi32(_mm256_sub_epi32(_mm256_set1_epi32(c.x[i]), column_epi32(c.x + jb)),
                                 _mm256_sub_epi32(_mm256_set1_epi32(c.y[i]), column_epi32(c.y + jb)),
                                 _mm256_sub_epi32(_mm256_set1_epi32(c.z[i]), column_epi32(c.z + jb)));
    const unsigned in = at_most(q, in_bound);
    return in | (at_most(q, maybe_bound) & ~in) << 8;
  }

  bool decide(std::size_t i, std::size_t j) const {
    const double s = scale;
    return within(double(c.x[i]) * s - double(c.x[j]) * s, double(c.y[i]) * s - double(c.y[j]) * s,
                  double(c.z[i]) * s - double(c.z[j]) * s, dmax);
  }
};

struct PointGeometry {
  Blocks<double> c;
  __m256d sure, beyond;
  double dmax;

  [[gnu::target("avx2")]] unsigned near(std::size_t a, std::size_t b) const {
    return near_four(a, b) | near_four(a, b + 4) << 4;
  }

  [[gnu::target("avx2")]] unsigned near_four(std::size_t a, std::size_t b) const {
    const __m256d g2 = norm_pd(box_gap_pd(c.lo_x[a], c.hi_x[a], c.lo_x + b, c.hi_x + b),
                               box_gap_pd(c.lo_y[a], c.hi_y[a], c.lo_y + b, c.hi_y + b),
                               box_gap_pd(c.lo_z[a], c.hi_z[a], c.lo_z + b, c.hi_z + b));
    return unsigned(_mm256_movemask_pd(_mm256_cmp_pd(g2, beyond, _CMP_NGT_UQ)));
  }

  [[gnu::target("avx2")]] unsigned lanes(std::size_t i, std::size_t jb) const {
    const __m256d low = square(i, jb), high = square(i, jb + 4);
    const unsigned in = mask_pd<_CMP_LE_OQ>(low, high, sure);
    return in | (mask_pd<_CMP_NGT_UQ>(low, high, beyond) & ~in) << 8;
  }

  [[gnu::target("avx2")]] __m256d square(std::size_t i, std::size_t at) const {
    return norm_pd(_mm256_sub_pd(_mm256_set1_pd(c.x[i]), _mm256_loadu_pd(c.x + at)),
                   _mm256_sub_pd(_mm256_set1_pd(c.y[i]), _mm256_loadu_pd(c.y + at)),
                   _mm256_sub_pd(_mm256_set1_pd(c.z[i]), _mm256_loadu_pd(c.z + at)));
  }

  bool decide(std::size_t i, std::size_t j) const {
    return within(c.x[i] - c.x[j], c.y[i] - c.y[j], c.z[i] - c.z[j], dmax);
  }
};

// Rows go by blocks of eight: one box test per pair of blocks rules out most
// of them for all eight rows at once, and each block near enough is loaded
// once for the eight. The pairs are then listed row by row, so in pair order.
template <class Geometry, class T>
[[gnu::target("avx2,popcnt")]] double block_rows_avx2(const Blocks<T> c, std::size_t n, const ContactPairs& p,
                                                      const Geometry& g, bool cull) {
  const std::size_t blocks = blocks_of(n);
  const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7), length = _mm256_set1_epi32(std::int32_t(n));
  Hits hits{c.hits};
  double sum = 0.0;
  std::size_t row = 0;  // index of the first pair of row i
  for (std::size_t first = 0; first < n && n - first > p.kmin; first += kBlock) {
    // The column blocks that can hold a pair of these rows and are near enough.
    std::size_t near = 0;
    for (std::size_t b = (first + p.kmin) / kBlock; b < blocks; b += 8) {
      unsigned live = blocks - b >= 8 ? 0xFFu : (1u << (blocks - b)) - 1u;
      if (cull) live &= g.near(first / kBlock, b);
      for (; live != 0; live &= live - 1) c.near_blocks[near++] = std::uint32_t(b + unsigned(__builtin_ctz(live)));
    }
    // Lane masks of each row against each near block, lanes before the row's
    // first pair or past the chain cleared.
    for (std::size_t t = 0; t < near; ++t) {
      const std::size_t jb = std::size_t(c.near_blocks[t]) * kBlock;
      const __m256i j = _mm256_add_epi32(_mm256_set1_epi32(std::int32_t(jb)), lane);
      const __m256i in_chain = _mm256_cmpgt_epi32(length, j);
      for (std::size_t r = 0; r < kBlock; ++r) {
        const std::size_t i = first + r;
        const __m256i pairs = _mm256_and_si256(
            in_chain, _mm256_cmpgt_epi32(j, _mm256_set1_epi32(std::int32_t(i + p.kmin) - 1)));
        const unsigned lanes = unsigned(_mm256_movemask_ps(_mm256_castsi256_ps(pairs)));
        c.lane_masks[r * near + t] = std::uint16_t(g.lanes(i, jb) & (lanes | lanes << 8));
      }
    }
    // The pairs, row by row.
    for (std::size_t i = first; i < first + kBlock && i < n && n - i > p.kmin; ++i) {
      const std::size_t j0 = i + p.kmin;
      const std::uint16_t* masks = c.lane_masks + (i - first) * near;
      for (std::size_t t = 0; t < near; ++t) {
        const std::size_t jb = std::size_t(c.near_blocks[t]) * kBlock;
        unsigned in = masks[t] & 0xFFu;
        for (unsigned maybe = masks[t] >> 8; maybe != 0; maybe &= maybe - 1) [[unlikely]] {
          if (g.decide(i, jb + unsigned(__builtin_ctz(maybe)))) in |= maybe & -maybe;
        }
        hits.pack(in, std::uint32_t(row + jb - j0));
      }
      row += n - j0;
    }
    if (hits.count >= kFlushAt) hits.add_to(sum, p.energies);
  }
  hits.add_to(sum, p.energies);
  return sum;
}

// Short chains, where every block is near every other: row by row, each row
// against the blocks from its first pair on, without the detour through
// lane masks.
template <class Geometry, class T>
[[gnu::target("avx2,popcnt")]] double single_rows_avx2(const Blocks<T> c, std::size_t n, const ContactPairs& p,
                                                       const Geometry& g) {
  const std::size_t blocks = blocks_of(n);
  Hits hits{c.hits};
  double sum = 0.0;
  std::size_t row = 0;
  for (std::size_t i = 0; n - i > p.kmin; ++i) {
    const std::size_t j0 = i + p.kmin;
    for (std::size_t jb = j0 / kBlock * kBlock; jb < blocks * kBlock; jb += kBlock) {
      // The lanes at j0 and on, before n.
      const unsigned lanes = (0xFFu << (j0 > jb ? j0 - jb : 0)) & (0xFFu >> (jb + kBlock - std::min(n, jb + kBlock)));
      const unsigned masks = g.lanes(i, jb) & (lanes | lanes << 8);
      unsigned in = masks & 0xFFu;
      for (unsigned maybe = masks >> 8; maybe != 0; maybe &= maybe - 1) [[unlikely]] {
        if (g.decide(i, jb + unsigned(__builtin_ctz(maybe)))) in |= maybe & -maybe;
      }
      hits.pack(in, std::uint32_t(row + jb - j0));
    }
    row += n - j0;
  }
  hits.add_to(sum, p.energies);
  return sum;
}

[[gnu::target("avx2,popcnt")]] double rows_avx2(const Blocks<double> c, std::size_t n, const ContactPairs& p,
                                                ContactBand band, bool cull) {
  const PointGeometry geometry{c, _mm256_set1_pd(band.sure), _mm256_set1_pd(band.beyond), p.dmax};
  return n < kCullFrom ? single_rows_avx2(c, n, p, geometry) : block_rows_avx2(c, n, p, geometry, cull);
}

[[gnu::target("avx2,popcnt")]] double rows_avx2(const Blocks<std::int32_t> c, std::size_t n, const ContactPairs& p,
                                                const LatticeContactRule& rule, bool cull) {
  const WalkGeometry geometry{c, _mm256_set1_epi32(rule.in), _mm256_set1_epi32(rule.maybe), rule.scale, p.dmax};
  return n < kCullFrom ? single_rows_avx2(c, n, p, geometry) : block_rows_avx2(c, n, p, geometry, cull);
}

#else

constexpr bool has_avx2() { return false; }

template <class... A>
double rows_avx2(const A&...) {
  return 0.0;
}

#endif

// --- The lattice rule --------------------------------------------------------------
//
// A walk's point p becomes double(p) * scale, and a pair's computed square
// differs from q * scale² (q the exact squared lattice distance) only by the
// rounding of the coordinates and of the sum: relatively at most about
// 2^-53 * (4M + 7) for coordinates up to M in magnitude, below 2^-38 for
// M <= 2^13. Squared lattice distances more than 2^-28 relatively inside or
// outside dmax² are therefore decided as the doubles decide them; the few
// between are left to the doubles. M <= 2^13 also keeps every integer square
// (at most 3 * (2M)²) inside 32 bits.

constexpr std::int64_t kMaxCoordinate = std::int64_t{1} << 13;
constexpr double kMaxSquare = 3.0 * double(2 * kMaxCoordinate) * double(2 * kMaxCoordinate);
constexpr double kMargin = 0x1p-28;

// Fills the columns from the walk; returns the largest coordinate magnitude.
std::int64_t fill(Blocks<std::int32_t> c, std::span<const LatticePoint> walk) {
  for (std::size_t i = 0; i < walk.size(); ++i) c.set(i, walk[i].x, walk[i].y, walk[i].z);
  std::int32_t low = 0, high = 0;
  for (const std::int32_t* column : {c.x, c.y, c.z}) {
    for (std::size_t i = 0; i < walk.size(); ++i) low = std::min(low, column[i]), high = std::max(high, column[i]);
  }
  return std::max(-std::int64_t{low}, std::int64_t{high});
}

// Fills the columns from the conformation; returns whether every coordinate is finite.
bool fill(Blocks<double> c, std::span<const Point> conformation) {
  bool finite = true;
  for (std::size_t i = 0; i < conformation.size(); ++i) {
    const Point p = conformation[i];
    c.set(i, p.x, p.y, p.z);
    finite = finite && std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
  }
  return finite;
}

}  // namespace

double contact_sum(std::span<const Point> conformation, const ContactPairs& pairs, ContactKernel kernel) {
  thread_local Scratch<double> scratch;
  const std::size_t n = conformation.size();
  if (n <= pairs.kmin) return 0.0;
  Blocks<double> columns = scratch.shape(n);
  const bool finite = fill(columns, conformation);
  const ContactBand band = contact_band(pairs.dmax);
  // Boxes of non-finite points prove nothing (inf - inf), and an infinite
  // bound rules nothing out.
  const bool cull = finite && n >= kCullFrom && band.beyond < kInf;
  columns.close(n, cull);
  if (kernel == ContactKernel::best && n < kListedUpTo && has_avx2())
    return rows_avx2(columns, n, pairs, band, cull);
  return rows_portable(columns, n, pairs, band, cull);
}

LatticeContactRule lattice_contact_rule(double scale, double dmax) {
  LatticeContactRule rule{scale, false, -1, -1};
  const double s2 = scale * scale, d2 = dmax * dmax;
  if (!std::isnormal(s2) || !std::isnormal(d2) || !std::isfinite(kMaxSquare * s2)) return rule;
  const auto in = [&](double q) { return q * s2 <= d2 * (1.0 - kMargin); };
  const auto out = [&](double q) { return q * s2 >= d2 * (1.0 + kMargin); };
  // Start at the boundary and step to the last sure q and the first sure-out
  // one: the margin spans at most a few integers below kMaxSquare.
  const double guess = std::clamp(std::floor(d2 / s2), 0.0, kMaxSquare);
  double last_in = guess;
  while (last_in >= 0.0 && !in(last_in)) last_in -= 1.0;
  while (last_in < kMaxSquare && in(last_in + 1.0)) last_in += 1.0;
  double first_out = std::max(guess, last_in + 1.0);
  while (first_out > last_in + 1.0 && out(first_out - 1.0)) first_out -= 1.0;
  while (first_out <= kMaxSquare && !out(first_out)) first_out += 1.0;
  rule.integral = true;
  rule.in = std::int32_t(last_in);
  rule.maybe = std::int32_t(std::min(first_out - 1.0, kMaxSquare));
  return rule;
}

double contact_sum(std::span<const LatticePoint> walk, const LatticeContactRule& rule, const ContactPairs& pairs,
                   ContactKernel kernel) {
  const std::size_t n = walk.size();
  if (n <= pairs.kmin) return 0.0;
  if (rule.integral) {
    thread_local Scratch<std::int32_t> scratch;
    Blocks<std::int32_t> columns = scratch.shape(n);
    if (fill(columns, walk) <= kMaxCoordinate) {
      const bool cull = n >= kCullFrom;
      columns.close(n, cull);
      if (kernel == ContactKernel::best && n < kListedUpTo && has_avx2())
        return rows_avx2(columns, n, pairs, rule, cull);
      return rows_portable(columns, n, pairs, rule, cull);
    }
  }
  // Extreme scale or dmax, or a walk far from the origin: the conformation as
  // to_conformation makes it.
  thread_local Conformation points;
  to_conformation(walk, rule.scale, points);
  return contact_sum(points, pairs, kernel);
}

}  // namespace tarvex
