// Residuals of a least-squares fit and the sums of squares of its R-squared,
// shared by the estimators.
#pragma once

#include <cstddef>
#include <span>

#include "runtime/check.hpp"

namespace kestrel {

struct SumsOfSquares {
  double rss = 0.0;  // sum of e_i^2
  double tss = 0.0;  // sum of (y_i - mean of y)^2
};

// resid[i] := y[i] - x_i' beta for n rows, each fitted value summed over
// a = 0..k-1; `row(i)` returns a pointer to row i's k values (it may gather
// them). RSS and the sum of y run in row order in the same pass; TSS follows
// in a second pass around the mean of y (with no rows the mean is NaN and TSS
// stays 0). y and resid need n entries, beta k.
template <class Row>
SumsOfSquares residuals_and_sums(std::size_t n, std::size_t k, std::span<const double> y,
                                 std::span<const double> beta, std::span<double> resid,
                                 Row&& row) {
  check_len(y.size(), n);
  check_len(resid.size(), n);
  check_len(beta.size(), k);
  SumsOfSquares s;
  double sum_y = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double* xi = row(i);
    double fitted = 0.0;
    for (std::size_t a = 0; a < k; ++a) fitted += xi[a] * beta[a];
    const double e = y[i] - fitted;
    resid[i] = e;
    s.rss += e * e;
    sum_y += y[i];
  }
  const double mean_y = sum_y / static_cast<double>(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double d = y[i] - mean_y;
    s.tss += d * d;
  }
  return s;
}

// The rows of a row-major n x k block.
inline SumsOfSquares residuals_and_sums(std::span<const double> x, std::span<const double> y,
                                        std::span<const double> beta, std::size_t n,
                                        std::size_t k, std::span<double> resid) {
  check_len(x.size(), checked_mul(n, k));
  return residuals_and_sums(n, k, y, beta, resid,
                            [&](std::size_t i) { return x.data() + i * k; });
}

}  // namespace kestrel
