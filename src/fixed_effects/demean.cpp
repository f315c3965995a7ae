#include "fixed_effects/demean.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>

#include "runtime/check.hpp"
#include "fixed_effects/demean_cg.hpp"
#include "fixed_effects/preconditioned/preconditioned_demean.hpp"
#include "fixed_effects/projection.hpp"
#include "codes/compact_codes.hpp"
#include "runtime/work_buffer.hpp"

namespace kestrel {

const char* stage_name(DemeanStage stage) {
  switch (stage) {
    case DemeanStage::None: return "none";
    case DemeanStage::Exact: return "exact";
    case DemeanStage::Cg: return "cg";
    case DemeanStage::Diagonal: return "diagonal";
    case DemeanStage::Graph: return "graph";
  }
  return "none";
}

namespace {

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

// col -= D alpha (scaled by s_i where weighted): the column left by the
// starting coefficients. The fixed effects' terms of a row are summed in
// order from 0.0.
void subtract_start(double* col, const FixedEffects& fe, std::span<const std::size_t> offset,
                    std::span<const double> alpha, const double* s) {
  const std::span<const CodeSpan> codes = fe.codes();
  const std::span<const std::size_t> n_groups = fe.n_groups();
  for (std::size_t i = 0; i < fe.rows(); ++i) {
    double fit = 0.0;
    for (std::size_t q = 0; q < codes.size(); ++q)
      fit += alpha[offset[q] + check_code(codes[q][i], n_groups[q])];
    col[i] = s != nullptr ? col[i] - s[i] * fit : col[i] - fit;
  }
}

// Per column, the (weighted) group means of the one fixed effect: the
// coefficients of its exact projection. Groups without rows get 0.
std::vector<std::vector<double>> group_means(std::span<const double> data, std::size_t ncols,
                                             const FixedEffects& fe) {
  const std::size_t nrows = fe.rows();
  const CodeSpan codes = fe.codes()[0];
  const CodeSpan used = fe.tables(0).codes();
  const std::span<const double> counts = fe.sizes(0);
  const double* scale = fe.weighted() ? fe.roots().data() : nullptr;
  std::vector<std::vector<double>> out(ncols);
  std::vector<double> sums(counts.size());
  for (std::size_t c = 0; c < ncols; ++c) {
    const double* col = data.data() + c * nrows;
    std::fill(sums.begin(), sums.end(), 0.0);
    for (std::size_t i = 0; i < nrows; ++i)
      sums[check_code(used[i], sums.size())] += scale != nullptr ? scale[i] * col[i] : col[i];
    out[c].assign(fe.n_groups()[0], 0.0);
    for (std::size_t i = 0; i < nrows; ++i) {
      const auto t = static_cast<std::size_t>(used[i]);
      out[c][static_cast<std::size_t>(codes[i])] = sums[t] / counts[t];
    }
  }
  return out;
}

// The demeaning proper of demean_columns: the data as they are (any start
// already subtracted), coefficients (when asked for) those of this solve.
SolveReport demean_from(std::span<double> data, std::size_t ncols, const FixedEffects& fe,
                        const SolveOptions& options, std::span<double> spare,
                        std::vector<std::vector<double>>* coefficients) {
  SolveReport report;
  const std::size_t nrows = fe.rows();
  if (fe.size() == 1) {
    if (coefficients != nullptr) *coefficients = group_means(data, ncols, fe);
    demean_cols(data, ncols, fe, 0, options.single == SingleFeForm::DemeanCol);
    report.stage = DemeanStage::Exact;
    return report;
  }
  SolveOptions solve = options;
  solve.start = nullptr;
  if (options.solver == DemeanSolver::Auto) {
    solve.coefficients = coefficients;
    return preconditioned_demean(data, ncols, fe, solve);
  }
  solve.coefficients = nullptr;
  CgRun run;
  std::vector<double> found;
  if (coefficients != nullptr) run.coefficients = &found;
  const std::size_t n_coef = coefficients != nullptr ? fe.coefficient_offsets().back() : 0;
  if (options.column_scales.empty()) {
    report = demean_cg_columns(data, ncols, fe, solve, run, spare);
    if (coefficients != nullptr)
      for (std::size_t c = 0; c < ncols; ++c)
        (*coefficients)[c].assign(found.begin() + static_cast<std::ptrdiff_t>(c * n_coef),
                                  found.begin() + static_cast<std::ptrdiff_t>((c + 1) * n_coef));
    return report;
  }
  // One column at a time, each to its own scale; the limit applies to each.
  check_len(options.column_scales.size(), ncols);
  check_len(data.size(), checked_mul(nrows, ncols));
  std::optional<OffsetObserver> offset;
  if (options.observer != nullptr) offset.emplace(*options.observer);
  solve.observer = offset ? &*offset : nullptr;
  report.stage = DemeanStage::Cg;
  for (std::size_t c = 0; c < ncols; ++c) {
    run.floor_norm2 = kScaleFloor * kScaleFloor * options.column_scales[c];
    if (offset) offset->start = report.cg_iterations;
    const SolveReport cg = demean_cg_columns(data.subspan(c * nrows, nrows), 1, fe, solve, run);
    report.cg_iterations += cg.cg_iterations;
    if (coefficients != nullptr) (*coefficients)[c] = std::move(found);
    report.converged = report.converged && cg.converged;
    report.limit_reached = report.limit_reached || cg.limit_reached;
  }
  return report;
}

}  // namespace

SolveReport demean_columns(std::span<double> data, std::size_t ncols, const FixedEffects& fe,
                           const SolveOptions& options, std::span<double> spare) {
  if (options.coefficients != nullptr) options.coefficients->assign(ncols, {});
  if (fe.empty()) return {};
  const std::size_t nrows = fe.rows();
  check_len(data.size(), checked_mul(nrows, ncols));
  // A warm start demeans what the starting coefficients leave: the same
  // projection (D alpha lies in the span), from a column that is already
  // (nearly) demeaned, so that the solvers need only the steps for the change.
  // (The coefficient layout only where asked for: declared numbers of groups
  // may be far beyond memory.)
  if (options.start != nullptr) {
    const std::vector<std::size_t> offset = fe.coefficient_offsets();
    const double* s = fe.weighted() ? fe.roots().data() : nullptr;
    check_len(options.start->size(), ncols);
    for (std::size_t c = 0; c < ncols; ++c) {
      check_len((*options.start)[c].size(), offset.back());
      subtract_start(data.data() + c * nrows, fe, offset, (*options.start)[c], s);
    }
  }
  const SolveReport report = demean_from(data, ncols, fe, options, spare, options.coefficients);
  if (options.coefficients != nullptr && options.start != nullptr)
    for (std::size_t c = 0; c < ncols; ++c) {
      std::vector<double>& a = (*options.coefficients)[c];
      const std::vector<double>& a0 = (*options.start)[c];
      for (std::size_t k = 0; k < a.size(); ++k) a[k] = a0[k] + a[k];
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
  const FixedEffects fe(codes, n_groups, n);
  SolveOptions options = SolveOptions::cg(tol, max_iter);
  options.single = SingleFeForm::Sequential;
  demean_columns(std::span<double>(m, total), k, fe, options, out);
  for (std::size_t r = 0; r < n; ++r)
    for (std::size_t c = 0; c < k; ++c) out[r * k + c] = m[c * n + r];
  return out;
}

}  // namespace kestrel
