#include "estimators/iv2sls.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "runtime/check.hpp"
#include "covariance/cluster.hpp"
#include "covariance/sandwich.hpp"
#include "fixed_effects/absorbed_dof.hpp"
#include "fixed_effects/demean.hpp"
#include "codes/group_codes.hpp"
#include "fixed_effects/singletons.hpp"
#include "linalg/col_major_matrix.hpp"
#include "linalg/matmul.hpp"
#include "linalg/solve.hpp"
#include "linalg/symmetric.hpp"

namespace kestrel {
namespace {

using Columns = std::span<const std::span<const double>>;

// Code columns must describe the rows of y exactly: a longer one would put
// rows that do not exist into group counts and singleton tables, a shorter
// one would be read past its end.
void check_code_lengths(std::span<const CodeSpan> columns, std::size_t rows, const char* arg) {
  for (std::size_t q = 0; q < columns.size(); ++q) {
    if (columns[q].size() == rows) continue;
    panic(std::string(arg) + "[" + std::to_string(q) + "] has " +
          std::to_string(columns[q].size()) + " codes but y_col has " + std::to_string(rows) +
          " rows");
  }
}

// dst := the first rows of src, or only those the mask keeps.
void copy_rows(std::span<double> dst, std::span<const double> src,
               std::span<const std::uint8_t> mask) {
  if (mask.empty()) {
    std::copy_n(src.begin(), dst.size(), dst.begin());
    return;
  }
  std::size_t w = 0;
  for (std::size_t i = 0; i < mask.size(); ++i)
    if (mask[i] != 0) dst[w++] = src[i];
}

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
  check_code_lengths(fe_codes, n0, "fe_cols");
  check_code_lengths(cl_codes, n0, "cl_cols");

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

  // Singletons: rows alone in a group of some fixed effect leave every block
  // and code column alike; only the fixed-effect copies are renumbered.
  std::vector<std::uint8_t> mask;  // empty: every row is used
  UsedCodes fe = codes_as_passed(fe_codes);
  UsedCodes cl = codes_as_passed(cl_codes);
  std::size_t n = n0;
  if (n_fe >= 1) {
    mask = drop_singletons_mask(fe_codes);
    check_len(mask.size(), n0);
    const auto kept = static_cast<std::size_t>(
        std::count_if(mask.begin(), mask.end(), [](std::uint8_t m) { return m != 0; }));
    if (kept < n0) {
      fe = codes_of_kept_rows(fe_codes, mask, kept, /*renumber=*/true);
      cl = codes_of_kept_rows(cl_codes, mask, kept, /*renumber=*/false);
      out.removed = n0 - kept;
      n = kept;
    } else {
      mask.clear();
    }
  }

  // Blocks: y, Z = [E | W] (n x d, intercept last in E) and N (n x ke), all
  // row-major. With fixed effects the kept rows go through one column-major
  // stack [y | E | N | W] first, absorbed column by column (one fixed
  // effect) or jointly (several: the stack's composition steers the shared
  // stopping rule), and are then laid out row by row.
  std::vector<double> ys(n);
  std::vector<double> z(checked_mul(n, d));
  std::vector<double> nb(checked_mul(n, ke));
  if (n_fe == 0) {
    std::copy_n(y.begin(), n, ys.begin());
    for (std::size_t i = 0; i < n; ++i) {
      double* zi = z.data() + i * d;
      for (std::size_t a = 0; a < kx0; ++a) zi[a] = x_exog[a][i];
      if (add_intercept) zi[kx0] = 1.0;
      for (std::size_t b = 0; b < kz; ++b) zi[kx + b] = z_excl[b][i];
      double* ni = nb.data() + i * ke;
      for (std::size_t j = 0; j < ke; ++j) ni[j] = x_endog[j][i];
    }
  } else {
    const std::size_t cols = checked_add(checked_add(1, d), ke);
    ColMajorMatrix m;
    m.nrows = n;
    m.ncols = cols;
    m.data.resize(checked_mul(n, cols));
    copy_rows(m.col(0), y, mask);
    for (std::size_t a = 0; a < kx0; ++a) copy_rows(m.col(1 + a), x_exog[a], mask);
    if (add_intercept) std::ranges::fill(m.col(1 + kx0), 1.0);
    for (std::size_t j = 0; j < ke; ++j) copy_rows(m.col(1 + kx + j), x_endog[j], mask);
    for (std::size_t b = 0; b < kz; ++b) copy_rows(m.col(1 + kx + ke + b), z_excl[b], mask);

    // Absorption: G_q is the largest code plus one of each column as used.
    // One fixed effect: one exact projection per column (tol and max_iter
    // unused); several: conjugate-gradient demeaning of the whole stack.
    std::vector<std::size_t> n_groups(n_fe);
    for (std::size_t q = 0; q < n_fe; ++q) n_groups[q] = n_groups_of(fe.spans[q]);
    demean_in_place(m, fe.spans, n_groups, max_iter, tol, SingleFeForm::DemeanCol);

    std::ranges::copy(m.col(0), ys.begin());
    for (std::size_t a = 0; a < kx; ++a) {
      const std::span<const double> col = m.col(1 + a);
      for (std::size_t i = 0; i < n; ++i) z[i * d + a] = col[i];
    }
    for (std::size_t j = 0; j < ke; ++j) {
      const std::span<const double> col = m.col(1 + kx + j);
      for (std::size_t i = 0; i < n; ++i) nb[i * ke + j] = col[i];
    }
    for (std::size_t b = 0; b < kz; ++b) {
      const std::span<const double> col = m.col(1 + kx + ke + b);
      for (std::size_t i = 0; i < n; ++i) z[i * d + kx + b] = col[i];
    }
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

  // Residuals from the observed endogenous values.
  out.resid.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double* zi = z.data() + i * d;
    const double* ni = nb.data() + i * ke;
    double fit = 0.0;
    for (std::size_t a = 0; a < kx; ++a) fit += zi[a] * out.beta[a];
    for (std::size_t j = 0; j < ke; ++j) fit += ni[j] * out.beta[kx + j];
    out.resid[i] = ys[i] - fit;
  }

  // Fit statistics on the (demeaned) y; k and the absorbed degrees of
  // freedom enter only the adjusted R-squared.
  double rss = 0.0;
  for (double e : out.resid) rss += e * e;
  double sum_y = 0.0;
  for (double v : ys) sum_y += v;
  const double nf = static_cast<double>(n);
  const double mean_y = sum_y / nf;
  double tss = 0.0;
  for (double v : ys) {
    const double dev = v - mean_y;
    tss += dev * dev;
  }
  out.absorbed = n_fe >= 1 ? absorbed_dof_internal(fe.spans) : 0;
  out.r2 = tss > 0.0 ? 1.0 - rss / tss : 0.0;
  const double df = (nf - static_cast<double>(k)) - static_cast<double>(out.absorbed);
  out.adj_r2 = df > 0.0 ? 1.0 - ((nf - 1.0) * (1.0 - out.r2)) / df : 0.0;

  // Bread: the inverse of the same A.
  const std::vector<double> bread = invert_kxk(amat, k);

  // Covariance. Clusters: plain inclusion-exclusion sum, no small-sample
  // factor. Otherwise "iid" divides RSS by n, and every other name is HC0
  // from the rows of X^ (the caller's string never reaches the sandwich).
  if (!cl.spans.empty()) {
    std::vector<Recoded> dims;
    dims.reserve(cl.spans.size());
    for (const CodeSpan c : cl.spans) {
      dims.push_back(recode_vec(c));
      out.cluster_groups.push_back(dims.back().n_groups);
    }
    out.vcov = multiway_cluster_vcov(xh, n, k, out.resid, bread, dims, ClusterScaling::Unscaled, 0);
  } else if (vcov_type == "iid") {
    const double sigma2 = rss / nf;
    out.vcov.resize(bread.size());
    for (std::size_t t = 0; t < bread.size(); ++t) out.vcov[t] = sigma2 * bread[t];
  } else {
    out.vcov = sandwich_vcov(xh, out.resid, bread, n, k, "HC0", 0);
  }

  // Names: exogenous, "_cons", endogenous; passed through as given.
  out.names.assign(x_names.begin(), x_names.end());
  if (add_intercept) out.names.emplace_back("_cons");
  out.names.insert(out.names.end(), endog_names.begin(), endog_names.end());
  out.n = n;
  return out;
}

}  // namespace kestrel
