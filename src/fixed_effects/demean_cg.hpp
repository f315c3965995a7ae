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

#include "codes/compact_codes.hpp"
#include "fixed_effects/accuracy.hpp"

namespace kestrel {

// What a caller sees of the iteration, and how it may end it early: the
// layer's progress line, interruption and stall detection. Called on the
// calling thread after every completed step with the step count (from 1),
// r.r and x.x of the stacked vector; returning false stops the iteration
// with the iterate of that step. It may throw to abandon the solve (the
// data then holds that step's iterate).
class CgMonitor {
 public:
  virtual ~CgMonitor() = default;
  virtual bool proceed(std::uint64_t iteration, double rr, double xx) = 0;
};

struct CgOutcome {
  std::uint64_t iterations = 0;  // completed steps
  bool converged = false;        // the stopping test held when the iteration ended
  bool limit_reached = false;    // max_iter steps ended it, unconverged
};

struct CgOptions {
  double tol = 1e-8;
  std::uint64_t max_iter = 0;
  // The squared norm below which the iterate's norm is floored in the
  // stopping test: a column whose demeaned values are (nearly) zero is then
  // held to tol times this floor's root, not to tol times its own vanishing
  // norm.
  double floor_norm2 = 0.0;
  // Weighted demeaning: one positive weight per row (all entries of the code
  // columns) and their square roots; the data then hold sqrt(w) x and come
  // back as sqrt(w) times the weighted residual. Empty: unweighted.
  std::span<const double> weights;
  const double* scale = nullptr;
  // If not null, receives per column (in order) the coefficients alpha with
  // result = data - D alpha (sqrt(w) D when weighted), fixed effects in
  // order, n_groups[q] values each (groups without rows: 0).
  std::vector<double>* coefficients = nullptr;
};

// Demeans ncols contiguous columns of nrows values in place (column-major
// data of at least nrows * ncols entries). Group counts of fixed effect q
// come from code column q (all its entries) with n_groups[q] groups; codes
// need at least nrows entries, each in 0..n_groups[q]-1, and n_groups needs
// an entry per code column (panics otherwise). Iterations stop, converged,
// when tol^2 * fmax(x.x, floor_norm2) > r.r, when r.r falls below
// kRoundingFloor^2 times the data's x.x, or when r.r is 0 (tol > 0);
// unconverged on breakdown (p.q not positive), when r.r turns non-finite,
// when a step raises x.x by more than kGrowthLimit, after max_iter steps, or
// when the monitor says so. Every test is relative to the data, so that the
// result does not depend on their units.
// max_iter = 0 leaves the data unchanged; so does an empty list of code
// columns (the sweep is then the identity). Tables follow the groups that
// occur, so n_groups may far exceed the rows. A `spare` buffer of at least
// nrows * ncols doubles, if given, serves as one of the work vectors (its
// contents are overwritten): a caller that needs such a buffer afterwards
// then allocates one vector fewer.
CgOutcome demean_cg_columns(std::span<double> data, std::size_t nrows, std::size_t ncols,
                            std::span<const CodeSpan> codes,
                            std::span<const std::size_t> n_groups, const CgOptions& options,
                            std::span<double> spare = {}, CgMonitor* monitor = nullptr);

}  // namespace kestrel
