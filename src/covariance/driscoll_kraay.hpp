// Driscoll-Kraay meat: score rows summed per period, then the Newey-West sum
// (hac_newey_west_sum) over the period sums.
//
// Periods are the distinct time values, identical bit for bit: 0.0 and −0.0
// are two periods, and a NaN is a period like any other value (one per NaN bit
// pattern). They are numbered 0 … T−1 in the order in which their value first
// occurs, row by row; nothing is sorted, so the lags run in that order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "linalg/strided.hpp"

namespace kestrel {

struct PeriodSums {
  std::vector<double> sums;  // n_periods × k, row-major; row p sums period p's rows
  std::size_t n_periods = 0;
};

// Period numbering and sums over the first score.rows time values (the rest
// are ignored; fewer than score.rows panics on an index). Each sum adds its
// rows in row order, starting from +0.0.
PeriodSums driscoll_kraay_period_sums(const StridedMatrix& score,
                                      StridedVector<double> time_ids);

// The meat of `rust_dk_meat`: hac_newey_west_sum over the period sums with
// hac_bandwidth(bandwidth, T), T the number of periods.
std::vector<double> driscoll_kraay_meat(const StridedMatrix& score,
                                        StridedVector<double> time_ids, std::int64_t bandwidth);

}  // namespace kestrel
