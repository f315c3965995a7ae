// Demeaning by graph-preconditioned conjugate gradient: the solver for
// designs on which the symmetric sweep stalls (worker-firm panels with
// limited mobility, whose firm graph is a long ring or chain).
//
// Method. The largest fixed effect is eliminated exactly (its Gramian block
// is diagonal), leaving the reduced system S a = D_r'(I - P_1) x on the
// coefficients a of the other fixed effects (reduced_operator.hpp). It is
// solved by conjugate gradient, column by column in lockstep, preconditioned
// by the Laplacians that each pair (largest, q) leaves on q
// (block_preconditioner.hpp): exact where their elimination fill stays
// small, approximate (sampled) otherwise. The demeaned column is
// (I - P_1)(x - D_r a). With two fixed effects and an exact factor the first
// step already solves the system.
//
// Stopping rule. With residual r = rhs - S a and z = M^+ r, z'r estimates
// the squared distance ||e - e*||^2 between the current demeaned column e and
// the exact one (it equals r' S^+ r when M = S). A column is done when
// z'r <= tol^2 * max(||e||^2, 1e-16), ||e||^2 being tracked exactly in
// coefficient space; the residual handed to the observer is
// sqrt(z'r / max(||e||^2, 1e-16)), the largest over unfinished columns. A
// column also stops on breakdown (p'Sp not positive) or a non-finite z'r
// (it then counts as not converged).
//
// Memory beyond the data: per column six coefficient vectors of
// m = sum of the other factors' groups; per running row chunk one table of
// max(G_largest, m); during set-up the rows grouped by the largest factor
// (4 bytes a row) and the graphs and factors, held to half the data's size
// (at least 1 MiB a block; a block that would need more falls back to its
// diagonal).
//
// Determinism: for a given thread count T (thread_pool_size) the result is
// the same bit for bit from run to run: row passes add chunk tables in
// chunk order (reduced_operator.hpp); factors are built sequentially per
// block with counter-based draws keyed by a fixed seed; everything else is
// sequential.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "codes/compact_codes.hpp"
#include "runtime/iteration_observer.hpp"

namespace kestrel {

struct SolverReport {
  std::uint64_t iterations = 0;
  bool converged = false;
  double setup_seconds = 0.0;
};

// Demeans ncols contiguous columns of nrows values (column-major, in place)
// by Q = codes.size() fixed effects. Code column q needs at least nrows
// entries, of which the first nrows are read, each in 0..n_groups[q]-1, and
// n_groups[q] <= nrows (every group is expected to have rows; panics
// otherwise). Q = 0 leaves the data alone; Q = 1 subtracts group means
// (no iteration). max_iter = 0 leaves the data alone (not converged). If the
// observer throws, the data is unchanged and the exception propagates.
// Allocation failure throws std::bad_alloc.
SolverReport preconditioned_demean(std::span<double> data, std::size_t nrows, std::size_t ncols,
                                   std::span<const CodeSpan> codes,
                                   std::span<const std::size_t> n_groups, double tol,
                                   std::uint64_t max_iter, IterationObserver* observer);

}  // namespace kestrel
