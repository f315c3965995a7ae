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

namespace kestrel {

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
