// The layer's least-squares stage: y on the columns x of a column-major
// stack (demeaned by the absorption stage, or the plain rows without fixed
// effects), dropping regressors that the fixed effects absorbed or that are
// (nearly) linear combinations of the regressors before them.
//
// Shapes: n rows; x holds k column positions of the stack; k' of them kept.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace kestrel {

struct LeastSquaresFit {
  std::vector<std::size_t> kept;       // positions in x, ascending
  std::vector<std::size_t> collinear;  // positions dropped as collinear with earlier ones
  std::vector<std::size_t> absorbed;   // positions dropped as absorbed by the fixed effects
  std::vector<double> coef;            // k'
  std::vector<double> bread;           // k' x k', row-major: (X'X)^-1 of the kept columns
  std::vector<double> resid;           // n
  double rss = 0.0;
  double tss = 0.0;                    // centred sum of squares of y
};

// `stack` is column-major with n rows; y and x are column indices into it.
// `sums_of_squares` (one per stack column, or empty: no absorption check)
// holds each column's centred sum of squares before absorption, 0 for a
// column that was constant. A regressor counts as absorbed when that is 0 or
// its demeaned sum of squares is at most collin_tol times it (a sum that is
// infinite or subnormal, i.e. could not be represented, decides nothing);
// as collinear
// when its pivot in a Cholesky factorisation of X'X in column order (over
// the regressors kept before it) is at most collin_tol times its diagonal.
// Every column is first scaled by the power of two that puts its largest
// magnitude in [0.5, 1), so that cross-products neither overflow nor vanish
// and the solver's absolute pivot threshold is relative; coefficients, bread
// and residuals are converted back exactly. Coefficients and bread come from
// the k' x k' solver of the kept columns' X'X. Indices out of range are a
// ValueFailure.
LeastSquaresFit least_squares(std::span<const double> stack, std::size_t n, std::size_t y,
                              std::span<const std::size_t> x,
                              std::span<const double> sums_of_squares, double collin_tol);

// Rows of the chosen stack columns, for the meats of the covariance.
std::vector<const double*> stack_columns(std::span<const double> stack, std::size_t n,
                                         std::span<const std::size_t> columns);

}  // namespace kestrel
