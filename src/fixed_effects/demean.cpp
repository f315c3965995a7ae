#include "fixed_effects/demean.hpp"

#include <cmath>
#include <optional>
#include <string>

#include "runtime/check.hpp"
#include "fixed_effects/demean_cg.hpp"
#include "fixed_effects/preconditioned/demean_auto.hpp"
#include "fixed_effects/projection.hpp"
#include "runtime/work_buffer.hpp"

namespace kestrel {

namespace {

// Passes each step to the observer, with the residual relative to the
// iterate's norm (the quantity the stopping rule compares with tol).
class ObservedCg final : public CgMonitor {
 public:
  explicit ObservedCg(IterationObserver& observer) : observer_(observer) {}
  bool proceed(std::uint64_t iteration, double rr, double xx) override {
    observer_.iteration(iteration, std::sqrt(rr / std::fmax(xx, 1e-16)));
    return true;
  }

 private:
  IterationObserver& observer_;
};

}  // namespace

DemeanReport demean_columns(std::span<double> data, std::size_t nrows, std::size_t ncols,
                            std::span<const CodeSpan> codes,
                            std::span<const std::size_t> n_groups, const DemeanOptions& options,
                            std::span<double> spare) {
  DemeanReport report;
  if (codes.empty()) return report;
  if (codes.size() == 1) {
    check_index(0, n_groups.size());
    demean_cols(data, nrows, ncols, codes[0], n_groups[0],
                options.single == SingleFeForm::DemeanCol);
    report.stage = DemeanStage::Exact;
    return report;
  }
  if (options.solver == DemeanSolver::Auto)
    return demean_auto(data, nrows, ncols, codes, n_groups, options);
  std::optional<ObservedCg> observed;
  if (options.observer != nullptr) observed.emplace(*options.observer);
  const CgOutcome cg = demean_cg_columns(data, nrows, ncols, codes, n_groups, options.max_iter,
                                         options.tol, spare, observed ? &*observed : nullptr);
  report.stage = DemeanStage::Cg;
  report.cg_iterations = cg.iterations;
  report.converged = cg.converged;
  return report;
}

std::vector<double> demean_matrix(StridedMatrix x, std::span<const CodeSpan> codes,
                                  std::span<const std::size_t> n_groups, double tol,
                                  std::uint64_t max_iter) {
  const std::size_t n = x.rows;
  const std::size_t k = x.cols;
  for (std::size_t q = 0; q < codes.size(); ++q) {
    if (codes[q].size() != n)
      panic("rust_demean: fe_codes_list[" + std::to_string(q) + "] has " +
            std::to_string(codes[q].size()) + " codes but x has " + std::to_string(n) + " rows");
  }
  // Read x row by row (its usual C order) into k contiguous columns. The
  // working copy is a work buffer: a vector would first fill it with zeros,
  // a whole extra pass over memory that is about to be overwritten.
  const std::size_t total = checked_mul(n, k);
  const WorkBuffer work = work_buffer(total);
  double* m = work.get();
  for (std::size_t r = 0; r < n; ++r)
    for (std::size_t c = 0; c < k; ++c) m[c * n + r] = x(r, c);

  // The result buffer doubles as the solver's direction product until the
  // solver is done: one vector of the data's size fewer to allocate.
  std::vector<double> out;
  out.reserve(total);
  work_buffer_advise(out.data(), total * sizeof(double));
  out.resize(total);
  DemeanOptions options = DemeanOptions::cg(tol, max_iter);
  options.single = SingleFeForm::Sequential;
  demean_columns(std::span<double>(m, total), n, k, codes, n_groups, options, out);
  for (std::size_t r = 0; r < n; ++r)
    for (std::size_t c = 0; c < k; ++c) out[r * k + c] = m[c * n + r];
  return out;
}

}  // namespace kestrel
