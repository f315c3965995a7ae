// The fixed effects' values of a fit: the least-squares solution alpha of
// D alpha = r over the rows used, where r = y - X beta (observed regressors)
// and D holds the fixed-effect dummies, normalised as fixest and pyfixest
// report them.
//
// Shapes: n rows; Q fixed effects, fixed effect q with codes 0..G_q-1 (every
// group with rows, as the sample stage numbers them); the values of all
// fixed effects stacked form one vector of m = sum G_q entries.
//
// Solve. One fixed effect: its group means of r, exactly. Several: the
// demeaning solver of DemeanSolver::Auto (preconditioned_demean.hpp) on r,
// which eliminates the largest fixed effect and solves for the others'
// values by conjugate gradient, preconditioned by the reduced system's
// diagonal and, once that stalls, by the fixed-effect graph; the largest
// fixed effect's values are then the group means of what is left. D'D is
// singular (adding c to one fixed effect and subtracting it from another
// fits the same), but the system is consistent, and the normalisation below
// picks one solution. tol, max_iter and the observer are that solver's.
//
// Normalisation. The first fixed effect is never a reference. With two, each
// connected component of their level graph (levels joined by the rows that
// share them) has one level of the second set to 0 and the shift moved to the
// first fixed effect's levels of that component. With three or more, each
// later fixed effect has one level set to 0 and the shift moved to the first
// fixed effect (one reference per fixed effect after the first, which
// identifies every value when the design is regular). The reference of a set
// of levels is the one of lowest `preference` (the layer ranks levels by
// their labels, so the first level in sorted order is the reference, as in
// pyfixest).
//
// Determinism: for a given thread count the values are the same bit for bit
// from run to run (the solver's row passes add per-chunk sums in chunk
// order).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "codes/compact_codes.hpp"
#include "fixed_effects/demean.hpp"

namespace kestrel {

struct FixefValues {
  std::vector<std::vector<double>> values;  // per fixed effect, one per group
  std::vector<std::size_t> references;      // per fixed effect, the groups set to 0
  std::uint64_t iterations = 0;
  bool converged = true;
};

// r needs n entries; codes[q] n codes in 0..n_groups[q]-1; preference[q]
// n_groups[q] ranks (any integers; ties go to the lower group). Broken
// preconditions panic. Weights: none, or one positive per row; the values
// then solve the weighted normal equations D'W D alpha = D'W r. options:
// the solver's tol, max_iter and observer (between iterations; may throw).
FixefValues fixef_values(std::span<const double> r, std::span<const CodeSpan> codes,
                         std::span<const std::size_t> n_groups,
                         std::span<const CodeSpan> preference, std::span<const double> weights,
                         const SolveOptions& options);

}  // namespace kestrel
