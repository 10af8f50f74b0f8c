// The batched RMSD kernel: centring, cross-covariances and minima over models, four pairs per vector.
//
// rmsd.cpp compiles it for any machine, rmsd_avx2.cpp for AVX2/FMA, in the
// way simd.hpp describes.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>

#include "tarvex/compare/rmsd.hpp"
#include "tarvex/point.hpp"
#include "tarvex/simd.hpp"
#include "tarvex/total_order.hpp"

namespace tarvex::detail {

struct Centred {
  double norm;   // sum of the squared written coordinates
  int exponent;  // they are the centred coordinates times 2^-exponent
};

// Out of line, for structures outside the unscaled range (below), already
// centred as they are into out with squared norm `norm`.
Centred centre_scaled(const Point* s, std::size_t n, double norm, double* out, std::size_t point_stride,
                      std::size_t coordinate_stride);

// The RMSD of two centred structures (the stored coordinates times fa and fb,
// coordinate c of point i at i * point_stride + c * coordinate_stride) by an
// explicit optimal rotation and the residual summed point by point: the
// accurate way when the residual is tiny or the key matrix's top eigenvalue
// nearly repeated. Out of line: it is the rare path.
double exact_rmsd(std::size_t n, const double* a, double fa, const double* b, double fb, std::size_t point_stride,
                  std::size_t coordinate_stride);

// At least `doubles` of working space for the calling thread, reused from
// call to call so that batches allocate nothing once it has grown.
double* kernel_scratch(std::size_t doubles);

// The kernel compiled for any machine, and for AVX2/FMA; the public functions
// call the one this machine can run, chosen once.
using BatchFunction = void (*)(const GroundTruth&, std::span<const Point>, std::span<double>);
void batch_portable(const GroundTruth& gt, std::span<const Point> points, std::span<double> out);
// The AVX2/FMA build; null when the build has none.
const BatchFunction* avx2_batch();

}  // namespace tarvex::detail

TARVEX_KERNEL_BEGIN("avx2,fma")

#include "tarvex/compare/qcp.hpp"

namespace tarvex::detail {
namespace {

using simd::V4;

inline constexpr std::size_t kLanes = GroundTruth::kLanes;
inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A centred structure whose squared norm lies in this range is used as it
// is: the cross-covariances of two such stay below 2^128, so the eighth
// powers of coordinates in the key polynomial, and the products the trust
// test below forms, stay far inside the double range. Outside it (or when
// the centroid overflowed) the coordinates are centred again after
// multiplying them by 2^-e, e the exponent of the largest, which is exact.
// The test costs one comparison per structure, and the range is wide so that
// ordinary data never takes the second pass.
inline constexpr double kUnscaledNormMin = 0x1p-128, kUnscaledNormMax = 0x1p128;

// The residual from the key-matrix root, S = |a|^2 + |b|^2 - 2 lambda, loses
// digits by cancellation when S is small against the norms, and lambda itself
// is ill-conditioned when the top eigenvalue is nearly repeated (collinear
// structures, some symmetric ones). It is used only when its estimated error
// is below this fraction of S (about 5e-12 relative on the RMSD by a
// deliberately pessimistic estimate; the errors met in practice are a
// hundred times smaller); otherwise the rotation is computed and the
// residual summed point by point.
inline constexpr double kTrust = 1e-11;

// Arithmetic on NaN yields either sign depending on the operation and the
// machine; one sign keeps the total-order minimum independent of both.
[[gnu::always_inline]] inline double canonical(double v) { return std::isnan(v) ? kNaN : v; }

// Writes the centred coordinates read(s[i]) of s[0, n) to out, coordinate c
// of point i at i * point_stride + c * coordinate_stride, and returns their
// squared norm.
template <class Read>
[[gnu::always_inline]] inline double centre_by(const Point* s, std::size_t n, double* out, std::size_t point_stride,
                                               std::size_t coordinate_stride, Read read) {
  double sx = 0, sy = 0, sz = 0;
  for (std::size_t i = 0; i < n; ++i) {
    sx += read(s[i].x);
    sy += read(s[i].y);
    sz += read(s[i].z);
  }
  const double count = static_cast<double>(n);
  const double cx = sx / count, cy = sy / count, cz = sz / count;
  double norm = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double x = read(s[i].x) - cx, y = read(s[i].y) - cy, z = read(s[i].z) - cz;
    double* o = out + i * point_stride;
    o[0] = x;
    o[coordinate_stride] = y;
    o[2 * coordinate_stride] = z;
    norm += (x * x + y * y) + z * z;
  }
  return norm;
}

// Without kScaling the exponent is always 0 (benchmarks of what the scaling costs).
template <bool kScaling = true>
[[gnu::always_inline]] inline Centred centre(const Point* s, std::size_t n, double* out, std::size_t point_stride,
                                             std::size_t coordinate_stride) {
  const double norm = centre_by(s, n, out, point_stride, coordinate_stride, [](double v) { return v; });
  if (kScaling && !(norm >= kUnscaledNormMin && norm <= kUnscaledNormMax))
    return centre_scaled(s, n, norm, out, point_stride, coordinate_stride);
  return {norm, 0};
}

// Two structures stored with exponents ea and eb are compared at the common
// exponent max(ea, eb): their coordinates times fa = 2^(ea - e) and
// fb = 2^(eb - e). The smaller side may underflow, which happens only where it
// is negligible against the other.
struct PairScale {
  int exponent;
  double fa, fb;
};

[[gnu::always_inline]] inline PairScale pair_scale(int ea, int eb) {
  const int e = std::max(ea, eb);
  return {e, std::scalbn(1.0, ea - e), std::scalbn(1.0, eb - e)};
}

// One part of the batch, as the kernel sees it: either four conformations
// against one model (the conformations in vector lanes) or one conformation
// against four models (the models in lanes, from the ground truth's layout).
// Both put the pairs in lanes the same way, so every pair's value is the same
// whichever way it was computed.
//
// h[3 r + c] = sum over points of a[r] b[c], with a the lane-wise side when
// kLanesAreA, the broadcast one otherwise. Both sides have the lane layout:
// coordinate c of point i at (i * 3 + c) * kLanes.
template <class V, bool kLanesAreA>
[[gnu::always_inline]] inline void cross_covariance_of(std::size_t n, const double* lanes, const double* single,
                                                       V (&h)[9]) {
  for (V& v : h) v = simd::splat<V>(0);
  for (std::size_t i = 0; i < n; ++i) {
    const double* l = lanes + i * 3 * kLanes;
    const double* s = single + i * 3 * kLanes;
    V a[3], b[3];
    for (int c = 0; c < 3; ++c) {
      if constexpr (kLanesAreA) {
        a[c] = simd::load<V>(l + c * kLanes);
        b[c] = simd::splat<V>(s[c * kLanes]);
      } else {
        a[c] = simd::splat<V>(s[c * kLanes]);
        b[c] = simd::load<V>(l + c * kLanes);
      }
    }
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c) h[3 * r + c] += a[r] * b[c];
  }
}

// Lanes not in `valid` hold padding; two at a time they are skipped.
template <class Ops, bool kLanesAreA>
[[gnu::always_inline]] inline void cross_covariance(std::size_t n, const double* lanes, const double* single,
                                                    unsigned valid, V4 (&h)[9]) {
  if constexpr (Ops::kSumLanes == 4) {
    cross_covariance_of<V4, kLanesAreA>(n, lanes, single, h);
  } else {
    for (int half = 0; half < 2; ++half) {
      simd::V2 part[9];
      if (valid >> 2 * half & 3) {
        cross_covariance_of<simd::V2, kLanesAreA>(n, lanes + std::ptrdiff_t{2} * half, single, part);
      } else {
        for (simd::V2& v : part) v = simd::splat<simd::V2>(0);
      }
      for (int k = 0; k < 9; ++k) h[k][2 * half] = part[k][0], h[k][2 * half + 1] = part[k][1];
    }
  }
}

// ground_truth_rmsds for arguments already checked (models > 0, points > 0,
// sizes consistent). kScaling off is the same kernel without the
// power-of-two scaling, for benchmarks only.
template <class Ops, bool kScaling = true>
class BatchKernel {
 public:
  static void compute(const GroundTruth& gt, std::span<const Point> points, std::span<double> out) {
    const std::size_t n = gt.points;
    // Conformations are centred a chunk at a time, in groups of kLanes:
    // enough groups that the root finding of a pass overlaps even with one
    // model, few enough that long structures stay in cache. A call with
    // fewer conformations than lanes (one conformation, the common single
    // call) needs one group, on the stack when it is small.
    const std::size_t groups = out.size() < kLanes ? 1 : std::clamp<std::size_t>(16384 / (3 * kLanes * n), 1, kPass);
    const std::size_t doubles = groups * 3 * kLanes * n;
    constexpr std::size_t kStack = 1536;
    alignas(32) double stack[kStack];
    BatchKernel(gt, doubles <= kStack ? stack : kernel_scratch(doubles), groups).run(points, out);
  }

 private:
  BatchKernel(const GroundTruth& gt, double* scratch, std::size_t chunk_groups)
      : gt_(gt), n_(gt.points), scratch_(scratch), chunk_groups_(chunk_groups) {}

  void run(std::span<const Point> points, std::span<double> out) {
    const std::size_t count = out.size(), models = gt_.models;
    const std::size_t blocks = (models + kLanes - 1) / kLanes;
    const std::size_t tail = count % kLanes;
    // A last, partial group of conformations wastes lanes against every
    // model; one conformation at a time wastes them only in the last block
    // of models, and needs no padding written. The cheaper wins.
    const bool tail_by_models = tail > 0 && tail * blocks <= models;
    const std::size_t groups = count / kLanes + (tail > 0 && !tail_by_models ? 1 : 0);
    const std::size_t per_chunk = chunk_groups_;
    out_ = out.data();
    count_ = count;

    for (std::size_t first = 0; first < groups; first += per_chunk) {
      const std::size_t in_chunk = std::min(per_chunk, groups - first);
      for (std::size_t g = 0; g < in_chunk; ++g) centre_group((first + g) * kLanes, g, points, true);
      for (std::size_t g = 0; g < in_chunk; ++g) {
        const double* a = scratch_ + g * 3 * kLanes * n_;
        const std::size_t conformation = (first + g) * kLanes;
        const bool group_scaled = kScaling && (exponent_[g][0] | exponent_[g][1] | exponent_[g][2] | exponent_[g][3]);
        const Pairs base{a, nullptr, conformation, 0, valid_lanes(count - conformation), false, false};
        for (std::size_t m = 0; m < models; ++m) {
          Pairs pairs = base;
          pairs.b = gt_.centred.data() + (m / kLanes) * 3 * kLanes * n_ + m % kLanes;
          pairs.model = m;
          V4 h[9];
          cross_covariance<Ops, true>(n_, a, pairs.b, pairs.valid, h);
          V4 ga = simd::load(norm_[g]), gb = simd::splat(gt_.norms[m]);
          if (kScaling && (group_scaled || (gt_.any_scaled && gt_.exponents[m] != 0))) {
            int ea[kLanes], eb[kLanes];
            for (std::size_t l = 0; l < kLanes; ++l) ea[l] = exponent_[g][l], eb[l] = gt_.exponents[m];
            scale_pairs(ea, eb, h, ga, gb);
            pairs.scaled = true;
          }
          push(h, ga, gb, pairs);
        }
      }
      flush();
    }

    if (tail_by_models) {
      const std::size_t first = count - tail;
      centre_group(first, 0, points, false);
      for (std::size_t t = 0; t < tail; ++t) {
        for (std::size_t block = 0; block < blocks; ++block) {
          const std::size_t model = block * kLanes;
          Pairs pairs{scratch_ + t,
                      gt_.centred.data() + block * 3 * kLanes * n_,
                      first + t,
                      model,
                      valid_lanes(models - model),
                      true,
                      false};
          V4 h[9];
          cross_covariance<Ops, false>(n_, pairs.b, pairs.a, pairs.valid, h);
          V4 ga = simd::splat(norm_[0][t]), gb = simd::load(gt_.norms.data() + model);
          if (kScaling && (exponent_[0][t] != 0 || gt_.any_scaled)) {
            int ea[kLanes], eb[kLanes];
            for (std::size_t l = 0; l < kLanes; ++l) ea[l] = exponent_[0][t], eb[l] = gt_.exponents[model + l];
            scale_pairs(ea, eb, h, ga, gb);
            pairs.scaled = true;
          }
          push(h, ga, gb, pairs);
        }
      }
      flush();
    }
  }

  static constexpr int kPass = 8;  // vectors of pairs whose root finding overlaps

  // Which pairs the lanes of one vector hold. By conformations: lane l
  // compares the conformation at a + l (lane layout) with the model at b, and
  // its value is conformation + l's against `model`. By models: the
  // conformation at a against the model at b + l, the value conformation's
  // against model + l.
  struct Pairs {
    const double* a;
    const double* b;
    std::size_t conformation, model;
    unsigned valid;  // lanes holding real pairs
    bool by_models;
    bool scaled;  // the lanes' scales are in scales_
  };

  static unsigned valid_lanes(std::size_t left) { return left >= kLanes ? 0xfu : (1u << left) - 1; }

  // Conformations start .. start + kLanes (those that exist) into the lanes
  // of group g; the lanes of missing ones are zeroed if `pad`.
  void centre_group(std::size_t start, std::size_t g, std::span<const Point> points, bool pad) {
    double* group = scratch_ + g * 3 * kLanes * n_;
    for (std::size_t l = 0; l < kLanes; ++l) {
      norm_[g][l] = 0;
      exponent_[g][l] = 0;
      if (start + l < count_) {
        const Centred c = centre<kScaling>(points.data() + (start + l) * n_, n_, group + l, 3 * kLanes, kLanes);
        norm_[g][l] = c.norm;
        exponent_[g][l] = c.exponent;
      } else if (pad) {
        for (std::size_t i = 0; i < 3 * n_; ++i) group[i * kLanes + l] = 0;
      }
    }
  }

  // Brings each lane's pair to its common exponent; kept for the exact path
  // and the result in scales_ of the vector about to be pushed.
  void scale_pairs(const int (&ea)[kLanes], const int (&eb)[kLanes], V4 (&h)[9], V4& ga, V4& gb) {
    V4 fa = simd::splat(1), fb = simd::splat(1);
    for (std::size_t l = 0; l < kLanes; ++l) {
      const PairScale s = pair_scale(ea[l], eb[l]);
      scales_[used_][l] = s;
      fa[l] = s.fa;
      fb[l] = s.fb;
    }
    const V4 fab = fa * fb;
    for (V4& v : h) v *= fab;
    ga *= fa * fa;
    gb *= fb * fb;
  }

  void push(const V4 (&h)[9], const V4& ga, const V4& gb, const Pairs& pairs) {
    const int j = used_++;
    poly_[j] = qcp::key_polynomial(h);
    g_[j] = ga + gb;
    x_[j] = Ops::sqrt(qcp::squared_upper_bound<Ops>(poly_[j], ga * gb)) * (1 + 4 * qcp::kEps);
    pairs_[j] = pairs;
    if (used_ == kPass) flush();
  }

  void flush() {
    qcp::descend<Ops, kPass>(used_, poly_, x_, tail_);
    const double per_point = 1 / static_cast<double>(n_);
    for (int j = 0; j < used_; ++j) {
      const Pairs& p = pairs_[j];
      const qcp::RootError error = qcp::root_error(poly_[j], x_[j], tail_[j]);
      const V4 s = g_[j] - 2 * x_[j];
      // |error of S| <= kTrust S, multiplied through by the slope, which must
      // be positive (-slope <= -tiny excludes 0 and NaN).
      const V4 bound = 2 * error.numerator + 4 * qcp::kEps * g_[j] * error.slope;
      const unsigned trusted = Ops::lanes_at_most(bound, kTrust * s * error.slope) &
                               Ops::lanes_at_most(-error.slope, simd::splat(-std::numeric_limits<double>::min()));
      const V4 root = Ops::sqrt(s * per_point);
      const unsigned exact = ~trusted & p.valid;
      if constexpr (!Ops::kLaneByLane) {
        // The common case, four conformations against one model and nothing
        // rare, a vector at a time. All four values are trusted, so finite
        // and not negative, and the earlier ones finite or the positive NaN:
        // their bits order as signed integers the way the total order ranks them.
        if (!p.by_models && p.valid == 0xf && !(kScaling && p.scaled) && exact == 0) {
          double* best = out_ + p.conformation;
          if (p.model == 0) {
            simd::store(best, root);
          } else {
            const V4 old = simd::load(best);
            simd::store(best, simd::M4(root) < simd::M4(old) ? root : old);
          }
          continue;
        }
      }
      double value[kLanes];
      for (std::size_t l = 0; l < kLanes; ++l) value[l] = root[l];
      const std::size_t a_step = p.by_models ? 0 : 1, b_step = p.by_models ? 1 : 0;
      if (exact != 0) {
        for (std::size_t l = 0; l < kLanes; ++l)
          if (exact >> l & 1)
            value[l] = exact_rmsd(n_, p.a + l * a_step, p.scaled ? scales_[j][l].fa : 1.0, p.b + l * b_step,
                                  p.scaled ? scales_[j][l].fb : 1.0, 3 * kLanes, kLanes);
      }
      for (std::size_t l = 0; l < kLanes; ++l) {
        if (!(p.valid >> l & 1)) continue;
        double v = value[l];
        if (kScaling && p.scaled) v = std::scalbn(v, scales_[j][l].exponent);
        v = canonical(v);
        double& best = out_[p.conformation + l * a_step];
        if (p.model + l * b_step == 0 || total_order_less(v, best)) best = v;
      }
    }
    used_ = 0;
  }

  const GroundTruth& gt_;
  std::size_t n_;
  double* scratch_;
  std::size_t chunk_groups_;
  double* out_ = nullptr;
  std::size_t count_ = 0;

  alignas(32) double norm_[kPass][kLanes];
  int exponent_[kPass][kLanes];

  int used_ = 0;
  qcp::KeyPolynomial poly_[kPass];
  V4 x_[kPass], tail_[kPass], g_[kPass];
  Pairs pairs_[kPass];
  PairScale scales_[kPass][kLanes];
};

}  // namespace
}  // namespace tarvex::detail

TARVEX_KERNEL_END
