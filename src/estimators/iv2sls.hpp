// Two-stage least squares with optional absorbed fixed effects.
//
// y = X b + e with X = [E | N]: E the exogenous regressors (intercept last,
// when asked for), N the endogenous ones. The instruments are Z = [E | W],
// W the excluded instruments. The first stage replaces N by its projection
// N^ = Z (Z'Z)^-1 Z'N; the second solves (X^'X) b = X^'y with X^ = [E | N^].
// Residuals use the observed X; the bread is (X^'X)^-1 and robust or
// clustered meats are built from the rows of X^.
//
// Inputs are only read; every transformed array is a private copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel {

using CodeSpan = std::span<const std::int32_t>;

struct Iv2slsResult {
  std::vector<double> beta;   // k: exogenous, "_cons" if asked, endogenous
  std::vector<double> vcov;   // k x k, row-major, same order
  std::vector<double> resid;  // n, from the observed endogenous values
  double r2 = 0.0;
  double adj_r2 = 0.0;
  double first_stage_f = 0.0;  // F of the excluded instruments for the first endogenous column
  std::size_t n = 0;           // rows used, after singleton removal
  std::size_t absorbed = 0;    // degrees of freedom absorbed by the fixed effects
  std::size_t removed = 0;     // rows removed as singletons
  std::vector<std::uint64_t> cluster_groups;  // G of each cluster column after recoding
  std::vector<std::string> names;             // x_names, "_cons" if asked, endog_names
};

// n0 = y.size(). Data columns (x_exog, x_endog, z_excl) need at least n0
// values; only the first n0 are read. Fixed-effect and cluster code columns
// must have exactly n0 codes.
//
// Fixed effects: singleton rows are removed, then one fixed effect is
// absorbed by one exact projection per column and several by joint
// conjugate-gradient demeaning of [y | E | N | W] (tol, max_iter).
//
// Covariance: with cluster columns the unscaled inclusion-exclusion sum of
// B M_c B over all subsets of the dimensions (vcov_type is not read);
// otherwise "iid" gives (RSS / n) B and every other name HC0.
//
// First-stage F: ((RSS_r - RSS_u) / kz) / (RSS_u / (n - kx - kz)) for the
// first endogenous column, restricted on E and unrestricted on Z; 0.0 when
// there are no excluded instruments or RSS_u is not positive.
//
// Failures:
//  * ValueFailure("Singular matrix in 2SLS") when a coefficient is NaN
//    (singular X^'X or Z'Z, NaN data), and up front whenever add_intercept
//    meets a fixed effect (the demeaned column of ones vanishes, so the
//    design is singular whatever the data);
//  * panics, before any computation, for a data column shorter than y, a
//    code column whose length is not n0 (naming the argument and both
//    lengths), and no endogenous column while there are rows; later for codes
//    out of range.
Iv2slsResult iv2sls(std::span<const double> y, std::span<const std::span<const double>> x_exog,
                    std::span<const std::span<const double>> x_endog,
                    std::span<const std::span<const double>> z_excl,
                    std::span<const std::string> x_names, std::span<const std::string> endog_names,
                    std::span<const CodeSpan> fe_codes, std::span<const CodeSpan> cl_codes,
                    double tol, std::uint64_t max_iter, std::string_view vcov_type,
                    bool add_intercept);

}  // namespace kestrel
