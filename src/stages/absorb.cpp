#include "stages/absorb.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "runtime/check.hpp"

namespace kestrel {

StackSource StackSource::of(std::span<const double> column) {
  return {{reinterpret_cast<const char*>(column.data()), column.size(),
           static_cast<std::ptrdiff_t>(sizeof(double))},
          false};
}

std::vector<StackSource> sources_of(StridedMatrix x) {
  std::vector<StackSource> sources;
  sources.reserve(x.cols);
  for (std::size_t j = 0; j < x.cols; ++j)
    sources.push_back(StackSource::of(StridedVector<double>{
        x.data + static_cast<std::ptrdiff_t>(j) * x.col_stride, x.rows, x.row_stride}));
  return sources;
}

void fill_stack(std::span<double> stack, std::size_t n, std::span<const StackSource> sources,
                std::span<const std::uint8_t> mask) {
  const std::size_t m = sources.size();
  check_len(stack.size(), checked_mul(n, m));
  for (const StackSource& s : sources)
    if (!s.ones) check_len(s.values.len, mask.empty() ? n : mask.size());
  // Contiguous columns are copied one at a time; anything else (a C-ordered
  // matrix above all) row by row, so each source row is read once.
  const bool columns_contiguous = std::all_of(sources.begin(), sources.end(), [](const auto& s) {
    return s.ones || s.values.stride == static_cast<std::ptrdiff_t>(sizeof(double));
  });
  if (columns_contiguous || m == 1) {
    for (std::size_t j = 0; j < m; ++j) {
      double* dst = stack.data() + j * n;
      const StackSource& src = sources[j];
      if (src.ones) {
        std::fill(dst, dst + n, 1.0);
      } else if (mask.empty()) {
        for (std::size_t r = 0; r < n; ++r) dst[r] = src.values[r];
      } else {
        std::size_t w = 0;
        for (std::size_t i = 0; i < mask.size(); ++i)
          if (mask[i] != 0) dst[w++] = src.values[i];
      }
    }
    return;
  }
  std::size_t w = 0;
  const std::size_t rows = mask.empty() ? n : mask.size();
  for (std::size_t i = 0; i < rows; ++i) {
    if (!mask.empty() && mask[i] == 0) continue;
    for (std::size_t j = 0; j < m; ++j) stack[j * n + w] = sources[j][i];
    ++w;
  }
}

void unstack_rows(std::span<const double> stack, std::size_t n, std::size_t first,
                  std::size_t count, std::span<double> dst, std::size_t ld, std::size_t at) {
  check_len(stack.size(), checked_mul(n, checked_add(first, count)));
  if (n > 0 && count > 0) check_len(dst.size(), checked_add(checked_mul(n - 1, ld), at + count));
  for (std::size_t j = 0; j < count; ++j) {
    const double* col = stack.data() + (first + j) * n;
    for (std::size_t r = 0; r < n; ++r) dst[r * ld + at + j] = col[r];
  }
}

void absorbed_blocks(std::span<const StackSource> sources, std::span<const CodeSpan> fe,
                     std::span<const std::size_t> fe_groups, std::span<const std::uint8_t> mask,
                     std::size_t n, const SolveOptions& options,
                     std::span<const BlockPlacement> places) {
  for (const BlockPlacement& p : places) {
    check_len(sources.size(), checked_add(p.first, p.count));
    if (n > 0 && p.count > 0)
      check_len(p.block.size(), checked_add(checked_mul(n - 1, p.ld), p.at + p.count));
  }
  if (fe.empty()) {
    for (std::size_t r = 0; r < n; ++r)
      for (const BlockPlacement& p : places)
        for (std::size_t j = 0; j < p.count; ++j)
          p.block[r * p.ld + p.at + j] = sources[p.first + j][r];
    return;
  }
  const std::size_t m = sources.size();
  std::vector<double> stack(checked_mul(n, m));
  fill_stack(stack, n, sources, mask);
  demean_columns(stack, m, FixedEffects(fe, fe_groups, n), options);
  for (const BlockPlacement& p : places)
    unstack_rows(stack, n, p.first, p.count, p.block, p.ld, p.at);
}

namespace {

struct CentredSum {
  double ss = 0.0;   // 0 for a constant column
  double raw = 0.0;  // the plain sum of squares
};

// The centred sum of squares of n values times 2^-exponent. The scale is
// applied as two factors, each a normal double, so that it is exact over the
// whole exponent range. Weighted (s not null): the values are sqrt(w) x,
// the mean is the weighted one (total: the weights' sum) and each value
// loses sqrt(w) times it.
CentredSum centred_sum_of_squares(const double* col, std::size_t n, int exponent,
                                  const double* s = nullptr, double total = 0.0) {
  const double hi = std::ldexp(1.0, -exponent / 2);
  const double lo = std::ldexp(1.0, -exponent - (-exponent / 2));
  double ss = 0.0;
  double raw = 0.0;
  if (s != nullptr) {
    double sum = 0.0;
    for (std::size_t r = 0; r < n; ++r) sum += s[r] * (col[r] * hi * lo);
    const double mean = total > 0.0 ? sum / total : 0.0;
    for (std::size_t r = 0; r < n; ++r) {
      const double v = col[r] * hi * lo;
      const double d = v - s[r] * mean;
      ss += d * d;
      raw += v * v;
    }
    return {ss <= 1e-20 * raw ? 0.0 : ss, raw};
  }
  double sum = 0.0;
  for (std::size_t r = 0; r < n; ++r) sum += col[r] * hi * lo;
  const double mean = n > 0 ? sum / static_cast<double>(n) : 0.0;
  for (std::size_t r = 0; r < n; ++r) {
    const double v = col[r] * hi * lo;
    ss += (v - mean) * (v - mean);
    raw += v * v;
  }
  // Deviations below 1e-10 of the level are rounding of a constant (its
  // mean is rarely exact): the column is constant.
  return {ss <= 1e-20 * raw ? 0.0 : ss, raw};
}

}  // namespace

std::vector<double> centred_sums_of_squares(std::span<const double> stack, std::size_t n,
                                            std::size_t m, std::vector<double>* raw,
                                            std::span<const double> weights,
                                            std::span<const double> roots) {
  check_len(stack.size(), checked_mul(n, m));
  std::vector<double> scale;
  double total = 0.0;
  const double* s = nullptr;
  if (!weights.empty()) {
    check_len(weights.size(), n);
    for (std::size_t r = 0; r < n; ++r) total += weights[r];
    if (roots.size() < n) {
      scale.resize(n);
      for (std::size_t r = 0; r < n; ++r) scale[r] = std::sqrt(weights[r]);
    }
    s = roots.size() >= n ? roots.data() : scale.data();
  }
  std::vector<double> out(m, 0.0);
  if (raw != nullptr) raw->assign(m, 0.0);
  for (std::size_t j = 0; j < m; ++j) {
    const double* col = stack.data() + j * n;
    const CentredSum plain = centred_sum_of_squares(col, n, 0, s, total);
    if (raw != nullptr) (*raw)[j] = plain.raw;
    if (std::isfinite(plain.raw) && plain.raw >= 0x1p-900) {
      out[j] = plain.ss;
      continue;
    }
    // Squares that overflowed or fell towards the subnormal range (values of
    // 1e160 or 1e-160): the sums again with the largest magnitude scaled to
    // [0.5, 1), so that the constant test is sound, then back in the
    // column's units, where a sum beyond the doubles is infinite and one
    // below them the smallest positive double (never a false 0).
    double largest = 0.0;
    for (std::size_t r = 0; r < n; ++r) largest = std::fmax(largest, std::fabs(col[r]));
    if (!std::isfinite(largest) || largest == 0.0) {
      out[j] = plain.ss;
      continue;
    }
    int exponent = 0;
    (void)std::frexp(largest, &exponent);
    const double scaled = centred_sum_of_squares(col, n, exponent, s, total).ss;
    const double back = std::ldexp(scaled, 2 * exponent);
    out[j] = scaled > 0.0 && back == 0.0 ? std::numeric_limits<double>::denorm_min() : back;
  }
  return out;
}

}  // namespace kestrel

namespace kestrel {

std::size_t coefficient_count(std::span<const std::size_t> fe_groups) {
  std::size_t n_coef = 0;
  for (const std::size_t g : fe_groups) n_coef = checked_add(n_coef, g);
  return n_coef;
}

Absorbed absorb_stage(std::span<double> data, std::size_t n,
                      std::span<const StackSource> sources, std::span<const std::uint8_t> mask,
                      std::span<const CodeSpan> fe, std::span<const std::size_t> fe_groups,
                      const AbsorbSettings& settings) {
  const std::size_t m = sources.size();
  check_len(data.size(), checked_mul(n, m));
  if (!settings.weights.empty()) check_len(settings.weights.size(), n);
  Absorbed out;
  SolveOptions options;
  options.tol = settings.tol;
  options.max_iter = settings.max_iter;
  options.solver = settings.solver;
  options.observer = settings.observer;
  options.start = settings.start;
  if (settings.coefficients) options.coefficients = &out.coefficients;
  fill_stack(data, n, sources, mask.size() == n ? std::span<const std::uint8_t>() : mask);
  // One FixedEffects value for the whole solve: tables, group sizes and the
  // weights' roots, which also scale the rows here.
  if (!settings.weights.empty()) {
    out.roots.resize(n);
    for (std::size_t i = 0; i < n; ++i) out.roots[i] = std::sqrt(settings.weights[i]);
  }
  const FixedEffects fixed(fe, fe_groups, n, settings.weights, out.roots);
  if (fixed.weighted()) {
    const std::span<const double> roots = fixed.roots();
    for (std::size_t j = 0; j < m; ++j)
      for (std::size_t i = 0; i < n; ++i) data[j * n + i] = roots[i] * data[j * n + i];
  }
  std::vector<double> raw_sums;
  out.sums = centred_sums_of_squares(data, n, m, &raw_sums, fixed.weights(), fixed.roots());
  options.column_scales = out.sums;
  options.column_raw_sums = raw_sums;
  if (!settings.slopes.empty()) {
    SlopeReport slopes = demean_slopes_columns(data, m, fixed, settings.slopes, options);
    out.report = slopes.report;
    out.level_ranks = std::move(slopes.level_ranks);
    return out;
  }
  out.report = demean_columns(data, m, fixed, options);
  if (settings.coefficients) {
    // Without fixed effects (or with no column) there are no coefficients.
    const std::size_t n_coef = coefficient_count(fe_groups);
    out.coefficients.resize(m);
    for (std::vector<double>& v : out.coefficients) v.resize(n_coef, 0.0);
  }
  return out;
}

}  // namespace kestrel
