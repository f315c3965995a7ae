#include "stages/meats.hpp"

#include "codes/group_codes.hpp"
#include "covariance/cluster.hpp"
#include "covariance/sandwich.hpp"
#include "covariance/serial_meats.hpp"
#include "linalg/column_rows.hpp"
#include "runtime/check.hpp"
#include "stages/least_squares.hpp"

namespace kestrel {

StackResiduals stack_residuals(ColumnStack stack, std::size_t y, std::span<const std::size_t> x,
                               std::span<const double> coef) {
  const std::size_t n = stack.n;
  ColumnRows rows(stack_columns(stack.data, n, x));
  StackResiduals out;
  out.resid.resize(n);
  out.sums = residuals_and_sums(n, x.size(), stack.data.subspan(y * n, n), coef, out.resid, rows);
  return out;
}

std::vector<double> stack_hetero_meat(ColumnStack stack, std::span<const std::size_t> x,
                                      std::span<const double> resid, std::span<const double> bread,
                                      int power) {
  ColumnRows rows(stack_columns(stack.data, stack.n, x));
  return sandwich_meat(stack.n, x.size(), resid, bread, power, rows);
}

std::vector<SubsetMeat> stack_cluster_meats(ColumnStack stack, std::span<const std::size_t> x,
                                            std::span<const double> resid,
                                            std::span<const CodeSpan> clusters) {
  const std::size_t n = stack.n;
  check_len(resid.size(), n);
  const std::vector<const double*> xcols = stack_columns(stack.data, n, x);
  std::vector<std::size_t> groups;
  for (const CodeSpan c : clusters) {
    if (c.size() != n) throw ValueFailure("a cluster column needs one code per row");
    for (const std::int32_t code : c)
      if (code < 0) throw ValueFailure("cluster codes must be non-negative");
    groups.push_back(n_groups_of(c));
  }
  std::vector<SubsetMeat> found;
  for (std::size_t r = 1; r <= clusters.size(); ++r) {
    for (std::vector<std::size_t>& subset : combinations(clusters.size(), r)) {
      Recoded joined;
      CodeSpan codes = clusters[subset[0]];
      std::size_t g = groups[subset[0]];
      if (r > 1) {
        std::vector<CodeSpan> columns;
        for (const std::size_t d : subset) columns.push_back(clusters[d]);
        joined = interaction_codes(columns);
        codes = joined.codes;
        g = joined.n_groups;
      }
      std::vector<double> meat = clustered_meat_columns(n, xcols, resid, codes, g);
      found.push_back({std::move(subset), std::move(meat), g});
    }
  }
  return found;
}

std::vector<double> stack_newey_west_meat(ColumnStack stack, std::span<const std::size_t> x,
                                          std::span<const double> resid, CodeSpan time,
                                          CodeSpan panel, std::uint64_t lag) {
  ColumnRows rows(stack_columns(stack.data, stack.n, x));
  return newey_west_scores_meat(stack.n, x.size(), resid, time, panel, lag, rows);
}

std::vector<double> stack_driscoll_kraay_meat(ColumnStack stack, std::span<const std::size_t> x,
                                              std::span<const double> resid, CodeSpan time,
                                              std::uint64_t lag) {
  ColumnRows rows(stack_columns(stack.data, stack.n, x));
  return driscoll_kraay_scores_meat(stack.n, x.size(), resid, time, lag, rows);
}

}  // namespace kestrel
