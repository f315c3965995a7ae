#include "stages/covariance.hpp"

#include <limits>

#include "covariance/sandwich.hpp"
#include "runtime/check.hpp"

namespace kestrel {

std::vector<double> covariance(const CovarianceChoice& choice, const CovarianceInputs& in) {
  using Kind = CovarianceChoice::Kind;
  using Divisor = CovarianceChoice::Divisor;
  switch (choice.kind) {
    case Kind::Sandwich:
      return sandwich_vcov(in.x, in.resid, in.bread, in.n, in.k, choice.sandwich,
                           choice.sandwich_extra_df);
    case Kind::Clustered:
      return multiway_cluster_vcov(in.x, in.n, in.k, in.resid, in.bread, in.clusters,
                                   choice.scaling, choice.common_dof);
    case Kind::Classical:
      break;
  }
  // sigma^2 * B with the divisor formed in floating point.
  const double nf = static_cast<double>(in.n);
  double sigma2 = 0.0;
  if (choice.divisor == Divisor::Rows) {
    sigma2 = in.rss / nf;
  } else if (in.k >= in.n) {
    sigma2 = std::numeric_limits<double>::quiet_NaN();
  } else {
    double divisor = nf - static_cast<double>(in.k);
    if (choice.divisor == Divisor::ResidualDofLessAbsorbed)
      divisor -= static_cast<double>(in.absorbed);
    sigma2 = in.rss / divisor;
  }
  std::vector<double> v(in.bread.size());
  for (std::size_t t = 0; t < in.bread.size(); ++t) v[t] = in.bread[t] * sigma2;
  return v;
}

std::vector<Recoded> recode_clusters(std::span<const CodeSpan> columns,
                                     std::vector<std::uint64_t>& groups) {
  std::vector<Recoded> dims;
  dims.reserve(columns.size());
  for (const CodeSpan c : columns) {
    dims.push_back(recode_vec(c));
    groups.push_back(dims.back().n_groups);
  }
  return dims;
}

}  // namespace kestrel
