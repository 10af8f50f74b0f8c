// Fixed-size 3x3 linear algebra for superposition: determinant, Jacobi rotation, singular value decomposition.
#pragma once

#include <array>

namespace tarvex {

// Row-major: m[r][c].
using Mat3 = std::array<std::array<double, 3>, 3>;

constexpr Mat3 identity3() { return {{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}}; }

double det3(const Mat3& m);

// The plane rotation (cosine c, sine s, tangent t) that zeroes the coupling
// of a pair whose ratio (difference of diagonal terms over twice the
// coupling) is zeta: t is the root of t^2 + 2 zeta t - 1 = 0 of smaller
// magnitude, the choice that keeps Jacobi's iteration stable.
struct JacobiRotation {
  double c, s, t;
};
JacobiRotation jacobi_rotation(double zeta);

struct Svd3 {
  Mat3 u;                   // orthogonal
  std::array<double, 3> s;  // s[0] >= s[1] >= s[2] >= 0
  Mat3 v;                   // orthogonal; h = u * diag(s) * transpose(v)
};

// Singular value decomposition by one-sided Jacobi rotations on the columns:
// W = h V is ordered by decreasing column norm, and a Householder QR of W
// gives U, so that U and V stay consistent even for repeated or vanishing
// singular values (the rotation U V^T is then still the right one).
Svd3 svd3(const Mat3& h);

// The best proper rotation R for h = sum a_i b_i^T (a the fixed side, b the
// moving one): R b_i lies closest to a_i. U diag(1, 1, d) V^T of the singular
// value decomposition, d = -1 when the best orthogonal map is a reflection.
Mat3 proper_rotation(const Mat3& h);

}  // namespace tarvex
