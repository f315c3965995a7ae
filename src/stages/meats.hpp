// The covariance stage's meats and residuals, read from the column-major
// stack that the absorption stage hands on (or any column-major data).
// Indices name stack columns (one out of range is a ValueFailure); the
// other arguments are the caller's to check (a length that does not fit
// panics).
//
// Shapes: n rows, m stack columns; x holds k column positions; every meat is
// k x k, row-major.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "codes/compact_codes.hpp"
#include "stages/residuals.hpp"

namespace kestrel {

// Column j at data[j * n, (j + 1) * n).
struct ColumnStack {
  std::span<const double> data;
  std::size_t n = 0;
  std::size_t m = 0;
};

// y - X coef over the stack's rows: the residuals and their sums of squares.
struct StackResiduals {
  std::vector<double> resid;
  SumsOfSquares sums;
};
StackResiduals stack_residuals(ColumnStack stack, std::size_t y, std::span<const std::size_t> x,
                               std::span<const double> coef);

// sum_i w_i x_i x_i' with w_i = e_i^2 / (1 - h_i)^power, h_i = x_i' bread x_i
// (bread k x k row-major, read only for power > 0; power 0, 1 or 2).
std::vector<double> stack_hetero_meat(ColumnStack stack, std::span<const std::size_t> x,
                                      std::span<const double> resid, std::span<const double> bread,
                                      int power);

// The cluster meat of one combination of cluster columns.
struct SubsetMeat {
  std::vector<std::size_t> subset;  // cluster columns, ascending
  std::vector<double> meat;
  std::size_t groups = 0;           // of their intersection
};

// Every non-empty subset of the cluster columns, by size and then
// lexicographically; a subset of several columns is clustered by their
// intersection (interaction_codes). A cluster column needs one code per
// row, each >= 0 (a ValueFailure otherwise).
std::vector<SubsetMeat> stack_cluster_meats(ColumnStack stack, std::span<const std::size_t> x,
                                            std::span<const double> resid,
                                            std::span<const CodeSpan> clusters);

// Newey-West meat (Bartlett weights) of the scores x_i e_i in time order,
// time codes 0..T-1 in time order; with panel codes (empty: none), one
// series per panel.
std::vector<double> stack_newey_west_meat(ColumnStack stack, std::span<const std::size_t> x,
                                          std::span<const double> resid, CodeSpan time,
                                          CodeSpan panel, std::uint64_t lag);

// Driscoll-Kraay meat: the scores summed per period, then the Newey-West sum
// over the periods.
std::vector<double> stack_driscoll_kraay_meat(ColumnStack stack, std::span<const std::size_t> x,
                                              std::span<const double> resid, CodeSpan time,
                                              std::uint64_t lag);

}  // namespace kestrel
