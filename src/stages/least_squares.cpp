#include "stages/least_squares.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <string>

#include "stages/normal_equations.hpp"
#include "stages/residuals.hpp"
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

// A column's power-of-two scale: its values times 2^-exponent have their
// largest magnitude in [0.5, 1), so that no square or product of the sums
// below overflows or underflows whatever the units (values of 1e200 or
// 1e-200), and the solver's absolute pivot threshold means the same for every
// column. Multiplying by a power of two is exact, so a column given in other
// units (times 2^m) gives the very same scaled values. A column without
// finite nonzero values keeps its scale (exponent 0).
struct Scale {
  int exponent = 0;
  double hi = 1.0;  // hi * lo = 2^-exponent, each a normal double
  double lo = 1.0;
  double operator()(double v) const { return v * hi * lo; }
};

Scale scale_of_largest(double largest) {
  Scale s;
  if (!(largest > 0.0) || !std::isfinite(largest)) return s;
  (void)std::frexp(largest, &s.exponent);
  const int half = -s.exponent / 2;
  s.hi = std::ldexp(1.0, half);
  s.lo = std::ldexp(1.0, -s.exponent - half);
  return s;
}

// Scales of the given columns from their largest magnitudes (NaN ignored).
std::vector<Scale> column_scales(const std::vector<const double*>& cols, std::size_t n) {
  const std::size_t m = cols.size();
  std::vector<double> partial(checked_mul(chunks_of(n), m), 0.0);
  for_chunks(n, [&](std::size_t c, std::size_t begin, std::size_t end) {
    for (std::size_t j = 0; j < m; ++j) {
      double largest = 0.0;
      for (std::size_t i = begin; i < end; ++i) largest = std::fmax(largest, std::fabs(cols[j][i]));
      partial[c * m + j] = largest;
    }
  });
  std::vector<Scale> out(m);
  for (std::size_t j = 0; j < m; ++j) {
    double largest = 0.0;
    for (std::size_t at = j; at < partial.size(); at += m) largest = std::fmax(largest, partial[at]);
    out[j] = scale_of_largest(largest);
  }
  return out;
}

// A block of rows of the scaled columns: `len` values of column j at
// data() + j * kBlock.
class ScaledBlock {
 public:
  explicit ScaledBlock(std::size_t cols) : values_(checked_mul(cols, kBlock)) {}
  const double* fill(std::size_t j, const double* col, Scale s, std::size_t len) {
    double* out = values_.data() + j * kBlock;
    for (std::size_t i = 0; i < len; ++i) out[i] = s(col[i]);
    return out;
  }

 private:
  std::vector<double> values_;
};

// X'X (k x k, row-major, exactly symmetric) and X'y of separate columns,
// each column scaled by its Scale first.
NormalEquations column_normal_equations(const std::vector<const double*>& x, const double* y,
                                        std::size_t n, std::span<const Scale> xs, Scale ys) {
  const std::size_t k = x.size();
  const std::size_t width = k * (k + 1) / 2 + k;  // upper triangle, then X'y
  std::vector<double> partial(checked_mul(chunks_of(n), width), 0.0);
  for_chunks(n, [&](std::size_t c, std::size_t begin, std::size_t end) {
    std::vector<Lanes> acc(width, Lanes{});
    ScaledBlock block(k + 1);
    std::vector<const double*> xb(k);
    for (std::size_t b0 = begin; b0 < end; b0 += kBlock) {
      const std::size_t len = std::min(kBlock, end - b0);
      for (std::size_t a = 0; a < k; ++a) xb[a] = block.fill(a, x[a] + b0, xs[a], len);
      const double* yb = block.fill(k, y + b0, ys, len);
      std::size_t e = 0;
      for (std::size_t a = 0; a < k; ++a)
        for (std::size_t b = a; b < k; ++b) add_dot(acc[e++], xb[a], xb[b], len);
      for (std::size_t a = 0; a < k; ++a) add_dot(acc[e++], xb[a], yb, len);
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

// resid := y - sum_a x_a beta_a (each fitted value summed over a in order)
// in the scaled units (beta the scaled coefficients), then back in y's;
// RSS and TSS (around the mean of y; 0 without rows) summed in the scaled
// units, then back in y's squared.
SumsOfSquares column_residuals(const std::vector<const double*>& x, const double* y,
                               std::span<const double> beta, std::size_t n,
                               std::span<double> resid, std::span<const Scale> xs, Scale ys) {
  const std::size_t k = x.size();
  std::vector<double> partial(checked_mul(chunks_of(n), 2), 0.0);  // RSS, sum of y
  for_chunks(n, [&](std::size_t c, std::size_t begin, std::size_t end) {
    Lanes rss{}, sum_y{};
    ScaledBlock block(1);
    for (std::size_t b0 = begin; b0 < end; b0 += kBlock) {
      const std::size_t len = std::min(kBlock, end - b0);
      double* e = resid.data() + b0;
      std::fill(e, e + len, 0.0);
      for (std::size_t a = 0; a < k; ++a) {
        const double* xa = x[a] + b0;
        const double ba = beta[a];
        const Scale sa = xs[a];
        for (std::size_t i = 0; i < len; ++i) e[i] += sa(xa[i]) * ba;
      }
      const double* yb = block.fill(0, y + b0, ys, len);
      for (std::size_t i = 0; i < len; ++i) e[i] = yb[i] - e[i];
      add_dot(rss, e, e, len);
      add_lanes(sum_y, len, [&](std::size_t i) { return yb[i]; });
      for (std::size_t i = 0; i < len; ++i) e[i] = std::ldexp(e[i], ys.exponent);
    }
    partial[2 * c] = lane_total(rss);
    partial[2 * c + 1] = lane_total(sum_y);
  });
  const std::vector<double> first = chunk_totals(partial, 2);
  const double rss = std::ldexp(first[0], 2 * ys.exponent);
  if (n == 0) return {rss, 0.0};
  const double mean_y = first[1] / static_cast<double>(n);
  std::vector<double> centred(chunks_of(n), 0.0);
  for_chunks(n, [&](std::size_t c, std::size_t begin, std::size_t end) {
    Lanes tss{};
    add_lanes(tss, end - begin, [&](std::size_t i) {
      const double d = ys(y[begin + i]) - mean_y;
      return d * d;
    });
    centred[c] = lane_total(tss);
  });
  return {rss, std::ldexp(chunk_totals(centred, 1)[0], 2 * ys.exponent)};
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

  // Every column on a common footing first (see Scale): what follows works
  // in the scaled units, and the results are converted back exactly.
  std::vector<const double*> all = xcols;
  all.push_back(ycol.data());
  std::vector<Scale> scales = column_scales(all, n);
  const Scale ys = scales.back();
  scales.pop_back();

  // All regressors' normal equations in one pass; the kept ones are a subset.
  const NormalEquations ne = column_normal_equations(xcols, ycol.data(), n, scales, ys);

  // Absorbed: (almost) no variation left after the fixed effects, compared
  // in the scaled units. A sum before absorption that overflowed or is
  // subnormal tells nothing; the column is then left to the collinearity
  // check.
  std::vector<bool> excluded(k, false);
  if (!sums_of_squares.empty()) {
    for (std::size_t j = 0; j < k; ++j) {
      const double before = sums_of_squares[x[j]];
      const double scaled = std::ldexp(before, -2 * scales[j].exponent);
      const bool known = std::isnormal(before);
      if (before == 0.0 || (known && ne.xtx[j * k + j] <= collin_tol * scaled)) {
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
  const std::vector<double> coef = solve_kxk(xtx, xty, kk);
  fit.bread = invert_kxk(xtx, kk);

  std::vector<const double*> kept_cols;
  std::vector<Scale> kept_scales;
  for (const std::size_t j : fit.kept) {
    kept_cols.push_back(xcols[j]);
    kept_scales.push_back(scales[j]);
  }
  fit.resid.resize(n);
  const SumsOfSquares ss =
      column_residuals(kept_cols, ycol.data(), coef, n, fit.resid, kept_scales, ys);
  fit.rss = ss.rss;
  fit.tss = ss.tss;

  // Back in the columns' own units: with x_a scaled by 2^-p_a and y by
  // 2^-p_y, beta_a is the scaled one times 2^(p_y - p_a) and (X'X)^-1_ab the
  // scaled one times 2^-(p_a + p_b).
  fit.coef.resize(kk);
  for (std::size_t a = 0; a < kk; ++a) {
    fit.coef[a] = std::ldexp(coef[a], ys.exponent - kept_scales[a].exponent);
    for (std::size_t b = 0; b < kk; ++b)
      fit.bread[a * kk + b] = std::ldexp(fit.bread[a * kk + b],
                                         -(kept_scales[a].exponent + kept_scales[b].exponent));
  }
  return fit;
}

}  // namespace kestrel
