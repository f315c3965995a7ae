// Removing fixed effects from data columns: the one-fixed-effect projection
// or, with several, an iterative solver, with one set of options and one
// report for all of them. Shared by the Python entry rust_demean, the
// estimators and the layer's absorption stage.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "codes/compact_codes.hpp"
#include "fixed_effects/accuracy.hpp"
#include "fixed_effects/fixed_effects.hpp"
#include "linalg/strided.hpp"
#include "runtime/iteration_observer.hpp"

namespace kestrel {

// How one fixed effect is removed: by the projection's own rule (sequential
// below the size threshold, chunked on the pool at or above it), as the
// estimators do, or always sequentially, as rust_demean does.
enum class SingleFeForm { DemeanCol, Sequential };

// Which iteration serves several fixed effects: conjugate gradient on the
// symmetric sweep (the engine's entry points), or conjugate gradient on the
// system left once the largest fixed effect is eliminated, preconditioned by
// its diagonal and, once that stalls, by the fixed-effect graph
// (preconditioned/preconditioned_demean.hpp).
enum class DemeanSolver { Cg, Auto };

// How the demeaning ended: "none" (no fixed effect), "exact" (one, a single
// projection), "cg" (the symmetric sweep), or the Auto solver's stage that
// finished: "diagonal" or "graph" (its two preconditioners).
enum class DemeanStage { None, Exact, Cg, Diagonal, Graph };

// Its name as the layer reports it: "none", "exact", ...
const char* stage_name(DemeanStage stage);

// How one solve runs and what it hands back, for every solver.
struct SolveOptions {
  double tol = 1e-8;
  std::uint64_t max_iter = 0;
  SingleFeForm single = SingleFeForm::DemeanCol;
  DemeanSolver solver = DemeanSolver::Cg;
  IterationObserver* observer = nullptr;  // progress and interruption; may be null
  // Each column's own scale (its centred sum of squares), or empty. Given,
  // the Cg solver demeans the columns one at a time, each to the target of
  // accuracy.hpp; empty, it demeans the stack as one vector with one
  // stopping test (the engine's entry points). The Auto solver always holds
  // each column to the target, measured from the column left once the
  // largest fixed effect is removed.
  std::span<const double> column_scales;
  // Each column's plain sum of squares, or empty: spares the Auto solver a
  // pass over the data to find the columns' rounding level.
  std::span<const double> column_raw_sums;
  // Per column, fixed-effect coefficients to start from (warm start): n_groups
  // values per fixed effect, concatenated in order. Null: from zero.
  const std::vector<std::vector<double>>* start = nullptr;
  // If not null, receives per column the coefficients alpha of the result
  // (laid out as `start`; groups without rows get 0), so that a caller
  // solving again with slightly changed data can start from them.
  std::vector<std::vector<double>>* coefficients = nullptr;

  // The engine's entry points: conjugate gradient, no observer.
  static SolveOptions cg(double tol, std::uint64_t max_iter) {
    SolveOptions o;
    o.tol = tol;
    o.max_iter = max_iter;
    return o;
  }
};

// Iterations by stage: the symmetric sweep's (DemeanSolver::Cg), or the Auto
// solver's diagonally and graph-preconditioned ones.
struct SolveReport {
  DemeanStage stage = DemeanStage::None;
  bool converged = true;
  bool limit_reached = false;  // max_iter ended it, unconverged
  std::uint64_t cg_iterations = 0;
  std::uint64_t diagonal_iterations = 0;
  std::uint64_t graph_iterations = 0;
  double setup_seconds = 0.0;  // building the graph preconditioner
};

// Removes the fixed effects from ncols contiguous columns of fe.rows()
// values in place (column-major data of at least rows * ncols entries). No
// fixed effect: nothing changes. One: each column is projected once (tol,
// max_iter and solver unused). Several: the chosen solver. Weighted
// (fe.weighted()): the data hold sqrt(w) x and come back as
// sqrt(w) (x - D alpha), alpha minimising sum_i w_i (x_i - (D alpha)_i)^2;
// every norm of the stopping rules is the weighted one. Tables follow the
// groups that occur, so numbers of groups far beyond the data cost nothing.
// `spare` is passed on to the conjugate-gradient solver.
SolveReport demean_columns(std::span<double> data, std::size_t ncols, const FixedEffects& fe,
                           const SolveOptions& options, std::span<double> spare = {});

// rust_demean: the demeaned copy of x (any strides) as a row-major n x k
// buffer. Every code column must have exactly one code per row of x; a
// column of another length panics with a message naming fe_codes_list and
// both lengths (a longer column would put rows that do not exist into the
// group counts).
std::vector<double> demean_matrix(StridedMatrix x, std::span<const CodeSpan> codes,
                                  std::span<const std::size_t> n_groups, double tol,
                                  std::uint64_t max_iter);

}  // namespace kestrel
