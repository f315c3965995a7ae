#include "estimators/iv2sls.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "estimators/absorb.hpp"
#include "estimators/covariance.hpp"
#include "estimators/fit_stats.hpp"
#include "estimators/residuals.hpp"
#include "estimators/sample.hpp"
#include "fixed_effects/absorbed_dof.hpp"
#include "fixed_effects/demean.hpp"
#include "runtime/check.hpp"
#include "linalg/matmul.hpp"
#include "linalg/solve.hpp"
#include "linalg/symmetric.hpp"

namespace kestrel {
namespace {

using Columns = std::span<const std::span<const double>>;

// M'M of a row-major n x m block: upper triangle accumulated row by row,
// then mirrored.
std::vector<double> gram(std::span<const double> block, std::size_t n, std::size_t m) {
  std::vector<double> g(checked_mul(m, m), 0.0);
  for (std::size_t i = 0; i < n; ++i) symmetric_add_outer_upper(g.data(), block.data() + i * m, m);
  symmetric_mirror_upper(g.data(), m);
  return g;
}

// Sum over rows of (x_i - sum_{a<m} block[i][a] g[a])^2: the residual sum of
// squares of column `col` of the row-major n x ke block N on the first m
// columns of the row-major n x d block Z with coefficients g.
double rss_on(std::span<const double> z, std::size_t d, std::size_t m,
              std::span<const double> g, std::span<const double> nb, std::size_t ke,
              std::size_t n) {
  double rss = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double* zi = z.data() + i * d;
    double fit = 0.0;
    for (std::size_t a = 0; a < m; ++a) fit += zi[a] * g[a];
    const double r = nb[i * ke] - fit;
    rss += r * r;
  }
  return rss;
}

}  // namespace

Iv2slsResult iv2sls(std::span<const double> y, Columns x_exog, Columns x_endog, Columns z_excl,
                    std::span<const std::string> x_names, std::span<const std::string> endog_names,
                    std::span<const CodeSpan> fe_codes, std::span<const CodeSpan> cl_codes,
                    double tol, std::uint64_t max_iter, std::string_view vcov_type,
                    bool add_intercept) {
  const std::size_t n0 = y.size();
  const std::size_t kx0 = x_exog.size();
  const std::size_t kx = checked_add(kx0, add_intercept ? 1 : 0);
  const std::size_t ke = x_endog.size();
  const std::size_t kz = z_excl.size();
  const std::size_t d = checked_add(kx, kz);
  const std::size_t k = checked_add(kx, ke);
  const std::size_t n_fe = fe_codes.size();
  Iv2slsResult out;

  // Lengths: data columns may be longer than y_col (the rest is not read);
  // code columns must match it exactly.
  for (Columns cols : {x_exog, x_endog, z_excl})
    for (std::span<const double> col : cols) check_len(col.size(), n0);
  check_code_lengths(fe_codes, n0, "fe_cols", "y_col");
  check_code_lengths(cl_codes, n0, "cl_cols", "y_col");

  // Endogenous regressors: the first stage and its F statistic are defined
  // by the first endogenous column, so a call with rows needs one.
  if (ke == 0 && n0 > 0)
    panic("rust_iv2sls: x_endog_cols is empty; two-stage least squares needs at least one "
          "endogenous regressor column");

  // Intercept with fixed effects: demeaning turns the column of ones into
  // zeros (exactly for one fixed effect, up to rounding for several, where
  // the fit would return an enormous intercept as a success). The design is
  // singular whatever the data, so fail before the expensive work.
  if (add_intercept && n_fe >= 1) throw ValueFailure("Singular matrix in 2SLS");

  // Sample: singletons of the fixed effects leave every block and code column.
  const Sample sample = sample_of_rows(n0, fe_codes, cl_codes);
  const std::size_t n = sample.n;
  out.removed = sample.removed;

  // Blocks: y, Z = [E | W] (n x d, intercept last in E) and N (n x ke), all
  // row-major. With fixed effects the used rows go through one stack
  // [y | E | N | W] first, absorbed column by column (one fixed effect) or
  // jointly (several: the stack's composition steers the shared stopping
  // rule), and are then laid out row by row.
  std::vector<StackSource> sources{StackSource::of(y)};
  for (std::span<const double> col : x_exog) sources.push_back(StackSource::of(col));
  if (add_intercept) sources.push_back(StackSource::constant_one());
  for (std::span<const double> col : x_endog) sources.push_back(StackSource::of(col));
  for (std::span<const double> col : z_excl) sources.push_back(StackSource::of(col));
  std::vector<double> ys(n);
  std::vector<double> z(checked_mul(n, d));
  std::vector<double> nb(checked_mul(n, ke));
  if (n_fe == 0) {
    for (std::size_t i = 0; i < n; ++i) {
      ys[i] = sources[0][i];
      for (std::size_t a = 0; a < kx; ++a) z[i * d + a] = sources[1 + a][i];
      for (std::size_t j = 0; j < ke; ++j) nb[i * ke + j] = sources[1 + kx + j][i];
      for (std::size_t b = 0; b < kz; ++b) z[i * d + kx + b] = sources[1 + kx + ke + b][i];
    }
  } else {
    const std::size_t cols = checked_add(checked_add(1, d), ke);
    std::vector<double> stack(checked_mul(n, cols));
    fill_stack(stack, n, sources, sample.mask);
    DemeanOptions options;
    options.tol = tol;
    options.max_iter = max_iter;
    demean_columns(stack, n, cols, sample.fe.spans, sample.fe_groups, options);
    unstack_rows(stack, n, 0, 1, ys, 1, 0);
    unstack_rows(stack, n, 1, kx, z, d, 0);
    unstack_rows(stack, n, 1 + kx, ke, nb, ke, 0);
    unstack_rows(stack, n, 1 + kx + ke, kz, z, d, kx);
  }

  // First stage: Pi = (Z'Z)^-1 Z'N through the inverse, which serves every
  // endogenous column.
  const std::vector<double> ztz = gram(z, n, d);
  const std::vector<double> ztz_inv = invert_kxk(ztz, d);
  std::vector<double> ztn(checked_mul(d, ke), 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    const double* zi = z.data() + i * d;
    const double* ni = nb.data() + i * ke;
    for (std::size_t a = 0; a < d; ++a) {
      const double za = zi[a];
      double* row = ztn.data() + a * ke;
      for (std::size_t j = 0; j < ke; ++j) row[j] += za * ni[j];
    }
  }
  const std::vector<double> pi = matmul(ztz_inv, ztn, d, d, ke);

  // Projected regressors X^ = [E | Z Pi], row-major n x k.
  std::vector<double> xh(checked_mul(n, k));
  for (std::size_t i = 0; i < n; ++i) {
    const double* zi = z.data() + i * d;
    double* xi = xh.data() + i * k;
    std::copy_n(zi, kx, xi);
    for (std::size_t j = 0; j < ke; ++j) {
      // A local sum: rows overlap in the pipeline instead of waiting on
      // stores to the row being written.
      double fitted = 0.0;
      for (std::size_t a = 0; a < d; ++a) fitted += zi[a] * pi[a * ke + j];
      xi[kx + j] = fitted;
    }
  }

  // First-stage F of the first endogenous column: restricted on E, whose
  // cross products are the leading blocks of Z'Z and Z'N, against
  // unrestricted on Z. It stays 0.0 without excluded instruments, and
  // without an endogenous column (possible only without rows).
  if (ke != 0 && kz != 0) {
    std::vector<double> ete(checked_mul(kx, kx));
    for (std::size_t a = 0; a < kx; ++a)
      std::copy_n(ztz.data() + a * d, kx, ete.data() + a * kx);
    std::vector<double> ztx(d);
    for (std::size_t a = 0; a < d; ++a) ztx[a] = ztn[a * ke];
    const std::vector<double> g_r =
        solve_kxk(ete, std::span<const double>(ztx).first(kx), kx);
    const std::vector<double> g_u = solve_kxk(ztz, ztx, d);
    const double rss_r = rss_on(z, d, kx, g_r, nb, ke, n);
    const double rss_u = rss_on(z, d, d, g_u, nb, ke, n);
    if (rss_u > 0.0) {
      const double df_u = (static_cast<double>(n) - static_cast<double>(kx)) -
                          static_cast<double>(kz);
      out.first_stage_f = ((rss_r - rss_u) / static_cast<double>(kz)) / (rss_u / df_u);
    }
  }

  // Second stage: A = X^'X accumulated in full (it is not symmetric) and
  // c = X^'y, in one pass; X = [E | N] is read from its blocks.
  std::vector<double> amat(checked_mul(k, k), 0.0);
  std::vector<double> cvec(k, 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    const double* xhi = xh.data() + i * k;
    const double* zi = z.data() + i * d;
    const double* ni = nb.data() + i * ke;
    for (std::size_t a = 0; a < k; ++a) {
      const double xa = xhi[a];
      double* row = amat.data() + a * k;
      for (std::size_t b = 0; b < kx; ++b) row[b] += xa * zi[b];
      for (std::size_t j = 0; j < ke; ++j) row[kx + j] += xa * ni[j];
      cvec[a] += xa * ys[i];
    }
  }
  out.beta = solve_kxk(amat, cvec, k);
  for (double b : out.beta)
    if (std::isnan(b)) throw ValueFailure("Singular matrix in 2SLS");

  // Residuals from the observed endogenous values, X = [E | N] gathered row
  // by row, and the fit statistics on the (demeaned) y; k and the absorbed
  // degrees of freedom enter only the adjusted R-squared.
  out.resid.resize(n);
  std::vector<double> xrow(k);
  const auto [rss, tss] = residuals_and_sums(n, k, ys, out.beta, out.resid, [&](std::size_t i) {
    std::copy_n(z.data() + i * d, kx, xrow.data());
    std::copy_n(nb.data() + i * ke, ke, xrow.data() + kx);
    return xrow.data();
  });
  out.absorbed = n_fe >= 1 ? absorbed_dof_internal(sample.fe.spans) : 0;
  const FitStats stats = fit_stats(rss, tss, n, k, out.absorbed);
  out.r2 = stats.r2;
  out.adj_r2 = stats.adj_r2;

  // Bread: the inverse of the same A.
  const std::vector<double> bread = invert_kxk(amat, k);

  // Covariance from the rows of X^. Clusters: plain inclusion-exclusion sum,
  // no small-sample factor. Otherwise "iid" divides RSS by n, and every
  // other name is HC0 (the caller's string never reaches the sandwich).
  CovarianceChoice choice;
  std::vector<Recoded> clusters;
  if (!sample.cl.spans.empty()) {
    clusters = recode_clusters(sample.cl.spans, out.cluster_groups);
    choice = CovarianceChoice::clustered(ClusterScaling::Unscaled, 0);
  } else if (vcov_type == "iid") {
    choice = CovarianceChoice::classical(CovarianceChoice::Divisor::Rows);
  } else {
    choice = CovarianceChoice::robust("HC0", 0);
  }
  out.vcov = covariance(choice, {xh, n, k, out.resid, bread, rss, out.absorbed, clusters});

  // Names: exogenous, "_cons", endogenous; passed through as given.
  out.names.assign(x_names.begin(), x_names.end());
  if (add_intercept) out.names.emplace_back("_cons");
  out.names.insert(out.names.end(), endog_names.begin(), endog_names.end());
  out.n = n;
  return out;
}

}  // namespace kestrel
