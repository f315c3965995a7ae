#include "estimators/ols_nofe.hpp"

#include <cmath>

#include "stages/covariance.hpp"
#include "stages/fit_stats.hpp"
#include "stages/normal_equations.hpp"
#include "stages/residuals.hpp"
#include "linalg/solve.hpp"
#include "runtime/check.hpp"

namespace kestrel {

OlsNofeResult ols_nofe(std::span<const double> y, std::span<const std::span<const double>> x_cols,
                       std::span<const std::string> x_names, bool add_intercept,
                       std::span<const std::span<const std::int32_t>> cl_cols,
                       std::string_view vcov_type) {
  const std::size_t n = y.size();
  const std::size_t p = x_cols.size();
  const std::size_t k = add_intercept ? checked_add(p, 1) : p;
  for (std::span<const double> col : x_cols) check_len(col.size(), n);

  // The row-major design (intercept last) is built in the pass that
  // accumulates the normal equations, each row used while it is in cache.
  std::vector<double> x(checked_mul(n, k));
  const NormalEquations ne = normal_equations(n, k, y, [&](std::size_t i) {
    double* xi = x.data() + i * k;
    for (std::size_t j = 0; j < p; ++j) xi[j] = x_cols[j][i];
    if (add_intercept) xi[p] = 1.0;
    return xi;
  });

  OlsNofeResult out;
  out.n = n;
  out.beta = solve_kxk(ne.xtx, ne.xty, k);
  out.resid.resize(n);
  const auto [rss, tss] = residuals_and_sums(x, y, out.beta, n, k, out.resid);
  for (double b : out.beta)
    if (std::isnan(b)) throw ValueFailure("Singular matrix");
  const FitStats stats = fit_stats(rss, tss, n, k, 0);
  out.r2 = stats.r2;
  out.adj_r2 = stats.adj_r2;

  // Covariance: clustered with per-combination factors, classical on n - k,
  // or the sandwich named by the caller.
  const std::vector<double> bread = invert_kxk(ne.xtx, k);
  CovarianceChoice choice;
  std::vector<Recoded> clusters;
  std::vector<std::uint64_t> groups;
  if (!cl_cols.empty()) {
    clusters = recode_clusters(cl_cols, groups);
    choice = CovarianceChoice::clustered(ClusterScaling::PerCombination, 0);
  } else if (vcov_type == "iid") {
    choice = CovarianceChoice::classical(CovarianceChoice::Divisor::ResidualDof);
  } else {
    choice = CovarianceChoice::robust(vcov_type, 0);
  }
  out.vcov = covariance(choice, {x, n, k, out.resid, bread, rss, 0, clusters});
  out.cluster_groups.assign(groups.begin(), groups.end());

  out.names.assign(x_names.begin(), x_names.end());
  if (add_intercept) out.names.emplace_back("_cons");
  return out;
}

}  // namespace kestrel
