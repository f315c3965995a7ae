// Iterative removal of singleton observations.
//
// A row alone in its group of some fixed effect is fitted exactly by that
// group's coefficient; dropping it can leave another row alone elsewhere, so
// removal repeats until no group of any fixed effect has exactly one kept row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "codes/compact_codes.hpp"

namespace kestrel {

// Keep mask over the n rows of fe_codes[0] (1 = keep). A first pass runs
// over the fixed effects in order; within a fixed effect's step the counts
// are taken once over the kept rows and not updated while its singletons are
// dropped, and the mask it leaves is the one the next fixed effect counts on.
// If that pass dropped rows, the rest follows in linear time: a worklist of
// the groups left with one row, each dropped row updating the counts of its
// groups in every fixed effect. The final mask is the largest row set in
// which no group has exactly one row, whatever the order of the fixed
// effects (removal only takes rows that no such set can hold).
//
// `start` (n entries, or empty for every row) marks the rows that take part
// at all; the others are never read and stay 0. Later columns need a code
// for every row that is still kept when the first pass counts them; a kept
// row whose code is negative or missing panics. Requires at least one
// column (panics otherwise). n = 0 gives an empty mask. Tables follow the
// codes that occur, not the largest code.
//
// `counts` (n entries, or empty): frequency weights, each row standing for
// that many identical ones. A row alone in its group is then a singleton
// only when its count is 1 (the group's total count 1); one of count 3
// stands for three rows of the group and stays.
std::vector<std::uint8_t> drop_singletons_mask(std::span<const CodeSpan> fe_codes,
                                               std::span<const std::uint8_t> start = {},
                                               std::span<const double> counts = {});

// Code columns as a fit uses them: the caller's own when no row was removed,
// otherwise copies owned here. `spans` views `owned` when that is filled, and
// stays valid when the value is moved.
struct UsedCodes {
  std::vector<std::vector<std::int32_t>> owned;
  std::vector<CodeSpan> spans;
};

// The caller's columns, not copied.
UsedCodes codes_as_passed(std::span<const CodeSpan> columns);

// Copies of the columns holding only the rows `mask` keeps (`kept` of them);
// every column needs at least mask.size() codes. With `renumber` each copy is
// renumbered to 0..G-1 in order of first appearance (reindex_codes), as fixed
// effects need once rows are gone; cluster columns are copied as they are.
UsedCodes codes_of_kept_rows(std::span<const CodeSpan> columns, std::span<const std::uint8_t> mask,
                             std::size_t kept, bool renumber);

}  // namespace kestrel
