// Heteroskedasticity-robust covariance of least-squares coefficients,
// V = B M B with bread B = (X'X)^-1 (or the 2SLS counterpart) and meat
// M = sum_i w_i x_i x_i' (White 1980; MacKinnon and White 1985 for HC1-HC3).
//
// Conventions of this directory: n rows, k regressors, G groups; x is n x k
// row-major (row i = observation i), every k x k matrix is row-major.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

#include "linalg/symmetric.hpp"
#include "runtime/check.hpp"

namespace kestrel {

// Leverage h_i = x_i' B x_i as one running sum over (a outer, b inner).
inline double leverage(const double* xi, const double* bread, std::size_t k) {
  double h = 0.0;
  for (std::size_t a = 0; a < k; ++a) {
    const double* brow = bread + a * k;
    for (std::size_t b = 0; b < k; ++b) h += (xi[a] * brow[b]) * xi[b];
  }
  return h;
}

// The meat sum_i w_i x_i x_i' (upper triangle accumulated row by row, the
// weight multiplying each product, then mirrored) with w_i = e_i^2 /
// (1 - h_i)^power: power 0 (HC0, HC1), 1 (HC2) or 2 (HC3); the bread is
// read only for power > 0. `row(i)` returns a pointer to row i's k values.
template <class Row>
std::vector<double> sandwich_meat(std::size_t n, std::size_t k, std::span<const double> resid,
                                  std::span<const double> bread, int power, Row&& row) {
  const std::size_t kk = checked_mul(k, k);
  check_len(resid.size(), n);
  if (power > 0) check_len(bread.size(), kk);
  std::vector<double> meat(kk, 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    const double* xi = row(i);
    const double e2 = resid[i] * resid[i];
    double w = e2;
    if (power > 0) {
      const double d = 1.0 - leverage(xi, bread.data(), k);
      w = power == 1 ? e2 / d : e2 / (d * d);
    }
    for (std::size_t a = 0; a < k; ++a) {
      double* mrow = meat.data() + a * k;
      const double xa = xi[a];
      for (std::size_t b = a; b < k; ++b) mrow[b] += (xa * xi[b]) * w;
    }
  }
  symmetric_mirror_upper(meat.data(), k);
  return meat;
}

// Returns V for vcov_type "HC0", "HC1", "HC2" or "HC3" (exact bytes):
//   HC0: w_i = e_i^2;  HC1: HC0 scaled by n / (n - k - extra_df);
//   HC2: w_i = e_i^2 / (1 - h_i);  HC3: w_i = e_i^2 / (1 - h_i)^2,
// with leverage h_i = x_i' B x_i taken from the bread passed in. Any other
// name panics with "internal error: entered unreachable code: sandwich_vcov
// called with unsupported type: <name>". V = (B M) B is not symmetrised, so
// mirrored entries may differ in the last bit. Leverages of 1 and an HC1
// divisor of 0 give non-finite entries, not failures. x shorter than n * k,
// resid shorter than n or bread shorter than k * k panics.
std::vector<double> sandwich_vcov(std::span<const double> x, std::span<const double> resid,
                                  std::span<const double> bread, std::size_t n, std::size_t k,
                                  std::string_view vcov_type, std::size_t extra_df);

}  // namespace kestrel
