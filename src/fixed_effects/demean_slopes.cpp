#include "fixed_effects/demean_slopes.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "fixed_effects/accuracy.hpp"
#include "runtime/check.hpp"

namespace kestrel {

namespace {

// Eigenvalues below this fraction of the largest of a level's equilibrated
// Gram matrix (whose diagonal is 1) are collinearity, not signal: a slope
// variable constant in the level beside its intercept leaves one of about
// 1e-16.
constexpr double kRankTolerance = 1e-9;

// a (k x k, row-major, symmetric) becomes diagonal, its eigenvalues, and v
// the eigenvectors as columns, by cyclic Jacobi rotations (k is the handful
// of terms of one level).
void symmetric_eigen(std::vector<double>& a, std::vector<double>& v, std::size_t k) {
  v.assign(k * k, 0.0);
  for (std::size_t i = 0; i < k; ++i) v[i * k + i] = 1.0;
  for (int sweep = 0; sweep < 64; ++sweep) {
    double off = 0.0;
    double diag = 0.0;
    for (std::size_t i = 0; i < k; ++i) {
      diag += a[i * k + i] * a[i * k + i];
      for (std::size_t j = i + 1; j < k; ++j) off += a[i * k + j] * a[i * k + j];
    }
    if (!(off > 1e-32 * diag)) return;  // also on NaN: nothing sensible to rotate
    for (std::size_t p = 0; p < k; ++p) {
      for (std::size_t q = p + 1; q < k; ++q) {
        const double apq = a[p * k + q];
        if (apq == 0.0) continue;
        const double theta = (a[q * k + q] - a[p * k + p]) / (2.0 * apq);
        const double t = std::fabs(theta) > 1e150
                             ? 0.5 / theta
                             : std::copysign(1.0, theta) /
                                   (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
        const double c = 1.0 / std::sqrt(t * t + 1.0);
        const double s = t * c;
        for (std::size_t r = 0; r < k; ++r) {
          const double arp = a[r * k + p];
          const double arq = a[r * k + q];
          a[r * k + p] = c * arp - s * arq;
          a[r * k + q] = s * arp + c * arq;
        }
        for (std::size_t r = 0; r < k; ++r) {
          const double apr = a[p * k + r];
          const double aqr = a[q * k + r];
          a[p * k + r] = c * apr - s * aqr;
          a[q * k + r] = s * apr + c * aqr;
        }
        for (std::size_t r = 0; r < k; ++r) {
          const double vrp = v[r * k + p];
          const double vrq = v[r * k + q];
          v[r * k + p] = c * vrp - s * vrq;
          v[r * k + q] = s * vrp + c * vrq;
        }
      }
    }
  }
}

// One fixed effect's terms at every row (row-major, k per row, scaled by
// sqrt(w) when weighted) and, per level, the pseudo-inverse of their Gram
// matrix (k * k values).
struct TermBlock {
  CodeSpan codes;
  std::size_t groups = 0;
  std::size_t k = 0;
  std::size_t offset = 0;  // of its coefficients among all
  std::vector<double> values;
  std::vector<double> pinv;
  std::size_t rank = 0;
};

TermBlock term_block(CodeSpan codes, std::size_t groups, const SlopeTerms& terms, std::size_t n,
                     std::span<const double> roots) {
  TermBlock b;
  b.codes = codes;
  b.groups = groups;
  b.k = (terms.intercept ? 1 : 0) + terms.slopes.size();
  if (b.k == 0) panic("a fixed effect without terms");
  for (const std::span<const double> s : terms.slopes) check_len(s.size(), n);
  b.values.resize(checked_mul(n, b.k));
  for (std::size_t r = 0; r < n; ++r) {
    const double root = roots.empty() ? 1.0 : roots[r];
    double* row = b.values.data() + r * b.k;
    std::size_t j = 0;
    if (terms.intercept) row[j++] = root;
    for (const std::span<const double> s : terms.slopes) row[j++] = root * s[r];
  }
  const std::size_t kk = b.k * b.k;
  std::vector<double> gram(checked_mul(groups, kk), 0.0);
  for (std::size_t r = 0; r < n; ++r) {
    const std::size_t g = check_code(codes[r], groups);
    const double* row = b.values.data() + r * b.k;
    double* m = gram.data() + g * kk;
    for (std::size_t i = 0; i < b.k; ++i)
      for (std::size_t j = 0; j < b.k; ++j) m[i * b.k + j] += row[i] * row[j];
  }
  b.pinv.assign(gram.size(), 0.0);
  std::vector<double> d(b.k);
  std::vector<double> a(kk);
  std::vector<double> v;
  for (std::size_t g = 0; g < groups; ++g) {
    const double* m = gram.data() + g * kk;
    double largest = 0.0;
    for (std::size_t i = 0; i < b.k; ++i) largest = std::fmax(largest, m[i * b.k + i]);
    if (!(largest > 0.0) || !std::isfinite(largest)) continue;  // no rows, or all zero
    // Equilibrated to a unit diagonal, so that the rank test does not depend
    // on the variables' units; a term that is zero in the level (a slope
    // variable of zeros) is left out.
    for (std::size_t i = 0; i < b.k; ++i) {
      const double mii = m[i * b.k + i];
      d[i] = mii > 1e-300 * largest ? 1.0 / std::sqrt(mii) : 0.0;
    }
    for (std::size_t i = 0; i < b.k; ++i)
      for (std::size_t j = 0; j < b.k; ++j) a[i * b.k + j] = m[i * b.k + j] * d[i] * d[j];
    symmetric_eigen(a, v, b.k);
    double top = 0.0;
    for (std::size_t i = 0; i < b.k; ++i) top = std::fmax(top, a[i * b.k + i]);
    double* p = b.pinv.data() + g * kk;
    for (std::size_t e = 0; e < b.k; ++e) {
      const double lambda = a[e * b.k + e];
      if (!(lambda > kRankTolerance * top)) continue;
      ++b.rank;
      for (std::size_t i = 0; i < b.k; ++i)
        for (std::size_t j = 0; j < b.k; ++j)
          p[i * b.k + j] += d[i] * v[i * b.k + e] * v[j * b.k + e] * d[j] / lambda;
    }
  }
  return b;
}

// out := D a (every row, the fixed effects' terms summed in order).
void apply_d(std::span<const TermBlock> blocks, const std::vector<double>& a, std::size_t n,
             std::vector<double>& out) {
  std::fill(out.begin(), out.end(), 0.0);
  for (const TermBlock& b : blocks) {
    for (std::size_t r = 0; r < n; ++r) {
      const double* row = b.values.data() + r * b.k;
      const double* c = a.data() + b.offset + static_cast<std::size_t>(b.codes[r]) * b.k;
      double fit = 0.0;
      for (std::size_t j = 0; j < b.k; ++j) fit += row[j] * c[j];
      out[r] += fit;
    }
  }
}

// g := D' v, in row order.
void apply_dt(std::span<const TermBlock> blocks, const double* v, std::size_t n,
              std::vector<double>& g) {
  std::fill(g.begin(), g.end(), 0.0);
  for (const TermBlock& b : blocks) {
    for (std::size_t r = 0; r < n; ++r) {
      const double* row = b.values.data() + r * b.k;
      double* c = g.data() + b.offset + static_cast<std::size_t>(b.codes[r]) * b.k;
      for (std::size_t j = 0; j < b.k; ++j) c[j] += row[j] * v[r];
    }
  }
}

// z := M+ g, level by level.
void precondition(std::span<const TermBlock> blocks, const std::vector<double>& g,
                  std::vector<double>& z) {
  for (const TermBlock& b : blocks) {
    const std::size_t kk = b.k * b.k;
    for (std::size_t l = 0; l < b.groups; ++l) {
      const double* p = b.pinv.data() + l * kk;
      const double* gl = g.data() + b.offset + l * b.k;
      double* zl = z.data() + b.offset + l * b.k;
      for (std::size_t i = 0; i < b.k; ++i) {
        double s = 0.0;
        for (std::size_t j = 0; j < b.k; ++j) s += p[i * b.k + j] * gl[j];
        zl[i] = s;
      }
    }
  }
}

double dot(const double* a, const double* b, std::size_t n) {
  double s = 0.0;
  for (std::size_t i = 0; i < n; ++i) s += a[i] * b[i];
  return s;
}

}  // namespace

SlopeReport demean_slopes_columns(std::span<double> data, std::size_t ncols,
                                  const FixedEffects& fe, std::span<const SlopeTerms> terms,
                                  const SolveOptions& options) {
  const std::size_t n = fe.rows();
  check_len(data.size(), checked_mul(n, ncols));
  if (terms.size() != fe.size()) panic("one set of slope terms per fixed effect");
  if (!options.column_scales.empty()) check_len(options.column_scales.size(), ncols);
  SlopeReport out;
  out.report.stage = DemeanStage::Cg;
  std::vector<TermBlock> blocks;
  std::size_t n_coef = 0;
  for (std::size_t q = 0; q < fe.size(); ++q) {
    blocks.push_back(term_block(fe.codes()[q], fe.n_groups()[q], terms[q], n, fe.roots()));
    blocks.back().offset = n_coef;
    n_coef = checked_add(n_coef, checked_mul(blocks.back().groups, blocks.back().k));
    out.level_ranks.push_back(blocks.back().rank);
  }
  std::vector<double> a(n_coef), g(n_coef), z(n_coef), p(n_coef), y(n), q(n);
  const double tol2 = options.tol * options.tol;
  std::uint64_t seen = 0;  // iterations of earlier columns, for the observer
  for (std::size_t c = 0; c < ncols; ++c) {
    double* res = data.data() + c * n;
    std::copy(res, res + n, y.begin());
    const double yy = dot(y.data(), y.data(), n);
    const double scale = options.column_scales.empty() ? yy : options.column_scales[c];
    const double floor2 = kScaleFloor * kScaleFloor * scale;
    std::fill(a.begin(), a.end(), 0.0);
    apply_dt(blocks, res, n, g);
    precondition(blocks, g, z);
    p = z;
    double rz = dot(g.data(), z.data(), n_coef);
    std::uint64_t iter = 0;
    bool converged = false;
    bool limit = false;
    while (true) {
      if (!std::isfinite(rz)) break;
      const double rr = dot(res, res, n);
      if (rz <= tol2 * std::fmax(rr, floor2) ||
          rz <= kRoundingFloor * kRoundingFloor * yy) {
        converged = true;
        break;
      }
      if (iter >= options.max_iter) {
        limit = true;
        break;
      }
      apply_d(blocks, p, n, q);
      const double pq = dot(q.data(), q.data(), n);
      if (!(pq > 0.0) || !std::isfinite(pq)) break;  // breakdown
      const double alpha = rz / pq;
      for (std::size_t i = 0; i < n_coef; ++i) a[i] += alpha * p[i];
      for (std::size_t r = 0; r < n; ++r) res[r] -= alpha * q[r];
      apply_dt(blocks, res, n, g);
      precondition(blocks, g, z);
      const double rz_next = dot(g.data(), z.data(), n_coef);
      const double beta = rz_next / rz;
      for (std::size_t i = 0; i < n_coef; ++i) p[i] = z[i] + beta * p[i];
      rz = rz_next;
      ++iter;
      if (options.observer != nullptr)
        options.observer->iteration(seen + iter,
                                    rr > 0.0 ? std::sqrt(std::fmax(rz, 0.0) / rr) : 0.0);
    }
    // The residual from the coefficients reached, free of the updates'
    // accumulated rounding.
    apply_d(blocks, a, n, q);
    for (std::size_t r = 0; r < n; ++r) res[r] = y[r] - q[r];
    seen += iter;
    out.report.cg_iterations = std::max(out.report.cg_iterations, iter);
    if (!converged) {
      out.report.converged = false;
      if (limit) out.report.limit_reached = true;
    }
  }
  return out;
}

}  // namespace kestrel
