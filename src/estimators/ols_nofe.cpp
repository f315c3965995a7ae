#include "estimators/ols_nofe.hpp"

#include <cmath>
#include <limits>

#include "runtime/check.hpp"
#include "covariance/cluster.hpp"
#include "covariance/sandwich.hpp"
#include "estimators/residuals.hpp"
#include "codes/group_codes.hpp"
#include "linalg/solve.hpp"
#include "linalg/symmetric.hpp"

namespace kestrel {

OlsNofeResult ols_nofe(std::span<const double> y, std::span<const std::span<const double>> x_cols,
                       std::span<const std::string> x_names, bool add_intercept,
                       std::span<const std::span<const std::int32_t>> cl_cols,
                       std::string_view vcov_type) {
  const std::size_t n = y.size();
  const std::size_t p = x_cols.size();
  const std::size_t k = add_intercept ? checked_add(p, 1) : p;
  const std::size_t kk = checked_mul(k, k);
  for (std::span<const double> col : x_cols) check_len(col.size(), n);

  // The row-major design (intercept last), X'X and X'y in one pass over the
  // rows, each row used while it is in cache; every entry of X'X and X'y
  // sums its terms in row order.
  std::vector<double> x(checked_mul(n, k));
  std::vector<double> xtx(kk, 0.0);
  std::vector<double> xty(k, 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    double* xi = x.data() + i * k;
    for (std::size_t j = 0; j < p; ++j) xi[j] = x_cols[j][i];
    if (add_intercept) xi[p] = 1.0;
    symmetric_add_outer_upper(xtx.data(), xi, k);
    for (std::size_t a = 0; a < k; ++a) xty[a] += xi[a] * y[i];
  }
  symmetric_mirror_upper(xtx.data(), k);

  OlsNofeResult out;
  out.n = n;
  out.beta = solve_kxk(xtx, xty, k);

  // Residuals and sums of squares.
  out.resid.resize(n);
  const auto [ssr, tss] = residuals_and_sums(x, y, out.beta, n, k, out.resid);
  const double nf = static_cast<double>(n);
  out.r2 = tss > 0.0 ? 1.0 - ssr / tss : 0.0;

  for (double b : out.beta)
    if (std::isnan(b)) throw ValueFailure("Singular matrix");

  const double df = nf - static_cast<double>(k);
  out.adj_r2 = df > 0.0 ? 1.0 - ((nf - 1.0) * (1.0 - out.r2)) / df : 0.0;

  const std::vector<double> bread = invert_kxk(xtx, k);
  if (!cl_cols.empty()) {
    std::vector<Recoded> dims;
    dims.reserve(cl_cols.size());
    for (std::span<const std::int32_t> col : cl_cols) {
      dims.push_back(recode_vec(col));
      out.cluster_groups.push_back(dims.back().n_groups);
    }
    out.vcov = multiway_cluster_vcov(x, n, k, out.resid, bread, dims,
                                     ClusterScaling::PerCombination, 0);
  } else if (vcov_type == "iid") {
    // Residual degrees of freedom in floating point: with n <= k there are
    // none, and the classical variance is undefined rather than tiny.
    const double sigma2 = n > k ? ssr / df : std::numeric_limits<double>::quiet_NaN();
    out.vcov.resize(kk);
    for (std::size_t j = 0; j < kk; ++j) out.vcov[j] = bread[j] * sigma2;
  } else {
    out.vcov = sandwich_vcov(x, out.resid, bread, n, k, vcov_type, 0);
  }

  out.names.assign(x_names.begin(), x_names.end());
  if (add_intercept) out.names.emplace_back("_cons");
  return out;
}

}  // namespace kestrel
