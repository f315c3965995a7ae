#include "estimators/least_squares.hpp"

#include <cmath>
#include <string>

#include "estimators/normal_equations.hpp"
#include "estimators/residuals.hpp"
#include "linalg/column_rows.hpp"
#include "linalg/solve.hpp"
#include "runtime/check.hpp"

namespace kestrel {
namespace {

// Which regressors a Cholesky factorisation of X'X in column order keeps: a
// pivot at most tol times its own diagonal means the column adds (almost)
// nothing to those kept before it. Columns already excluded are skipped.
std::vector<bool> independent_columns(std::span<const double> xtx, std::size_t k, double tol,
                                      std::vector<bool> excluded) {
  std::vector<double> r(checked_mul(k, k), 0.0);  // upper factor, row-major
  std::vector<bool> keep(k, false);
  for (std::size_t j = 0; j < k; ++j) {
    if (excluded[j]) continue;
    double pivot = xtx[j * k + j];
    for (std::size_t p = 0; p < j; ++p)
      if (keep[p]) pivot -= r[p * k + j] * r[p * k + j];
    if (!(pivot > tol * xtx[j * k + j])) continue;  // NaN data is dropped too
    keep[j] = true;
    const double d = std::sqrt(pivot);
    r[j * k + j] = d;
    for (std::size_t i = j + 1; i < k; ++i) {
      double v = xtx[j * k + i];
      for (std::size_t p = 0; p < j; ++p)
        if (keep[p]) v -= r[p * k + j] * r[p * k + i];
      r[j * k + i] = v / d;
    }
  }
  return keep;
}

}  // namespace

std::vector<const double*> stack_columns(std::span<const double> stack, std::size_t n,
                                         std::span<const std::size_t> columns) {
  std::vector<const double*> out;
  out.reserve(columns.size());
  for (const std::size_t c : columns) {
    if (n != 0 && (c >= stack.size() / n))
      throw ValueFailure("column " + std::to_string(c) + " is outside the data's " +
                         std::to_string(stack.size() / n) + " columns");
    out.push_back(stack.data() + c * n);
  }
  return out;
}

LeastSquaresFit least_squares(std::span<const double> stack, std::size_t n, std::size_t y,
                              std::span<const std::size_t> x,
                              std::span<const double> sums_of_squares, double collin_tol) {
  const std::size_t k = x.size();
  const std::vector<const double*> xcols = stack_columns(stack, n, x);
  const std::span<const double> ycol(stack_columns(stack, n, std::span(&y, 1))[0], n);
  if (!sums_of_squares.empty() && n != 0 && sums_of_squares.size() != stack.size() / n)
    throw ValueFailure("sum_squares needs one entry per data column");
  LeastSquaresFit fit;

  // All regressors' normal equations in one pass; the kept ones are a subset.
  ColumnRows all_rows(xcols);
  const NormalEquations ne = normal_equations(n, k, ycol, all_rows);

  // Absorbed: (almost) no variation left after the fixed effects.
  std::vector<bool> excluded(k, false);
  if (!sums_of_squares.empty()) {
    for (std::size_t j = 0; j < k; ++j) {
      const double before = sums_of_squares[x[j]];
      if (before == 0.0 || ne.xtx[j * k + j] <= collin_tol * before) {
        excluded[j] = true;
        fit.absorbed.push_back(j);
      }
    }
  }
  const std::vector<bool> keep = independent_columns(ne.xtx, k, collin_tol, excluded);
  for (std::size_t j = 0; j < k; ++j) {
    if (keep[j])
      fit.kept.push_back(j);
    else if (!excluded[j])
      fit.collinear.push_back(j);
  }

  // Coefficients and bread of the kept columns.
  const std::size_t kk = fit.kept.size();
  std::vector<double> xtx(checked_mul(kk, kk));
  std::vector<double> xty(kk);
  for (std::size_t a = 0; a < kk; ++a) {
    xty[a] = ne.xty[fit.kept[a]];
    for (std::size_t b = 0; b < kk; ++b) xtx[a * kk + b] = ne.xtx[fit.kept[a] * k + fit.kept[b]];
  }
  fit.coef = solve_kxk(xtx, xty, kk);
  fit.bread = invert_kxk(xtx, kk);

  std::vector<const double*> kept_cols;
  for (const std::size_t j : fit.kept) kept_cols.push_back(xcols[j]);
  ColumnRows kept_rows(kept_cols);
  fit.resid.resize(n);
  const SumsOfSquares ss = residuals_and_sums(n, kk, ycol, fit.coef, fit.resid, kept_rows);
  fit.rss = ss.rss;
  fit.tss = ss.tss;
  return fit;
}

}  // namespace kestrel
