// The conversions of kestrel._core's arguments into the stages' plain
// types, with the checks that name the argument, taken while the
// interpreter lock is held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "boundary/kinds.hpp"
#include "boundary/py_ref.hpp"
#include "boundary/results.hpp"
#include "boundary/views.hpp"
#include "codes/compact_codes.hpp"
#include "fixed_effects/singletons.hpp"
#include "stages/meats.hpp"

namespace kestrel::boundary {

// Copies of what a stage checks once and then trusts (codes used as indices,
// the mask that sizes the stack), taken while the lock is held: another
// thread may write to the caller's arrays once it is released.
template <class T>
std::vector<T> owned(std::span<const T> values) {
  return {values.begin(), values.end()};
}

// Owned copies of code columns (int32, one code per row) and spans over them.
struct OwnedCodes {
  std::vector<std::vector<std::int32_t>> columns;
  std::vector<CodeSpan> spans;
};
OwnedCodes owned_codes(std::vector<I32Vector>& views);

// A stage's code columns as int32 arrays (its own, or copies of borrowed ones).
std::vector<ArrayResult<std::int32_t>> code_results(UsedCodes&& used);

std::vector<std::uint64_t> counts_of(const std::vector<std::size_t>& v);
std::vector<std::size_t> indices_of(const std::vector<std::uint64_t>& v);

// The columns of a column-major float64 array (Fortran order), as flat
// memory of rows * cols values; any other layout is a ValueFailure.
ColumnStack column_major(F64Matrix& data);

// Residuals of the data's rows, one per row.
std::span<const double> resid_of(F64Vector& view, std::size_t n);

// Time (and panel) codes of the used rows: dense, non-negative, one per row;
// a copy of the call's own.
std::vector<std::int32_t> serial_codes(I32Vector& view, std::size_t n, const char* what);

// Regression weights of the used rows: one float64 per row of the columns,
// finite and positive where the mask keeps the row (others are not read).
std::vector<double> used_weights(OwnedRef& weights, const std::vector<std::uint8_t>& mask,
                                 std::size_t n);

// Starting coefficients: one float64 vector of `size` values per column.
std::vector<std::vector<double>> start_coefficients(OwnedRef& start, std::size_t columns,
                                                    std::size_t size);

}  // namespace kestrel::boundary
