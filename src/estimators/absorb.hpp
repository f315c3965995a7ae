// Absorption, the second stage of a fit with fixed effects: the used rows of
// the fit's columns copied into one column-major stack, the fixed effects
// removed from the whole stack, and the demeaned columns handed on (read in
// place, or laid out row by row for the estimators' row-major blocks).
//
// Shapes: n used rows, m stacked columns; a stack is n * m doubles, column
// j at [j * n, (j + 1) * n).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "linalg/strided.hpp"

namespace kestrel {

// One column of a fit's data as the stack reads it: values through a stride,
// or ones (an intercept).
struct StackSource {
  StridedVector<double> values;
  bool ones = false;

  static StackSource of(std::span<const double> column);
  static StackSource of(StridedVector<double> column) { return {column, false}; }
  static StackSource constant_one() { return {{}, true}; }
  double operator[](std::size_t i) const { return ones ? 1.0 : values[i]; }
};

// The columns of an n x k matrix of any strides, as sources.
std::vector<StackSource> sources_of(StridedMatrix x);

// stack[j * n + r] := sources[j] at the r-th row that `mask` keeps (mask
// empty: row r). Sources need an entry for every row read.
void fill_stack(std::span<double> stack, std::size_t n, std::span<const StackSource> sources,
                std::span<const std::uint8_t> mask);

// dst[r * ld + at + j] := stack column (first + j) at row r, for j < count:
// demeaned columns laid out as part of a row-major block.
void unstack_rows(std::span<const double> stack, std::size_t n, std::size_t first,
                  std::size_t count, std::span<double> dst, std::size_t ld, std::size_t at);

// Centred sum of squares of every stack column: its mean first, then the
// squared deviations, each a running sum over rows in order; exactly 0 for a
// column that is constant up to rounding (deviations at most 1e-10 of its
// root mean square).
std::vector<double> centred_sums_of_squares(std::span<const double> stack, std::size_t n,
                                            std::size_t m);

}  // namespace kestrel
