// The yardstick for the RMSD kernel: a plain batched QCP for AVX2/FMA, centring included, no exact fallback.
//
// What any careful batched implementation of the quaternion characteristic
// polynomial does, and nothing more: four conformations per vector against
// one model, Newton from (|a|^2 + |b|^2) / 2 with the usual 1e-11 relative
// stopping rule, several vectors' iterations overlapped, the plain minimum
// over models. No scaling, no error bound, no fallback, no NaN rules.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <vector>

#include <immintrin.h>

#include "tarvex/point.hpp"
#include "tarvex/simd.hpp"

TARVEX_TARGET_BEGIN("avx2,fma")

namespace floor_qcp {

using V = double __attribute__((vector_size(32)));

inline V splat(double x) { return V{x, x, x, x}; }
inline V load(const double* p) {
  V v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Models centred once: point i of model m at (m * n + i) * 3.
struct Models {
  std::size_t count = 0, n = 0;
  std::vector<double> centred, norms;
};

inline Models prepare(const std::vector<tarvex::Conformation>& models) {
  Models out;
  out.count = models.size();
  out.n = models[0].size();
  for (const tarvex::Conformation& m : models) {
    double cx = 0, cy = 0, cz = 0;
    for (const tarvex::Point& p : m) cx += p.x, cy += p.y, cz += p.z;
    cx /= double(out.n), cy /= double(out.n), cz /= double(out.n);
    double norm = 0;
    for (const tarvex::Point& p : m) {
      const double x = p.x - cx, y = p.y - cy, z = p.z - cz;
      out.centred.insert(out.centred.end(), {x, y, z});
      norm += x * x + y * y + z * z;
    }
    out.norms.push_back(norm);
  }
  return out;
}

// out[c] = min over models of the RMSD of conformation c (points[c n, (c+1) n)).
inline void rmsds(const Models& models, const tarvex::Point* points, std::size_t count, double* out,
                  std::vector<double>& scratch) {
  constexpr std::size_t kGroups = 8;
  const std::size_t n = models.n;
  scratch.resize(kGroups * 12 * n);
  const double per_point = 1 / double(n);
  for (std::size_t first = 0; first < count; first += 4 * kGroups) {
    const std::size_t groups = std::min(kGroups, (count - first + 3) / 4);
    alignas(32) double ga[kGroups][4];
    for (std::size_t g = 0; g < groups; ++g) {
      for (std::size_t l = 0; l < 4; ++l) {
        double* a = scratch.data() + g * 12 * n + l;
        const std::size_t c = first + 4 * g + l;
        if (c >= count) {
          for (std::size_t i = 0; i < 3 * n; ++i) a[4 * i] = 0;
          ga[g][l] = 0;
          continue;
        }
        const tarvex::Point* s = points + c * n;
        double cx = 0, cy = 0, cz = 0;
        for (std::size_t i = 0; i < n; ++i) cx += s[i].x, cy += s[i].y, cz += s[i].z;
        cx *= per_point, cy *= per_point, cz *= per_point;
        double norm = 0;
        for (std::size_t i = 0; i < n; ++i) {
          const double x = s[i].x - cx, y = s[i].y - cy, z = s[i].z - cz;
          a[12 * i] = x, a[12 * i + 4] = y, a[12 * i + 8] = z;
          norm += x * x + y * y + z * z;
        }
        ga[g][l] = norm;
      }
    }
    for (std::size_t m = 0; m < models.count; ++m) {
      const double* b = models.centred.data() + m * 3 * n;
      V c2[kGroups], c1[kGroups], c0[kGroups], x[kGroups], e0[kGroups];
      for (std::size_t g = 0; g < groups; ++g) {
        const double* a = scratch.data() + g * 12 * n;
        V h[9] = {};
        for (std::size_t i = 0; i < n; ++i) {
          const V ax = load(a + 12 * i), ay = load(a + 12 * i + 4), az = load(a + 12 * i + 8);
          const V bx = splat(b[3 * i]), by = splat(b[3 * i + 1]), bz = splat(b[3 * i + 2]);
          h[0] += ax * bx, h[1] += ax * by, h[2] += ax * bz;
          h[3] += ay * bx, h[4] += ay * by, h[5] += ay * bz;
          h[6] += az * bx, h[7] += az * by, h[8] += az * bz;
        }
        const V sxx = h[0], sxy = h[1], sxz = h[2], syx = h[3], syy = h[4], syz = h[5], szx = h[6], szy = h[7],
                szz = h[8];
        const V f2 =
            sxx * sxx + sxy * sxy + sxz * sxz + syx * syx + syy * syy + syz * syz + szx * szx + szy * szy + szz * szz;
        const V m00 = sxx + syy + szz, m01 = syz - szy, m02 = szx - sxz, m03 = sxy - syx;
        const V m11 = sxx - syy - szz, m12 = sxy + syx, m13 = szx + sxz;
        const V m22 = -sxx + syy - szz, m23 = syz + szy, m33 = -sxx - syy + szz;
        const V s0 = m00 * m11 - m01 * m01, s1 = m00 * m12 - m01 * m02, s2 = m00 * m13 - m01 * m03;
        const V s3 = m01 * m12 - m11 * m02, s4 = m01 * m13 - m11 * m03, s5 = m02 * m13 - m12 * m03;
        const V k5 = m22 * m33 - m23 * m23, k4 = m12 * m33 - m13 * m23, k3 = m12 * m23 - m13 * m22;
        const V k2 = m02 * m33 - m03 * m23, k1 = m02 * m23 - m03 * m22, k0 = m02 * m13 - m03 * m12;
        const V det = sxx * (syy * szz - syz * szy) - sxy * (syx * szz - syz * szx) + sxz * (syx * szy - syy * szx);
        c2[g] = -2 * f2;
        c1[g] = -8 * det;
        c0[g] = s0 * k5 - s1 * k4 + s2 * k3 + s3 * k2 - s4 * k1 + s5 * k0;
        e0[g] = (load(ga[g]) + splat(models.norms[m])) * 0.5;
        x[g] = e0[g];
      }
      unsigned active = (1u << groups) - 1;
      for (int iter = 0; iter < 50 && active != 0; ++iter) {
        for (std::size_t g = 0; g < groups; ++g) {
          if (!(active >> g & 1)) continue;
          const V x2 = x[g] * x[g];
          const V value = ((x2 + c2[g]) * x[g] + c1[g]) * x[g] + c0[g];
          const V slope = (4 * x2 + 2 * c2[g]) * x[g] + c1[g];
          const V next = x[g] - value / slope;
          const V change = next - x[g];
          const V tolerance = 1e-11 * next;
          x[g] = next;
          if (_mm256_movemask_pd(_mm256_castsi256_pd(__m256i(change * change >= tolerance * tolerance))) == 0)
            active &= ~(1u << g);
        }
      }
      for (std::size_t g = 0; g < groups; ++g) {
        const V s = (e0[g] - x[g]) * (2 * per_point);
        const V r = _mm256_sqrt_pd(_mm256_max_pd(s, splat(0)));
        for (std::size_t l = 0; l < 4 && first + 4 * g + l < count; ++l) {
          double& best = out[first + 4 * g + l];
          best = m == 0 ? r[l] : std::min(best, r[l]);
        }
      }
    }
  }
}

}  // namespace floor_qcp

TARVEX_TARGET_END
