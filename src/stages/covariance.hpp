// The covariance stage of the engine's fits: which estimator of the
// coefficients' covariance, named by a small value type, and its
// computation from the fit's pieces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "codes/compact_codes.hpp"
#include "codes/group_codes.hpp"
#include "covariance/cluster.hpp"

namespace kestrel {

struct CovarianceChoice {
  enum class Kind { Classical, Sandwich, Clustered };
  // The classical variance's divisor of RSS: n; n - k; (n - k) - absorbed.
  // The last two give NaN when k >= n (no residual degrees of freedom).
  enum class Divisor { Rows, ResidualDof, ResidualDofLessAbsorbed };

  Kind kind = Kind::Classical;
  Divisor divisor = Divisor::ResidualDof;
  std::string_view sandwich = "HC0";  // "HC0".."HC3"
  std::size_t sandwich_extra_df = 0;  // subtracted in HC1's n / (n - k - extra)
  ClusterScaling scaling = ClusterScaling::PerCombination;
  std::size_t common_dof = 0;         // a of the Common scaling

  static CovarianceChoice classical(Divisor d) { return {Kind::Classical, d}; }
  static CovarianceChoice robust(std::string_view type, std::size_t extra_df) {
    CovarianceChoice c;
    c.kind = Kind::Sandwich;
    c.sandwich = type;
    c.sandwich_extra_df = extra_df;
    return c;
  }
  static CovarianceChoice clustered(ClusterScaling s, std::size_t common_dof) {
    CovarianceChoice c;
    c.kind = Kind::Clustered;
    c.scaling = s;
    c.common_dof = common_dof;
    return c;
  }
};

// What the covariance is computed from: the row-major n x k regressors (or
// the projected ones of 2SLS), residuals, bread, RSS, absorbed degrees of
// freedom and the recoded cluster columns.
struct CovarianceInputs {
  std::span<const double> x;
  std::size_t n = 0;
  std::size_t k = 0;
  std::span<const double> resid;
  std::span<const double> bread;
  double rss = 0.0;
  std::size_t absorbed = 0;
  std::span<const Recoded> clusters;
};

// k x k, row-major.
std::vector<double> covariance(const CovarianceChoice& choice, const CovarianceInputs& in);

// Every cluster column recoded (recode_vec), with its number of groups
// appended to `groups`.
std::vector<Recoded> recode_clusters(std::span<const CodeSpan> columns,
                                     std::vector<std::uint64_t>& groups);

}  // namespace kestrel
