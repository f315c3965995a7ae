#include "fixed_effects/preconditioned/demean_auto.hpp"

#include "fixed_effects/preconditioned/preconditioned_demean.hpp"

namespace kestrel {

DemeanReport demean_auto(std::span<double> data, std::size_t nrows, std::size_t ncols,
                         std::span<const CodeSpan> codes, std::span<const std::size_t> n_groups,
                         const DemeanOptions& options,
                         std::vector<std::vector<double>>* coefficients) {
  SolverOptions solver;
  solver.tol = options.tol;
  solver.max_iter = options.max_iter;
  solver.observer = options.observer;
  solver.raw_sums_of_squares = options.column_raw_sums;
  solver.weights = options.weights;
  solver.weight_roots = options.weight_roots;
  solver.column_coefficients = coefficients;
  const SolverReport pre = preconditioned_demean(data, nrows, ncols, codes, n_groups, solver);
  DemeanReport report;
  report.stage = pre.switched ? DemeanStage::Graph : DemeanStage::Diagonal;
  report.diagonal_iterations = pre.diagonal_iterations;
  report.graph_iterations = pre.graph_iterations;
  report.setup_seconds = pre.setup_seconds;
  report.converged = pre.converged;
  report.limit_reached = pre.limit_reached;
  return report;
}

}  // namespace kestrel
