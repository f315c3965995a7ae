// Residuals of a least-squares fit and the sums of squares of its R-squared,
// shared by the estimators that solve the normal equations of y on X.
#pragma once

#include <cstddef>
#include <span>

namespace kestrel {

struct SumsOfSquares {
  double rss = 0.0;  // sum of e_i^2
  double tss = 0.0;  // sum of (y_i - mean of y)^2
};

// resid[i] := y[i] - x_i' beta for the n rows of the row-major n x k block x,
// each fitted value summed over a = 0..k-1. RSS and the sum of y run in row
// order in the same pass; TSS follows in a second pass around the mean of y
// (with no rows the mean is NaN and TSS stays 0). y and resid need n
// entries, beta k.
SumsOfSquares residuals_and_sums(std::span<const double> x, std::span<const double> y,
                                 std::span<const double> beta, std::size_t n, std::size_t k,
                                 std::span<double> resid);

}  // namespace kestrel
