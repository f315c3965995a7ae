// Least squares after absorbing any number of fixed effects by demeaning.
//
// Two entries feed one pipeline: `ols_fe_matrix` (regressors as one matrix,
// read through its strides; behind rust_ols_core) and `ols_fe_columns`
// (regressors as separate columns; behind rust_ols_from_arrays). Both copy y
// and X, then run the same steps: singleton removal, absorption (one exact
// projection for one fixed effect, joint conjugate-gradient demeaning of
// [y | X] for several), normal equations, residuals and sums of squares,
// absorbed degrees of freedom, bread and covariance.
//
// Inputs are only read. Numerical trouble is data: a singular X'X gives NaN
// coefficients and bread, never an exception. Broken preconditions panic:
// code columns whose length differs from the data rows (checked up front,
// naming the argument and both lengths), regressor columns shorter than y,
// codes outside their range, an unsupported covariance name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "linalg/strided.hpp"

namespace kestrel {

using CodeSpan = std::span<const std::int32_t>;

struct OlsFeResult {
  std::vector<double> beta;   // k coefficients, in regressor order
  std::vector<double> vcov;   // k x k, row-major
  std::vector<double> resid;  // n residuals of the demeaned model
  double r2 = 0.0;            // within R-squared when fixed effects are absorbed
  double adj_r2 = 0.0;
  std::size_t n = 0;                          // rows used, after singleton removal
  std::size_t absorbed = 0;                   // degrees of freedom of the fixed effects
  std::size_t removed = 0;                    // rows removed as singletons
  std::vector<std::uint64_t> cluster_groups;  // G of each cluster column after recoding
};

// Regressors as an n x k matrix of any strides. Without cluster columns the
// covariance is classical with sigma^2 = RSS / (n - k): the absorbed degrees
// of freedom are reported, not subtracted. `x` must have as many rows as `y`
// has values, and every code column as many codes.
OlsFeResult ols_fe_matrix(std::span<const double> y, StridedMatrix x,
                          std::span<const CodeSpan> fe_codes, std::span<const CodeSpan> cl_codes,
                          double tol, std::uint64_t max_iter);

// Regressors as k columns, each at least as long as `y` (later values are
// ignored). Without cluster columns `vcov_type` chooses the covariance:
// "iid" with sigma^2 = RSS / ((n - k) - absorbed), or "HC0".."HC3" through
// the sandwich with the absorbed degrees of freedom in the HC1 scale. Any
// other name panics before any work is done; with cluster columns the name
// is not read.
OlsFeResult ols_fe_columns(std::span<const double> y, std::span<const std::span<const double>> x_cols,
                           std::span<const CodeSpan> fe_codes, std::span<const CodeSpan> cl_codes,
                           double tol, std::uint64_t max_iter, std::string_view vcov_type);

}  // namespace kestrel
