// Time order of score rows for the Newey-West and Driscoll-Kraay meats: the
// place of each row when rows are sorted by their time stamps, and the rows
// copied to their places.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "linalg/strided.hpp"
#include "runtime/work_buffer.hpp"

namespace kestrel {

// True for whole numbers of magnitude at most 2^52, the range in which whole
// numbers are dense: time stamps that can index a table of values.
bool is_whole_time_stamp(double v);


// The place of each row in time order: rows sorted stably by time value,
// ascending, numeric comparison (so 0.0 and −0.0 tie and keep their input
// order); nullopt when the rows already are in that order.
// Panics "called `Option::unwrap()` on a `None` value" when n >= 2 and one of
// the first n time values is NaN; panics on an index when time_ids.len < n.
// A row count too large to index (a zero-width broadcast view) is bad_alloc.
std::optional<std::vector<std::size_t>> hac_time_ranks(StridedVector<double> time_ids,
                                                       std::size_t n);


// The score rows as an n×k row-major buffer (n = score.rows) with row i at
// place (*rank)[i], or at place i when rank is null (rows already in order);
// rank must be a permutation of 0..n−1 (length and indices checked).
WorkBuffer hac_sorted_rows(const StridedMatrix& score, const std::vector<std::size_t>* rank);


}  // namespace kestrel
