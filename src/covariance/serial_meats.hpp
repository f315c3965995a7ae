// Newey-West and Driscoll-Kraay meats of a fit's scores s_i = x_i e_i, with
// time and panel given as dense codes (0..T-1 in time order, 0..P-1): the
// layer's covariance stage, built on the Newey-West sum of hac.hpp.
//
// Shapes: n rows, k score columns; results k x k, row-major.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "codes/compact_codes.hpp"
#include "runtime/check.hpp"

namespace kestrel {

// Newey-West: the scores in time order, one series (panel empty) or one per
// panel (rows in (panel, time) order; lags never cross panels), each
// hac_newey_west_sum with bandwidth `lag`, the panels' sums added in panel
// order. A time code repeated within a series is a ValueFailure. `row(i)`
// returns a pointer to row i's k regressors.
template <class Row>
std::vector<double> newey_west_scores_meat(std::size_t n, std::size_t k,
                                           std::span<const double> resid, CodeSpan time,
                                           CodeSpan panel, std::uint64_t lag, Row&& row);

// Driscoll-Kraay: the scores summed per period (each sum over its rows in
// row order), then hac_newey_west_sum over the T periods in time order.
template <class Row>
std::vector<double> driscoll_kraay_scores_meat(std::size_t n, std::size_t k,
                                               std::span<const double> resid, CodeSpan time,
                                               std::uint64_t lag, Row&& row);

// Helpers of the templates (defined in serial_meats.cpp).

// Rows in (panel, time) order (panel empty: time order), stable; with the
// first position of every panel's run appended to `starts` (and n last).
// Codes must lie in 0..T-1 and 0..P-1; a repeated (panel, time) pair is a
// ValueFailure.
std::vector<std::size_t> serial_order(CodeSpan time, CodeSpan panel,
                                      std::vector<std::size_t>& starts);

// The Newey-West sums of consecutive runs of the row-major n x k scores
// (runs start at starts[p], the last entry is n), added in run order.
std::vector<double> newey_west_of_runs(std::span<const double> scores, std::size_t k,
                                       std::span<const std::size_t> starts, std::uint64_t lag);

std::size_t largest_code_plus_one(CodeSpan codes);

template <class Row>
std::vector<double> newey_west_scores_meat(std::size_t n, std::size_t k,
                                           std::span<const double> resid, CodeSpan time,
                                           CodeSpan panel, std::uint64_t lag, Row&& row) {
  check_len(resid.size(), n);
  check_len(time.size(), n);
  if (!panel.empty()) check_len(panel.size(), n);
  std::vector<std::size_t> starts;
  const std::vector<std::size_t> order = serial_order(time, panel, starts);
  std::vector<double> scores(checked_mul(n, k));
  for (std::size_t p = 0; p < n; ++p) {
    const std::size_t i = order[p];
    const double* xi = row(i);
    for (std::size_t a = 0; a < k; ++a) scores[p * k + a] = xi[a] * resid[i];
  }
  return newey_west_of_runs(scores, k, starts, lag);
}

template <class Row>
std::vector<double> driscoll_kraay_scores_meat(std::size_t n, std::size_t k,
                                               std::span<const double> resid, CodeSpan time,
                                               std::uint64_t lag, Row&& row) {
  check_len(resid.size(), n);
  check_len(time.size(), n);
  const std::size_t periods = largest_code_plus_one(time);
  std::vector<double> sums(checked_mul(periods, k), 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    double* st = sums.data() + check_code(time[i], periods) * k;
    const double* xi = row(i);
    for (std::size_t a = 0; a < k; ++a) st[a] += xi[a] * resid[i];
  }
  const std::size_t starts[] = {0, periods};
  return newey_west_of_runs(sums, k, starts, lag);
}

}  // namespace kestrel
