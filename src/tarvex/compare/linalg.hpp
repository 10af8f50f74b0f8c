// Fixed-size 3x3 linear algebra for superposition: symmetric eigen-decomposition, SVD, key-matrix root.
#pragma once

#include <array>
#include <span>

namespace tarvex {

// Row-major: m[r][c].
using Mat3 = std::array<std::array<double, 3>, 3>;

constexpr Mat3 identity3() { return {{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}}; }

double det3(const Mat3& m);
Mat3 transpose3(const Mat3& m);
Mat3 multiply3(const Mat3& a, const Mat3& b);

struct SymmetricEigen3 {
  std::array<double, 3> values;  // not sorted
  Mat3 vectors;                  // column k belongs to values[k]; orthogonal
};

// Cyclic Jacobi rotations on a symmetric matrix (only the upper triangle is
// read). Always returns: non-finite input gives NaN values and identity
// vectors, and the number of sweeps is bounded so no input can keep it going.
SymmetricEigen3 symmetric_eigen3(const Mat3& k);

struct Svd3 {
  Mat3 u;                        // orthogonal
  std::array<double, 3> s;       // s[0] >= s[1] >= s[2] >= 0
  Mat3 v;                        // orthogonal; h = u * diag(s) * transpose(v)
};

// Singular value decomposition by one-sided Jacobi rotations on the columns:
// W = h V is ordered by decreasing column norm, and a Householder QR of W
// gives U, so that U and V stay consistent even for repeated or vanishing
// singular values (the rotation U V^T is then still the right one).
Svd3 svd3(const Mat3& h);

// Largest eigenvalue of the symmetric 4x4 key matrix built from a
// cross-covariance matrix h. It equals s0 + s1 + d s2 (d = sign of det h),
// the optimal value of trace(R h^T) over proper rotations R. Newton's method
// on the characteristic polynomial starts from `upper`, which must bound the
// root from above; error_bound estimates the absolute error of `value` from
// the rounding in the polynomial, and is large (or NaN) when the top
// eigenvalue is nearly repeated, i.e. when the result cannot be trusted.
struct KeyMatrixRoot {
  double value;
  double error_bound;
};
KeyMatrixRoot key_matrix_max_eigenvalue(const Mat3& h, double upper);

// The same in two steps, for many matrices at once: the characteristic
// polynomial x^4 + c2 x^2 + c1 x + c0 of each key matrix (frob2 = |h|^2),
// then the largest roots side by side, each from its own upper bound.
struct KeyPolynomial {
  double c2, c1, c0, frob2;
};
KeyPolynomial key_polynomial(const Mat3& h);
void key_polynomial_max_roots(std::span<const KeyPolynomial> polys, std::span<const double> upper,
                              std::span<KeyMatrixRoot> out);

}  // namespace tarvex
