#include "estimators/least_squares.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <string>

#include "estimators/normal_equations.hpp"
#include "estimators/residuals.hpp"
#include "linalg/solve.hpp"
#include "runtime/check.hpp"
#include "runtime/thread_pool.hpp"

namespace kestrel {
namespace {

// The layer is not bound to the entry points' row-order sums, so its sums
// over rows run in fixed chunks (added in chunk order), each a set of lanes
// over cache-sized blocks: the result depends on n and k only, never on the
// number of threads, and a pass reads the columns once.
constexpr std::size_t kChunk = std::size_t{1} << 15;
constexpr std::size_t kBlock = 1024;
constexpr std::size_t kLanes = 4;

using Lanes = std::array<double, kLanes>;

double lane_total(const Lanes& l) { return (l[0] + l[1]) + (l[2] + l[3]); }

// acc += sum_i term(i) over [0, len), lane i % kLanes.
template <class Term>
void add_lanes(Lanes& acc, std::size_t len, const Term& term) {
  std::size_t i = 0;
  for (; i + kLanes <= len; i += kLanes)
    for (std::size_t l = 0; l < kLanes; ++l) acc[l] += term(i + l);
  for (std::size_t l = 0; i < len; ++i, ++l) acc[l] += term(i);
}

void add_dot(Lanes& acc, const double* a, const double* b, std::size_t len) {
  add_lanes(acc, len, [&](std::size_t i) { return a[i] * b[i]; });
}

std::size_t chunks_of(std::size_t n) { return n == 0 ? 0 : (n - 1) / kChunk + 1; }

// Runs body(chunk, begin, end) for every chunk of n rows on the pool.
template <class Body>
void for_chunks(std::size_t n, Body&& body) {
  auto task = [&](std::size_t c) {
    const std::size_t begin = c * kChunk;
    body(c, begin, std::min(n, begin + kChunk));
  };
  thread_pool_run(chunks_of(n), TaskRef(task));
}

// Per-chunk partial sums, `width` per chunk, added in chunk order.
std::vector<double> chunk_totals(const std::vector<double>& partial, std::size_t width) {
  std::vector<double> total(width, 0.0);
  for (std::size_t at = 0; at < partial.size(); at += width)
    for (std::size_t e = 0; e < width; ++e) total[e] += partial[at + e];
  return total;
}

// X'X (k x k, row-major, exactly symmetric) and X'y of separate columns.
NormalEquations column_normal_equations(const std::vector<const double*>& x, const double* y,
                                        std::size_t n) {
  const std::size_t k = x.size();
  const std::size_t width = k * (k + 1) / 2 + k;  // upper triangle, then X'y
  std::vector<double> partial(checked_mul(chunks_of(n), width), 0.0);
  for_chunks(n, [&](std::size_t c, std::size_t begin, std::size_t end) {
    std::vector<Lanes> acc(width, Lanes{});
    for (std::size_t b0 = begin; b0 < end; b0 += kBlock) {
      const std::size_t len = std::min(kBlock, end - b0);
      std::size_t e = 0;
      for (std::size_t a = 0; a < k; ++a)
        for (std::size_t b = a; b < k; ++b) add_dot(acc[e++], x[a] + b0, x[b] + b0, len);
      for (std::size_t a = 0; a < k; ++a) add_dot(acc[e++], x[a] + b0, y + b0, len);
    }
    for (std::size_t e = 0; e < width; ++e) partial[c * width + e] = lane_total(acc[e]);
  });
  const std::vector<double> total = chunk_totals(partial, width);
  NormalEquations ne{std::vector<double>(checked_mul(k, k), 0.0), std::vector<double>(k, 0.0)};
  std::size_t e = 0;
  for (std::size_t a = 0; a < k; ++a)
    for (std::size_t b = a; b < k; ++b) ne.xtx[a * k + b] = ne.xtx[b * k + a] = total[e++];
  for (std::size_t a = 0; a < k; ++a) ne.xty[a] = total[e++];
  return ne;
}

// resid := y - sum_a x_a beta_a (each fitted value summed over a in order);
// RSS and TSS (around the mean of y; 0 without rows).
SumsOfSquares column_residuals(const std::vector<const double*>& x, const double* y,
                               std::span<const double> beta, std::size_t n,
                               std::span<double> resid) {
  const std::size_t k = x.size();
  std::vector<double> partial(checked_mul(chunks_of(n), 2), 0.0);  // RSS, sum of y
  for_chunks(n, [&](std::size_t c, std::size_t begin, std::size_t end) {
    Lanes rss{}, sum_y{};
    for (std::size_t b0 = begin; b0 < end; b0 += kBlock) {
      const std::size_t len = std::min(kBlock, end - b0);
      double* e = resid.data() + b0;
      std::fill(e, e + len, 0.0);
      for (std::size_t a = 0; a < k; ++a) {
        const double* xa = x[a] + b0;
        const double ba = beta[a];
        for (std::size_t i = 0; i < len; ++i) e[i] += xa[i] * ba;
      }
      for (std::size_t i = 0; i < len; ++i) e[i] = y[b0 + i] - e[i];
      add_dot(rss, e, e, len);
      const double* yb = y + b0;
      add_lanes(sum_y, len, [&](std::size_t i) { return yb[i]; });
    }
    partial[2 * c] = lane_total(rss);
    partial[2 * c + 1] = lane_total(sum_y);
  });
  const std::vector<double> first = chunk_totals(partial, 2);
  if (n == 0) return {first[0], 0.0};
  const double mean_y = first[1] / static_cast<double>(n);
  std::vector<double> centred(chunks_of(n), 0.0);
  for_chunks(n, [&](std::size_t c, std::size_t begin, std::size_t end) {
    Lanes tss{};
    add_lanes(tss, end - begin, [&](std::size_t i) {
      const double d = y[begin + i] - mean_y;
      return d * d;
    });
    centred[c] = lane_total(tss);
  });
  return {first[0], chunk_totals(centred, 1)[0]};
}

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
  const NormalEquations ne = column_normal_equations(xcols, ycol.data(), n);

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
  fit.resid.resize(n);
  const SumsOfSquares ss = column_residuals(kept_cols, ycol.data(), fit.coef, n, fit.resid);
  fit.rss = ss.rss;
  fit.tss = ss.tss;
  return fit;
}

}  // namespace kestrel
