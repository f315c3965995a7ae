#include "fixed_effects/preconditioned/demean_auto.hpp"

#include <cmath>
#include <optional>

#include "fixed_effects/demean_cg.hpp"
#include "fixed_effects/preconditioned/preconditioned_demean.hpp"

namespace kestrel {

namespace {

// Watches the CG steps: passes each to the observer (residual relative to
// the iterate, the quantity the CG stopping rule compares with tol) and
// stops the iteration once it stalls.
class StallMonitor final : public CgMonitor {
 public:
  explicit StallMonitor(IterationObserver* observer) : observer_(observer) {}

  bool proceed(std::uint64_t iteration, double rr, double xx) override {
    if (observer_ != nullptr) observer_->iteration(iteration, std::sqrt(rr / std::fmax(xx, 1e-16)));
    // The first step's ratio compares with the initial residual, which the
    // monitor never sees; counting starts at the second.
    if (have_previous_) {
      const double ratio = std::sqrt(rr / previous_);
      run_ = ratio > kStallRatio ? run_ + 1 : 0;  // NaN ratios reset the run
    }
    previous_ = rr;
    have_previous_ = rr > 0.0;
    if (run_ >= kStallRun) {
      stalled_ = true;
      return false;
    }
    return true;
  }

  bool stalled() const { return stalled_; }

 private:
  IterationObserver* observer_;
  double previous_ = 0.0;
  bool have_previous_ = false;
  unsigned run_ = 0;
  bool stalled_ = false;
};

// Numbers the second stage's iterations on from the first's.
class OffsetObserver final : public IterationObserver {
 public:
  OffsetObserver(IterationObserver& inner, std::uint64_t offset) : inner_(inner), offset_(offset) {}
  void iteration(std::uint64_t iteration, double residual) override {
    inner_.iteration(offset_ + iteration, residual);
  }

 private:
  IterationObserver& inner_;
  std::uint64_t offset_;
};

}  // namespace

DemeanReport demean_auto(std::span<double> data, std::size_t nrows, std::size_t ncols,
                         std::span<const CodeSpan> codes, std::span<const std::size_t> n_groups,
                         const DemeanOptions& options, std::span<double> spare) {
  DemeanReport report;
  StallMonitor monitor(options.observer);
  const CgOutcome cg = demean_cg_columns(data, nrows, ncols, codes, n_groups, options.max_iter,
                                         options.tol, spare, &monitor);
  report.stage = DemeanStage::Cg;
  report.cg_iterations = cg.iterations;
  report.converged = cg.converged;
  if (!monitor.stalled() || cg.converged) return report;

  const std::uint64_t left = options.max_iter - cg.iterations;  // the monitor ran: iterations <= max_iter
  std::optional<OffsetObserver> offset;
  if (options.observer != nullptr) offset.emplace(*options.observer, cg.iterations);
  IterationObserver* observer = offset ? &*offset : nullptr;
  const SolverReport pre = preconditioned_demean(data, nrows, ncols, codes, n_groups, options.tol,
                                                 left, observer);
  report.stage = DemeanStage::Preconditioned;
  report.preconditioned_iterations = pre.iterations;
  report.setup_seconds = pre.setup_seconds;
  report.converged = pre.converged;
  return report;
}

}  // namespace kestrel
