// Removing fixed effects from a data matrix: the one-fixed-effect projection
// or, with several, conjugate-gradient demeaning. Shared by the Python entry
// rust_demean and the estimators.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "codes/compact_codes.hpp"
#include "linalg/col_major_matrix.hpp"
#include "linalg/strided.hpp"

namespace kestrel {

// How one fixed effect is removed: by demean_col's rule (sequential below
// the size threshold, chunked on the pool at or above it), as the estimators
// do, or always sequentially, as rust_demean does.
enum class SingleFeForm { DemeanCol, Sequential };

// Removes the fixed effects from every column of `m` in place. No code
// column: nothing changes. One: each column is projected once (tol and
// max_iter unused). Several: demean_cg_in_place. Counts cover each whole code
// column; codes need at least m.nrows entries in 0..n_groups[q]-1, and
// n_groups an entry per code column (panics otherwise). Tables follow the
// groups that occur, so numbers of groups far beyond the data cost nothing.
// `spare` is passed on to demean_cg_in_place.
void demean_in_place(ColMajorMatrix& m, std::span<const CodeSpan> codes,
                     std::span<const std::size_t> n_groups, std::uint64_t max_iter, double tol,
                     SingleFeForm single, std::span<double> spare = {});

// The same on ncols contiguous columns of nrows values each (column-major
// data of at least nrows * ncols entries).
void demean_columns(std::span<double> data, std::size_t nrows, std::size_t ncols,
                    std::span<const CodeSpan> codes, std::span<const std::size_t> n_groups,
                    std::uint64_t max_iter, double tol, SingleFeForm single,
                    std::span<double> spare = {});

// rust_demean: the demeaned copy of x (any strides) as a row-major n x k
// buffer. Every code column must have exactly one code per row of x; a
// column of another length panics with a message naming fe_codes_list and
// both lengths (a longer column would put rows that do not exist into the
// group counts).
std::vector<double> demean_matrix(StridedMatrix x, std::span<const CodeSpan> codes,
                                  std::span<const std::size_t> n_groups, double tol,
                                  std::uint64_t max_iter);

}  // namespace kestrel
