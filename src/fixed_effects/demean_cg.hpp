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
#include <vector>

#include "fixed_effects/accuracy.hpp"
#include "fixed_effects/demean.hpp"
#include "fixed_effects/fixed_effects.hpp"

namespace kestrel {

// What a conjugate-gradient run takes beyond the SolveOptions it shares
// with every solver (tol, max_iter, observer).
struct CgRun {
  // The squared norm below which the iterate's norm is floored in the
  // stopping test: a column whose demeaned values are (nearly) zero is then
  // held to tol times this floor's root, not to tol times its own vanishing
  // norm.
  double floor_norm2 = 0.0;
  // If not null, receives per column (in order) the coefficients alpha with
  // result = data - D alpha (sqrt(w) D when weighted), fixed effects in
  // order, n_groups[q] values each (groups without rows: 0).
  std::vector<double>* coefficients = nullptr;
};

// Demeans ncols contiguous columns of fe.rows() values in place
// (column-major data of at least rows * ncols entries); weighted
// (fe.weighted()), the data hold sqrt(w) x and come back as sqrt(w) times
// the weighted residual. Iterations stop, converged, when
// tol^2 * fmax(x.x, floor_norm2) > r.r, when r.r falls below
// kRoundingFloor^2 times the data's x.x, or when r.r is 0 (tol > 0);
// unconverged on breakdown (p.q not positive), when r.r turns non-finite,
// when a step raises x.x by more than kGrowthLimit, or after max_iter
// steps. Every test is relative to the data, so that the result does not
// depend on their units. The observer, if any, sees every completed step
// with its number (from 1) and sqrt(r.r / fmax(x.x, floor_norm2)); it may
// throw to abandon the solve (the data then holds that step's iterate).
// max_iter = 0 leaves the data unchanged; so does an empty list of fixed
// effects (the sweep is then the identity). A `spare` buffer of at least
// rows * ncols doubles, if given, serves as one of the work vectors (its
// contents are overwritten): a caller that needs such a buffer afterwards
// then allocates one vector fewer. The report's stage is Cg.
SolveReport demean_cg_columns(std::span<double> data, std::size_t ncols, const FixedEffects& fe,
                              const SolveOptions& options, const CgRun& run = {},
                              std::span<double> spare = {});

}  // namespace kestrel
