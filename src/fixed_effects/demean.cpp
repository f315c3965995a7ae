#include "fixed_effects/demean.hpp"

#include <cmath>
#include <optional>
#include <string>

#include "runtime/check.hpp"
#include "fixed_effects/demean_cg.hpp"
#include "fixed_effects/preconditioned/demean_auto.hpp"
#include "fixed_effects/projection.hpp"
#include "codes/compact_codes.hpp"
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

// Coefficient vectors of all fixed effects, concatenated: where each starts.
std::vector<std::size_t> coefficient_offsets(std::span<const std::size_t> n_groups) {
  std::vector<std::size_t> offset{0};
  for (const std::size_t g : n_groups) offset.push_back(checked_add(offset.back(), g));
  return offset;
}

// col -= D alpha (scaled by s_i where weighted): the column left by the
// starting coefficients. The fixed effects' terms of a row are summed in
// order from 0.0.
void subtract_start(double* col, std::size_t n, std::span<const CodeSpan> codes,
                    std::span<const std::size_t> n_groups, std::span<const std::size_t> offset,
                    std::span<const double> alpha, const double* s) {
  for (std::size_t i = 0; i < n; ++i) {
    double fit = 0.0;
    for (std::size_t q = 0; q < codes.size(); ++q)
      fit += alpha[offset[q] + check_code(codes[q][i], n_groups[q])];
    col[i] = s != nullptr ? col[i] - s[i] * fit : col[i] - fit;
  }
}

// The demeaning proper of demean_columns: the data as they are (any start
// already subtracted), coefficients (when asked for) those of this solve.
DemeanReport demean_from(std::span<double> data, std::size_t nrows, std::size_t ncols,
                         std::span<const CodeSpan> codes, std::span<const std::size_t> n_groups,
                         const DemeanOptions& options, std::span<double> spare,
                         const double* scale, std::vector<std::vector<double>>* coefficients);

}  // namespace

DemeanReport demean_columns(std::span<double> data, std::size_t nrows, std::size_t ncols,
                            std::span<const CodeSpan> codes,
                            std::span<const std::size_t> n_groups, const DemeanOptions& options,
                            std::span<double> spare) {
  if (options.coefficients != nullptr) options.coefficients->assign(ncols, {});
  if (codes.empty()) return {};
  check_len(n_groups.size(), codes.size());
  check_len(data.size(), checked_mul(nrows, ncols));
  // Coefficient layout, only where asked for (declared numbers of groups may
  // be far beyond memory).
  const bool with_coefficients = options.start != nullptr || options.coefficients != nullptr;
  const std::vector<std::size_t> offset =
      with_coefficients ? coefficient_offsets(n_groups) : std::vector<std::size_t>{0};
  std::vector<double> scale;
  // The square roots of the weights, where this function or the Cg and
  // one-fixed-effect paths need them (the Auto solver takes its own).
  const bool needs_scale = options.start != nullptr || codes.size() == 1 ||
                           options.solver == DemeanSolver::Cg;
  if (!options.weights.empty()) check_len(options.weights.size(), nrows);
  const bool given = options.weight_roots.size() >= nrows && !options.weights.empty();
  if (!options.weights.empty() && needs_scale && !given) {
    scale.resize(nrows);
    for (std::size_t i = 0; i < nrows; ++i) scale[i] = std::sqrt(options.weights[i]);
  }
  const double* s = given ? options.weight_roots.data() : scale.empty() ? nullptr : scale.data();
  // A warm start demeans what the starting coefficients leave: the same
  // projection (D alpha lies in the span), from a column that is already
  // (nearly) demeaned, so that the solvers need only the steps for the change.
  if (options.start != nullptr) {
    check_len(options.start->size(), ncols);
    for (std::size_t c = 0; c < ncols; ++c) {
      check_len((*options.start)[c].size(), offset.back());
      subtract_start(data.data() + c * nrows, nrows, codes, n_groups, offset,
                     (*options.start)[c], s);
    }
  }
  const DemeanReport report =
      demean_from(data, nrows, ncols, codes, n_groups, options, spare, s, options.coefficients);
  if (options.coefficients != nullptr && options.start != nullptr)
    for (std::size_t c = 0; c < ncols; ++c) {
      std::vector<double>& a = (*options.coefficients)[c];
      const std::vector<double>& a0 = (*options.start)[c];
      for (std::size_t k = 0; k < a.size(); ++k) a[k] = a0[k] + a[k];
    }
  return report;
}

namespace {

// Per column, the (weighted) group means of one fixed effect: the
// coefficients of its exact projection. Groups without rows get 0.
std::vector<std::vector<double>> group_means(std::span<const double> data, std::size_t nrows,
                                             std::size_t ncols, CodeSpan codes,
                                             std::size_t n_groups,
                                             std::span<const double> weights,
                                             const double* scale) {
  const CompactCodes compact = compact_codes(codes.first(nrows), n_groups);
  const CodeSpan used = compact.codes();
  std::vector<double> counts(compact.table_size, 0.0);
  for (std::size_t i = 0; i < nrows; ++i)
    counts[check_code(used[i], compact.table_size)] += weights.empty() ? 1.0 : weights[i];
  std::vector<std::vector<double>> out(ncols);
  std::vector<double> sums(compact.table_size);
  for (std::size_t c = 0; c < ncols; ++c) {
    const double* col = data.data() + c * nrows;
    std::fill(sums.begin(), sums.end(), 0.0);
    for (std::size_t i = 0; i < nrows; ++i)
      sums[static_cast<std::size_t>(used[i])] += scale != nullptr ? scale[i] * col[i] : col[i];
    out[c].assign(n_groups, 0.0);
    for (std::size_t i = 0; i < nrows; ++i) {
      const auto t = static_cast<std::size_t>(used[i]);
      out[c][static_cast<std::size_t>(codes[i])] = sums[t] / counts[t];
    }
  }
  return out;
}

DemeanReport demean_from(std::span<double> data, std::size_t nrows, std::size_t ncols,
                         std::span<const CodeSpan> codes,
                         std::span<const std::size_t> n_groups, const DemeanOptions& options,
                         std::span<double> spare, const double* scale,
                         std::vector<std::vector<double>>* coefficients) {
  DemeanReport report;
  if (codes.size() == 1) {
    check_index(0, n_groups.size());
    if (coefficients != nullptr) *coefficients = group_means(data, nrows, ncols, codes[0],
                                                             n_groups[0], options.weights, scale);
    demean_cols(data, nrows, ncols, codes[0], n_groups[0],
                options.single == SingleFeForm::DemeanCol, options.weights, scale);
    report.stage = DemeanStage::Exact;
    return report;
  }
  if (options.solver == DemeanSolver::Auto)
    return demean_auto(data, nrows, ncols, codes, n_groups, options, coefficients);
  std::optional<ObservedCg> observed;
  if (options.observer != nullptr) observed.emplace(*options.observer, 0.0);
  CgOptions cg_options;
  cg_options.tol = options.tol;
  cg_options.max_iter = options.max_iter;
  cg_options.weights = options.weights;
  cg_options.scale = scale;
  std::vector<double> found;
  if (coefficients != nullptr) cg_options.coefficients = &found;
  const std::size_t n_coef = coefficients != nullptr ? coefficient_offsets(n_groups).back() : 0;
  report.stage = DemeanStage::Cg;
  if (options.column_scales.empty()) {
    const CgOutcome cg = demean_cg_columns(data, nrows, ncols, codes, n_groups, cg_options, spare,
                                           observed ? &*observed : nullptr);
    report.cg_iterations = cg.iterations;
    report.converged = cg.converged;
    report.limit_reached = cg.limit_reached;
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
    if (coefficients != nullptr) (*coefficients)[c] = std::move(found);
    report.converged = report.converged && cg.converged;
    report.limit_reached = report.limit_reached || cg.limit_reached;
  }
  return report;
}

}  // namespace

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
