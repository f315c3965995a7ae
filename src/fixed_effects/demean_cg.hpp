// Conjugate-gradient demeaning by several fixed effects at once.
//
// Solves (I - T) x = 0 from x0 = the data, T the symmetric sweep of
// projection.hpp; the limit is the residual of the data on all fixed-effect
// dummies. All columns form one stacked vector of N = nrows * ncols entries
// (column-major): inner products run over all N entries in index order, and
// one step length, one direction factor and one stopping test serve every
// column.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "fixed_effects/compact_codes.hpp"
#include "linalg/col_major_matrix.hpp"

namespace kestrel {

// The demeaned copy of `m`. Group counts of fixed effect q come from code
// column q (all its entries) with n_groups[q] groups; codes need at least
// m.nrows entries, each in 0..n_groups[q]-1, and n_groups needs an entry per
// code column (panics otherwise). Iterations stop when
// tol^2 * fmax(x.x, 1e-16) > r.r, on breakdown (|p.q| < 1e-30), when r.r
// turns non-finite, or after max_iter steps; nothing reports which.
// max_iter = 0 returns the data unchanged. With no code column the sweep is
// the identity and the data comes back unchanged. Tables follow the groups
// that occur, so n_groups may far exceed the rows.
ColMajorMatrix demean_cg_slices(const ColMajorMatrix& m, std::span<const CodeSpan> codes,
                                std::span<const std::size_t> n_groups, std::uint64_t max_iter,
                                double tol);

// The same, working in place on `m` (saves one copy of the data). A `spare`
// buffer of at least nrows * ncols doubles, if given, serves as one of the
// work vectors (its contents are overwritten): a caller that needs such a
// buffer afterwards, for the result, then allocates one vector fewer.
void demean_cg_in_place(ColMajorMatrix& m, std::span<const CodeSpan> codes,
                        std::span<const std::size_t> n_groups, std::uint64_t max_iter,
                        double tol, std::span<double> spare = {});

// The same on ncols contiguous columns of nrows values each (column-major
// data of at least nrows * ncols entries).
void demean_cg_columns(std::span<double> data, std::size_t nrows, std::size_t ncols,
                       std::span<const CodeSpan> codes, std::span<const std::size_t> n_groups,
                       std::uint64_t max_iter, double tol, std::span<double> spare = {});

}  // namespace kestrel
