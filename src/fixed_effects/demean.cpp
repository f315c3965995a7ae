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
  ObservedCg(IterationObserver& observer, double floor2) : observer_(observer), floor2_(floor2) {}
  bool proceed(std::uint64_t iteration, double rr, double xx) override {
    const double norm2 = std::fmax(xx, floor2_);
    observer_.iteration(iteration, rr > 0.0 ? std::sqrt(rr / norm2) : 0.0);
    return true;
  }

 private:
  IterationObserver& observer_;
  double floor2_;
};

// Numbers the iterations of successive solves on from where the last ended.
class OffsetObserver final : public IterationObserver {
 public:
  explicit OffsetObserver(IterationObserver& observer) : observer_(observer) {}
  void iteration(std::uint64_t iteration, double residual) override {
    observer_.iteration(start + iteration, residual);
  }
  std::uint64_t start = 0;

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
  if (options.observer != nullptr) observed.emplace(*options.observer, 0.0);
  CgOptions cg_options;
  cg_options.tol = options.tol;
  cg_options.max_iter = options.max_iter;
  report.stage = DemeanStage::Cg;
  if (options.column_scales.empty()) {
    const CgOutcome cg = demean_cg_columns(data, nrows, ncols, codes, n_groups, cg_options, spare,
                                           observed ? &*observed : nullptr);
    report.cg_iterations = cg.iterations;
    report.converged = cg.converged;
    report.limit_reached = cg.limit_reached;
    return report;
  }
  // One column at a time, each to its own scale; the limit applies to each.
  check_len(options.column_scales.size(), ncols);
  check_len(data.size(), checked_mul(nrows, ncols));
  std::optional<OffsetObserver> offset;
  if (options.observer != nullptr) offset.emplace(*options.observer);
  for (std::size_t c = 0; c < ncols; ++c) {
    cg_options.floor_norm2 = kScaleFloor * kScaleFloor * options.column_scales[c];
    std::optional<ObservedCg> column_observed;
    if (offset) {
      offset->start = report.cg_iterations;
      column_observed.emplace(*offset, cg_options.floor_norm2);
    }
    const CgOutcome cg = demean_cg_columns(data.subspan(c * nrows, nrows), nrows, 1, codes,
                                           n_groups, cg_options, {},
                                           column_observed ? &*column_observed : nullptr);
    report.cg_iterations += cg.iterations;
    report.converged = report.converged && cg.converged;
    report.limit_reached = report.limit_reached || cg.limit_reached;
  }
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
