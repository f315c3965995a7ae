#include "estimators/ols_fe.hpp"

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
#include "linalg/solve.hpp"
#include "runtime/check.hpp"

namespace kestrel {
namespace {

constexpr std::string_view kUnsupportedVcov =
    "internal error: entered unreachable code: sandwich_vcov called with unsupported type: ";

// How the covariance is chosen when there are no cluster columns.
struct PlainVcov {
  std::string_view type;   // "iid", or a sandwich name passed on unchanged
  bool iid_less_absorbed;  // classical divisor (n - k) - absorbed instead of n - k
};

// The fit of y (source 0) on X (sources 1..k) over n0 rows.
OlsFeResult fit(std::span<const StackSource> sources, std::size_t n0,
                std::span<const CodeSpan> fe_in, std::span<const CodeSpan> cl_in, double tol,
                std::uint64_t max_iter, PlainVcov plain) {
  const std::size_t k = sources.size() - 1;
  OlsFeResult out;

  // Sample: singletons of the fixed effects leave y, X and every code column.
  const Sample s = sample_of_rows(n0, fe_in, cl_in);
  const std::size_t n = s.n;
  out.removed = s.removed;
  out.n = n;

  // Design: y and row-major X of the used rows, through one demeaned stack
  // [y | X] when there are fixed effects.
  std::vector<double> y(n);
  std::vector<double> x(checked_mul(n, k));
  const BlockPlacement places[] = {{y, 1, 0, 0, 1}, {x, k, 0, 1, k}};
  absorbed_blocks(sources, s.fe.spans, s.fe_groups, s.mask, n, SolveOptions::cg(tol, max_iter),
                  places);

  // Normal equations, coefficients, residuals and sums of squares.
  const NormalEquations ne = normal_equations(x, y, n, k);
  out.beta = solve_kxk(ne.xtx, ne.xty, k);
  out.resid.resize(n);
  const auto [rss, tss] = residuals_and_sums(x, y, out.beta, n, k, out.resid);

  // Absorbed degrees of freedom and the bread.
  out.absorbed = fe_in.empty() ? 0 : absorbed_dof_internal(s.fe.spans);
  const std::vector<double> bread = invert_kxk(ne.xtx, k);

  // Covariance: clustered with the common factor when fixed effects are
  // absorbed (fixed effects nested in a cluster cost it no degrees of
  // freedom), per combination without; otherwise as the caller asked.
  CovarianceChoice choice;
  std::vector<Recoded> clusters;
  if (!s.cl.spans.empty()) {
    const std::size_t k_nest = fe_dof_outside_clusters(s.fe.spans, s.cl.spans);
    clusters = recode_clusters(s.cl.spans, out.cluster_groups);
    choice = CovarianceChoice::clustered(
        fe_in.empty() ? ClusterScaling::PerCombination : ClusterScaling::Common, k_nest);
  } else if (plain.type == "iid") {
    choice = CovarianceChoice::classical(plain.iid_less_absorbed
                                             ? CovarianceChoice::Divisor::ResidualDofLessAbsorbed
                                             : CovarianceChoice::Divisor::ResidualDof);
  } else {
    choice = CovarianceChoice::robust(plain.type, out.absorbed);
  }
  out.vcov = covariance(choice, {x, n, k, out.resid, bread, rss, out.absorbed, clusters});

  const FitStats stats = fit_stats(rss, tss, n, k, out.absorbed);
  out.r2 = stats.r2;
  out.adj_r2 = stats.adj_r2;
  return out;
}

}  // namespace

OlsFeResult ols_fe_matrix(std::span<const double> y, StridedMatrix x,
                          std::span<const CodeSpan> fe_codes, std::span<const CodeSpan> cl_codes,
                          double tol, std::uint64_t max_iter) {
  // Lengths: x, y and every code column describe the same rows.
  if (x.rows != y.size())
    panic("x has " + std::to_string(x.rows) + " rows but y has " + std::to_string(y.size()) +
          " rows");
  check_code_lengths(fe_codes, y.size(), "fe_codes_list", "y");
  check_code_lengths(cl_codes, y.size(), "cluster_codes_list", "y");

  std::vector<StackSource> sources{StackSource::of(y)};
  for (const StackSource& column : sources_of(x)) sources.push_back(column);
  return fit(sources, y.size(), fe_codes, cl_codes, tol, max_iter, PlainVcov{"iid", false});
}

OlsFeResult ols_fe_columns(std::span<const double> y, std::span<const std::span<const double>> x_cols,
                           std::span<const CodeSpan> fe_codes, std::span<const CodeSpan> cl_codes,
                           double tol, std::uint64_t max_iter, std::string_view vcov_type) {
  const std::size_t n0 = y.size();

  // Lengths: regressor columns may be longer than y (the rest is ignored);
  // a shorter one fails at its first missing value.
  for (const auto& col : x_cols)
    if (col.size() < n0) panic_index(col.size(), col.size());
  check_code_lengths(fe_codes, n0, "fe_cols", "y_col");
  check_code_lengths(cl_codes, n0, "cl_cols", "y_col");

  // Covariance name: without clusters only "iid" and the sandwich names are
  // served; refuse any other before the expensive work, with the sandwich's
  // own message.
  if (cl_codes.empty() && vcov_type != "iid" && vcov_type != "HC0" && vcov_type != "HC1" &&
      vcov_type != "HC2" && vcov_type != "HC3")
    panic(std::string(kUnsupportedVcov) + std::string(vcov_type));

  std::vector<StackSource> sources{StackSource::of(y)};
  for (const auto& col : x_cols) sources.push_back(StackSource::of(col));
  return fit(sources, n0, fe_codes, cl_codes, tol, max_iter, PlainVcov{vcov_type, true});
}

}  // namespace kestrel
