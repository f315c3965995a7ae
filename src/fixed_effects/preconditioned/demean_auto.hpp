// The "auto" strategy for several fixed effects: conjugate gradient on the
// system left once the largest fixed effect is eliminated, preconditioned by
// that system's diagonal first and, once this stalls, by the fixed-effect
// graph (preconditioned_demean.hpp). Both stages iterate over the codes
// only; the data are read once and written once.
#pragma once

#include <cstddef>
#include <span>

#include "codes/compact_codes.hpp"
#include "fixed_effects/demean.hpp"

namespace kestrel {

// Demeans ncols contiguous columns of nrows values in place by Q >= 2 fixed
// effects (codes and n_groups as for preconditioned_demean). The report
// counts the "diagonal" and the "graph" stage: options.max_iter bounds both together,
// and the observer sees every iteration of both, numbered on. Weighted
// (options.weights): the data hold sqrt(w) x (demean.hpp). With
// coefficients: per column, those of the result (SolverOptions).
DemeanReport demean_auto(std::span<double> data, std::size_t nrows, std::size_t ncols,
                         std::span<const CodeSpan> codes, std::span<const std::size_t> n_groups,
                         const DemeanOptions& options,
                         std::vector<std::vector<double>>* coefficients = nullptr);

}  // namespace kestrel
