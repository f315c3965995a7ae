// Group code columns: one signed 32-bit code per observation row.
//
// Conventions for this directory: n rows, G groups of one code column,
// Q fixed effects, counts are doubles holding exact integers. A valid column
// has every code in 0..G-1; columns made here are also dense (every code in
// 0..G-1 occurs). Columns from Python are trusted to be in range by the
// algorithms but every index taken from a code is checked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "linalg/strided.hpp"

namespace kestrel {

struct Recoded {
  std::vector<std::int32_t> codes;
  std::size_t n_groups = 0;
};

// Dense codes: in order of first appearance when the value range is below 2n,
// otherwise in ascending order of value. G = number of distinct values.
Recoded recode_vec(std::span<const std::int32_t> values);
Recoded recode_i64(StridedVector<std::int64_t> values);
Recoded recode_i64(std::span<const std::int64_t> values);

// Renumbers a column in place to 0..G-1 in order of first appearance.
// A negative code panics.
void reindex_codes(std::span<std::int32_t> codes);

// Largest code + 1 in 64-bit arithmetic; 1 for an empty column. A column whose
// codes are all negative gives 0 (its largest code + 1 is then <= 0).
std::size_t n_groups_of(std::span<const std::int32_t> codes);

// Codes of the intersection of m >= 1 columns; rows are those of columns[0],
// later columns need at least as many entries.
Recoded interaction_codes(std::span<const std::span<const std::int32_t>> columns);

}  // namespace kestrel
