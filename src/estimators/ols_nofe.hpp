// Ordinary least squares without absorbed fixed effects: coefficients, their
// covariance (iid, HC0-HC3 or multi-way clustered), residuals and fit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel {

struct OlsNofeResult {
  std::vector<double> beta;   // k, in column order, intercept last
  std::vector<double> vcov;   // k x k row-major
  std::vector<double> resid;  // n
  double r2 = 0.0;
  double adj_r2 = 0.0;
  std::size_t n = 0;
  std::vector<std::size_t> cluster_groups;  // G of each cluster column
  std::vector<std::string> names;           // x_names, then "_cons" with an intercept
};

// Regresses y (n = y.size()) on the columns of x_cols, with a trailing
// column of ones when add_intercept. Every x and cluster column needs at
// least n entries (later entries are ignored, except that a cluster column's
// number of groups counts all its entries). With cluster columns the
// covariance is the multi-way clustered one with per-combination factors and
// vcov_type is ignored; otherwise "iid" gives B * SSR / (n - k), NaN when
// n <= k, and any other name goes to sandwich_vcov (which panics on names
// other than HC0-HC3). Throws ValueFailure("Singular matrix") when a
// coefficient is NaN (singular X'X or non-finite data).
OlsNofeResult ols_nofe(std::span<const double> y, std::span<const std::span<const double>> x_cols,
                       std::span<const std::string> x_names, bool add_intercept,
                       std::span<const std::span<const std::int32_t>> cl_cols,
                       std::string_view vcov_type);

}  // namespace kestrel
