// The contact sum's rows for AVX2: blocks of rows against blocks of columns, the pairs in contact listed and added in
// pair order.
#define TARVEX_SIMD_AVX2 1
#include <array>

#include "tarvex/cost/contact_sum_kernel.hpp"
#include "tarvex/simd.hpp"

#if TARVEX_SIMD_AVX2
TARVEX_TARGET_BEGIN("avx2,popcnt")

namespace tarvex::detail::contact {
namespace {

// The pairs in contact of a block are packed, as pair indices in pair order,
// into a list that is added up now and then: the distance tests then run
// without a branch per pair, and the sum stays one addition after another.

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

  void pack(unsigned lanes, std::uint32_t first) {
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

inline __m256i column_epi32(const std::int32_t* at) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at)); }

inline __m256i norm_epi32(__m256i dx, __m256i dy, __m256i dz) {
  return _mm256_add_epi32(_mm256_add_epi32(_mm256_mullo_epi32(dx, dx), _mm256_mullo_epi32(dy, dy)),
                          _mm256_mullo_epi32(dz, dz));
}

// Lanes whose value is at most the bound.
inline unsigned at_most(__m256i value, __m256i bound) {
  return ~unsigned(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpgt_epi32(value, bound)))) & 0xFFu;
}

// The gap between one box [lo, hi] and each of eight others, along one axis.
inline __m256i box_gap_epi32(std::int32_t lo, std::int32_t hi, const std::int32_t* other_lo,
                             const std::int32_t* other_hi) {
  const __m256i below = _mm256_sub_epi32(column_epi32(other_lo), _mm256_set1_epi32(hi));
  const __m256i above = _mm256_sub_epi32(_mm256_set1_epi32(lo), column_epi32(other_hi));
  return _mm256_max_epi32(_mm256_max_epi32(below, above), _mm256_setzero_si256());
}

// The same for four boxes of doubles. For finite coordinates rounding is
// monotone, so no pair of the two boxes has a computed square below theirs.
inline __m256d box_gap_pd(double lo, double hi, const double* other_lo, const double* other_hi) {
  const __m256d below = _mm256_sub_pd(_mm256_loadu_pd(other_lo), _mm256_set1_pd(hi));
  const __m256d above = _mm256_sub_pd(_mm256_set1_pd(lo), _mm256_loadu_pd(other_hi));
  return _mm256_max_pd(_mm256_max_pd(below, above), _mm256_setzero_pd());
}

inline __m256d norm_pd(__m256d dx, __m256d dy, __m256d dz) {
  return _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(dx, dx), _mm256_mul_pd(dy, dy)), _mm256_mul_pd(dz, dz));
}

template <int Predicate>
inline unsigned mask_pd(__m256d low, __m256d high, __m256d bound) {
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

  unsigned near(std::size_t a, std::size_t b) const {
    return at_most(norm_epi32(box_gap_epi32(c.lo_x[a], c.hi_x[a], c.lo_x + b, c.hi_x + b),
                              box_gap_epi32(c.lo_y[a], c.hi_y[a], c.lo_y + b, c.hi_y + b),
                              box_gap_epi32(c.lo_z[a], c.hi_z[a], c.lo_z + b, c.hi_z + b)),
                   maybe_bound);
  }

  unsigned lanes(std::size_t i, std::size_t jb) const {
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

  unsigned near(std::size_t a, std::size_t b) const { return near_four(a, b) | near_four(a, b + 4) << 4; }

  unsigned near_four(std::size_t a, std::size_t b) const {
    const __m256d g2 = norm_pd(box_gap_pd(c.lo_x[a], c.hi_x[a], c.lo_x + b, c.hi_x + b),
                               box_gap_pd(c.lo_y[a], c.hi_y[a], c.lo_y + b, c.hi_y + b),
                               box_gap_pd(c.lo_z[a], c.hi_z[a], c.lo_z + b, c.hi_z + b));
    return unsigned(_mm256_movemask_pd(_mm256_cmp_pd(g2, beyond, _CMP_NGT_UQ)));
  }

  unsigned lanes(std::size_t i, std::size_t jb) const {
    const __m256d low = square(i, jb), high = square(i, jb + 4);
    const unsigned in = mask_pd<_CMP_LE_OQ>(low, high, sure);
    return in | (mask_pd<_CMP_NGT_UQ>(low, high, beyond) & ~in) << 8;
  }

  __m256d square(std::size_t i, std::size_t at) const {
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
double block_rows_avx2(const Blocks<T> c, std::size_t n, const ContactPairs& p, const Geometry& g, bool cull) {
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
        const __m256i pairs =
            _mm256_and_si256(in_chain, _mm256_cmpgt_epi32(j, _mm256_set1_epi32(std::int32_t(i + p.kmin) - 1)));
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
double single_rows_avx2(const Blocks<T> c, std::size_t n, const ContactPairs& p, const Geometry& g) {
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

double point_rows(const Blocks<double> c, std::size_t n, const ContactPairs& p, ContactBand band, bool cull) {
  const PointGeometry geometry{c, _mm256_set1_pd(band.sure), _mm256_set1_pd(band.beyond), p.dmax};
  return n < kCullFrom ? single_rows_avx2(c, n, p, geometry) : block_rows_avx2(c, n, p, geometry, cull);
}

double walk_rows(const Blocks<std::int32_t> c, std::size_t n, const ContactPairs& p, const LatticeContactRule& rule,
                 bool cull) {
  const WalkGeometry geometry{c, _mm256_set1_epi32(rule.in), _mm256_set1_epi32(rule.maybe), rule.scale, p.dmax};
  return n < kCullFrom ? single_rows_avx2(c, n, p, geometry) : block_rows_avx2(c, n, p, geometry, cull);
}

constexpr ContactRows kRowsAvx2{&point_rows, &walk_rows};

}  // namespace
}  // namespace tarvex::detail::contact

TARVEX_TARGET_END
#endif

namespace tarvex::detail::contact {

const ContactRows* avx2_contact_rows() { return TARVEX_IF_AVX2(&kRowsAvx2); }

}  // namespace tarvex::detail::contact
