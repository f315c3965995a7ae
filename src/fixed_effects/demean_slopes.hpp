// Demeaning by fixed effects with varying slopes: the residual of every
// column on the span of each fixed effect's terms, a term being the level's
// dummy (its intercept, unless dropped) or a slope variable times the dummy.
//
// The fixed effect with the most coefficients (A) is eliminated exactly, level
// by level: the projection on a level's terms uses the pseudo-inverse of
// their small Gram matrix, so a slope variable constant in the level beside
// the intercept, or zero throughout, is no trouble. The others' (B)
// coefficients solve the system left, D_B' M_A D_B b = D_B' M_A y (M_A the
// projection off A), by conjugate gradient preconditioned with the inverses
// of D_B'D_B's level blocks. One fixed effect takes no iteration. Columns are
// independent (pool tasks on large problems, in step so that the observer
// sees every iteration from the calling thread); every sum runs in row order,
// so results do not depend on threads. When B is one fixed effect with a
// single term (id[year] + firm), S is applied from per-(A-level, B-level)
// sums, a pass over those pairs per iteration instead of three over the
// rows, and, when A keeps its intercept, S itself is factored where it is
// sparse (weakly linked designs: a ring of firms) or the graph of its
// negative entries otherwise, and preconditions the iteration in place of
// the level blocks (see demean_slopes.cpp for the safeguards).
//
// Shapes: n rows; fixed effect q has G_q levels and k_q terms, its
// coefficients laid out level by level (G_q * k_q values).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "fixed_effects/demean.hpp"
#include "fixed_effects/fixed_effects.hpp"

namespace kestrel {

// The terms of one fixed effect beyond its codes.
struct SlopeTerms {
  bool intercept = true;
  // Slope variables at the n used rows (unweighted values).
  std::vector<std::span<const double>> slopes;
};

struct SlopeReport {
  SolveReport report;
  // Per fixed effect, the sum over its levels of the rank of the level's
  // terms (the coefficients it identifies on its own).
  std::vector<std::size_t> level_ranks;
};

// Demeans ncols contiguous columns of fe.rows() values in place; weighted
// (fe.weighted()), the data hold sqrt(w) x, the terms are scaled alike and
// the result is sqrt(w) times the weighted residual. `terms` has one entry
// per fixed effect. A column stops, converged, when the preconditioned
// gradient's norm falls below tol times the larger of the residual's norm
// and kScaleFloor times the column's scale (options.column_scales: centred
// sums of squares; empty: the column's own sum of squares), or below the
// rounding level of the column; unconverged at max_iter steps, on breakdown
// or when a value turns non-finite. The report's stage is Cg; its
// iterations are the largest any column took. The observer, if any, sees
// each iteration with the largest preconditioned gradient relative to its
// residual; it may throw to abandon the solve.
SlopeReport demean_slopes_columns(std::span<double> data, std::size_t ncols,
                                  const FixedEffects& fe, std::span<const SlopeTerms> terms,
                                  const SolveOptions& options);

}  // namespace kestrel
