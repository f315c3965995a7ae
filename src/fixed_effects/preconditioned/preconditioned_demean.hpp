// Demeaning by preconditioned conjugate gradient on the reduced system: the
// solver behind DemeanSolver::Auto.
// (Both stages take the sample's FixedEffects: its tables, group sizes and
// weights.)
//
// Method. The largest fixed effect is eliminated exactly (its Gramian block
// is diagonal), leaving the reduced system S a = D_r'(I - P_1) x on the
// coefficients a of the other fixed effects (reduced_operator.hpp), solved by
// conjugate gradient, one independent iteration per column, all columns in
// lockstep so that a product reads the codes once for all of them. The data
// are read once (the right-hand side) and written once: the demeaned column
// (I - P_1)(x - D_r a). Every iteration in between runs over the codes only.
//
// Two stages, one preconditioner each:
//  1. S's exact diagonal. Cheap to build (one pass over the codes), and on
//     well-mixed designs as good as the symmetric sweep: 5-6 iterations on
//     the public benchmark panel's simple design at tolerance 1e-8.
//  2. Once stage 1 stalls (worker-firm panels with limited mobility, whose
//     firm graph is a long ring or chain), the graph preconditioner of
//     block_preconditioner.hpp: per remaining factor q, the Laplacian that
//     the pair (largest, q) leaves on q, factored exactly where its fill
//     stays small and by sampled elimination otherwise. The iteration goes
//     on from the current coefficients and residual with a fresh direction.
// Stall rule: over the last kStallWindow iterations of a column, its
// residual (sqrt of z'r) fell by less than kStallRatio per iteration on
// average. The window smooths out conjugate gradient's non-monotone
// residual; on the benchmark panel it switches after 6 iterations on the
// difficult design and never on the simple one.
//
// Stopping rule. With residual r = rhs - S a and z = M^+ r, z'r estimates
// the squared distance ||e - e*||^2 between the current demeaned column e and
// the exact one (it equals r' S^+ r when M = S). A column is done when
// z'r < tol^2 * max(||e||^2, 1e-16) (strictly, as the CG path's test: tol = 0
// never stops there), ||e||^2 being tracked exactly in coefficient space;
// the residual handed to the observer is sqrt(z'r / max(||e||^2, 1e-16)),
// the largest over unfinished columns. A column also stops, not converged,
// on breakdown (p'Sp not positive: with a tolerance below what rounding
// allows, r keeps shrinking by recurrence until it and so p vanish), on a
// non-finite z'r, and in stage 2 once its residual has not halved for
// kStagnation iterations (it then only wanders; slow but steady progress
// halves it well within that span).
//
// Memory beyond the data: per column six coefficient vectors of m = sum of
// the other factors' groups and, per running row chunk, m doubles (and
// G_largest when the rows are not grouped by the largest factor); the
// diagonal; from stage 2 on the graphs and factors, built one block after
// another within a budget of the data's size (at least 1 MiB a block), from
// the rows grouped by the largest factor (its runs, or 4 bytes a row) and
// one group number per row as scratch. A block whose exact graph would
// pass its share is sampled (pair_laplacian.hpp); one whose sampled graph
// would too falls back to its diagonal.
//
// Determinism: for a given thread count T (thread_pool_size) the result is
// the same bit for bit from run to run: row passes add chunk tables in
// chunk order (reduced_operator.hpp); factors are built per block with
// counter-based draws keyed by a fixed seed; per-column work is sequential.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "fixed_effects/demean.hpp"
#include "fixed_effects/fixed_effects.hpp"

namespace kestrel {

inline constexpr unsigned kStallWindow = 4;
inline constexpr double kStallRatio = 0.5;
inline constexpr std::uint64_t kStagnation = 50;

// Demeans ncols contiguous columns of fe.rows() values (column-major, in
// place) by Q = fe.size() fixed effects; weighted (fe.weighted()), the data
// hold sqrt(w) x and come back as sqrt(w) (x - D alpha) for the weighted
// least-squares alpha (reduced_operator.hpp). Q = 0 leaves the data alone;
// Q = 1 subtracts group means (no iteration). max_iter = 0 leaves the data
// alone (not converged). options: tol; max_iter (both stages together); the
// observer (every iteration, numbered on across stages); column_raw_sums
// (each column's sum of squares as given, its rounding level; empty:
// computed here, one more pass over the data); coefficients (if not null,
// per column the coefficients of all fixed effects concatenated in order,
// n_groups[q] values each, groups without rows 0, with the demeaned column
// x - D alpha). start, column_scales, single and solver are not read. The
// report's stage is Diagonal, or Graph once stage 2 was reached. If the
// observer throws, the data is unchanged and the exception propagates.
// Allocation failure throws std::bad_alloc.
SolveReport preconditioned_demean(std::span<double> data, std::size_t ncols,
                                  const FixedEffects& fe, const SolveOptions& options);

}  // namespace kestrel
