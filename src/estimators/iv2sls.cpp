#include "estimators/iv2sls.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "stages/absorb.hpp"
#include "stages/covariance.hpp"
#include "stages/fit_stats.hpp"
#include "stages/normal_equations.hpp"
#include "stages/residuals.hpp"
#include "stages/sample.hpp"
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

// The blocks of a 2SLS fit over its n used rows, all row-major: y, the
// instruments Z = [E | W] (n x d, d = kx + kz) and the endogenous N (n x ke).
struct IvBlocks {
  std::size_t n, kx, ke, kz, d, k;
  std::vector<double> y, z, nb;
};

// First stage: Z'Z, Z'N and Pi = (Z'Z)^-1 Z'N through the inverse, which
// serves every endogenous column.
struct FirstStage {
  std::vector<double> ztz, ztn, pi;
};

FirstStage first_stage(const IvBlocks& b) {
  FirstStage f;
  f.ztz = gram(b.z, b.n, b.d);
  const std::vector<double> ztz_inv = invert_kxk(f.ztz, b.d);
  f.ztn.assign(checked_mul(b.d, b.ke), 0.0);
  for (std::size_t i = 0; i < b.n; ++i) {
    const double* zi = b.z.data() + i * b.d;
    const double* ni = b.nb.data() + i * b.ke;
    for (std::size_t a = 0; a < b.d; ++a) {
      const double za = zi[a];
      double* row = f.ztn.data() + a * b.ke;
      for (std::size_t j = 0; j < b.ke; ++j) row[j] += za * ni[j];
    }
  }
  f.pi = matmul(ztz_inv, f.ztn, b.d, b.d, b.ke);
  return f;
}

// Projected regressors X^ = [E | Z Pi], row-major n x k.
std::vector<double> projected_regressors(const IvBlocks& b, const FirstStage& f) {
  std::vector<double> xh(checked_mul(b.n, b.k));
  for (std::size_t i = 0; i < b.n; ++i) {
    const double* zi = b.z.data() + i * b.d;
    double* xi = xh.data() + i * b.k;
    std::copy_n(zi, b.kx, xi);
    for (std::size_t j = 0; j < b.ke; ++j) {
      // A local sum: rows overlap in the pipeline instead of waiting on
      // stores to the row being written.
      double fitted = 0.0;
      for (std::size_t a = 0; a < b.d; ++a) fitted += zi[a] * f.pi[a * b.ke + j];
      xi[b.kx + j] = fitted;
    }
  }
  return xh;
}

// First-stage F of the first endogenous column: restricted on E, whose
// cross products are the leading blocks of Z'Z and Z'N, against
// unrestricted on Z. It stays 0.0 without excluded instruments, and
// without an endogenous column (possible only without rows).
double first_stage_f(const IvBlocks& b, const FirstStage& f) {
  if (b.ke == 0 || b.kz == 0) return 0.0;
  std::vector<double> ete(checked_mul(b.kx, b.kx));
  for (std::size_t a = 0; a < b.kx; ++a)
    std::copy_n(f.ztz.data() + a * b.d, b.kx, ete.data() + a * b.kx);
  std::vector<double> ztx(b.d);
  for (std::size_t a = 0; a < b.d; ++a) ztx[a] = f.ztn[a * b.ke];
  const std::vector<double> g_r = solve_kxk(ete, std::span<const double>(ztx).first(b.kx), b.kx);
  const std::vector<double> g_u = solve_kxk(f.ztz, ztx, b.d);
  const double rss_r = rss_on(b.z, b.d, b.kx, g_r, b.nb, b.ke, b.n);
  const double rss_u = rss_on(b.z, b.d, b.d, g_u, b.nb, b.ke, b.n);
  if (!(rss_u > 0.0)) return 0.0;
  const double df_u =
      (static_cast<double>(b.n) - static_cast<double>(b.kx)) - static_cast<double>(b.kz);
  return ((rss_r - rss_u) / static_cast<double>(b.kz)) / (rss_u / df_u);
}

// Second stage: A = X^'X accumulated in full (it is not symmetric) and
// c = X^'y, in one pass; X = [E | N] is read from its blocks.
NormalEquations second_stage(const IvBlocks& b, std::span<const double> xh) {
  NormalEquations ne{std::vector<double>(checked_mul(b.k, b.k), 0.0), std::vector<double>(b.k, 0.0)};
  for (std::size_t i = 0; i < b.n; ++i) {
    const double* xhi = xh.data() + i * b.k;
    const double* zi = b.z.data() + i * b.d;
    const double* ni = b.nb.data() + i * b.ke;
    for (std::size_t a = 0; a < b.k; ++a) {
      const double xa = xhi[a];
      double* row = ne.xtx.data() + a * b.k;
      for (std::size_t c = 0; c < b.kx; ++c) row[c] += xa * zi[c];
      for (std::size_t j = 0; j < b.ke; ++j) row[b.kx + j] += xa * ni[j];
      ne.xty[a] += xa * b.y[i];
    }
  }
  return ne;
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
  IvBlocks b{n, kx, ke, kz, d, k, std::vector<double>(n), std::vector<double>(checked_mul(n, d)),
             std::vector<double>(checked_mul(n, ke))};
  const BlockPlacement places[] = {{b.y, 1, 0, 0, 1},
                                   {b.z, d, 0, 1, kx},
                                   {b.nb, ke, 0, 1 + kx, ke},
                                   {b.z, d, kx, 1 + kx + ke, kz}};
  absorbed_blocks(sources, sample.fe.spans, sample.fe_groups, sample.mask, n,
                  SolveOptions::cg(tol, max_iter), places);

  // The two stages.
  const FirstStage first = first_stage(b);
  const std::vector<double> xh = projected_regressors(b, first);
  out.first_stage_f = first_stage_f(b, first);
  const NormalEquations second = second_stage(b, xh);
  out.beta = solve_kxk(second.xtx, second.xty, k);
  for (double beta : out.beta)
    if (std::isnan(beta)) throw ValueFailure("Singular matrix in 2SLS");

  // Residuals from the observed endogenous values, X = [E | N] gathered row
  // by row, and the fit statistics on the (demeaned) y; k and the absorbed
  // degrees of freedom enter only the adjusted R-squared.
  out.resid.resize(n);
  std::vector<double> xrow(k);
  const auto [rss, tss] = residuals_and_sums(n, k, b.y, out.beta, out.resid, [&](std::size_t i) {
    std::copy_n(b.z.data() + i * d, kx, xrow.data());
    std::copy_n(b.nb.data() + i * ke, ke, xrow.data() + kx);
    return xrow.data();
  });
  out.absorbed = n_fe >= 1 ? absorbed_dof_internal(sample.fe.spans) : 0;
  const FitStats stats = fit_stats(rss, tss, n, k, out.absorbed);
  out.r2 = stats.r2;
  out.adj_r2 = stats.adj_r2;

  // Bread: the inverse of the same A.
  const std::vector<double> bread = invert_kxk(second.xtx, k);

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
