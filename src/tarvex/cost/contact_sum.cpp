// The contact sum of one conformation: pairs culled by blocks, distances tested in SIMD, energies added in pair order.
#include "tarvex/cost/contact_sum.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "tarvex/cost/contact_sum_kernel.hpp"
#include "tarvex/simd.hpp"
#include "tarvex/walks/lattice.hpp"

namespace tarvex {
namespace {

using namespace detail::contact;

constexpr double kInf = std::numeric_limits<double>::infinity();

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

// The conformation's and the walk's rows differ in the coordinates' type and
// in two tests, which the rule makes: far(gx, gy, gz), a block's box gap out
// of reach, and in(i, j), pair (i, j) in contact.
template <class T, class Rule>
double rows_portable(const Blocks<T> c, std::size_t n, const ContactPairs& p, const Rule& rule, bool cull) {
  double sum = 0.0;
  std::size_t row = 0;  // index of the row's first pair
  for (std::size_t i = 0; n - i > p.kmin; ++i) {
    const std::size_t j0 = i + p.kmin;
    const T xi = c.x[i], yi = c.y[i], zi = c.z[i];
    // Without boxes the row is one stretch.
    for (std::size_t start = cull ? j0 / kBlock * kBlock : j0; start < n; start += cull ? kBlock : n) {
      if (cull) {
        const std::size_t b = start / kBlock;
        const T gx = std::max({c.lo_x[b] - xi, xi - c.hi_x[b], T(0)});
        const T gy = std::max({c.lo_y[b] - yi, yi - c.hi_y[b], T(0)});
        const T gz = std::max({c.lo_z[b] - zi, zi - c.hi_z[b], T(0)});
        if (rule.far(gx, gy, gz)) continue;
      }
      const std::size_t end = cull ? std::min(n, start + kBlock) : n;
      for (std::size_t j = std::max(j0, start); j < end; ++j) {
        if (rule.in(c, i, j)) sum += p.energies[row + (j - j0)];
      }
    }
    row += n - j0;
  }
  return sum;
}

struct PointRule {
  ContactBand band;
  double dmax;

  bool far(double gx, double gy, double gz) const { return (gx * gx + gy * gy) + gz * gz > band.beyond; }
  bool in(const Blocks<double>& c, std::size_t i, std::size_t j) const {
    const double dx = c.x[i] - c.x[j], dy = c.y[i] - c.y[j], dz = c.z[i] - c.z[j];
    const double square = (dx * dx + dy * dy) + dz * dz;
    return square <= band.sure || (!(square > band.beyond) && std::sqrt(square) <= dmax);
  }
};

struct WalkRule {
  const LatticeContactRule& rule;
  double dmax;

  bool far(std::int32_t gx, std::int32_t gy, std::int32_t gz) const { return gx * gx + gy * gy + gz * gz > rule.maybe; }
  bool in(const Blocks<std::int32_t>& c, std::size_t i, std::size_t j) const {
    const std::int32_t dx = c.x[i] - c.x[j], dy = c.y[i] - c.y[j], dz = c.z[i] - c.z[j];
    const std::int32_t q = dx * dx + dy * dy + dz * dz;
    const double s = rule.scale;
    return q <= rule.in ||
           (q <= rule.maybe && within(double(c.x[i]) * s - double(c.x[j]) * s, double(c.y[i]) * s - double(c.y[j]) * s,
                                      double(c.z[i]) * s - double(c.z[j]) * s, dmax));
  }
};

double point_rows_portable(const Blocks<double> c, std::size_t n, const ContactPairs& p, ContactBand band, bool cull) {
  return rows_portable(c, n, p, PointRule{band, p.dmax}, cull);
}

double walk_rows_portable(const Blocks<std::int32_t> c, std::size_t n, const ContactPairs& p,
                          const LatticeContactRule& rule, bool cull) {
  return rows_portable(c, n, p, WalkRule{rule, p.dmax}, cull);
}

// The rows for a chain of n points: the widest the processor runs, chosen
// once, unless the portable ones are asked for.
const ContactRows& rows_for(ContactKernel kernel, std::size_t n) {
  static constexpr ContactRows kPortable{&point_rows_portable, &walk_rows_portable};
  static const ContactRows best = simd::choose(kPortable, avx2_contact_rows());
  return kernel == ContactKernel::best && n < kListedUpTo ? best : kPortable;
}

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
  return rows_for(kernel, n).points(columns, n, pairs, band, cull);
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
      return rows_for(kernel, n).walk(columns, n, pairs, rule, cull);
    }
  }
  // Extreme scale or dmax, or a walk far from the origin: the conformation as
  // to_conformation makes it.
  thread_local Conformation points;
  to_conformation(walk, rule.scale, points);
  return contact_sum(points, pairs, kernel);
}

}  // namespace tarvex
