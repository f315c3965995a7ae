#include "fixed_effects/projection.hpp"

#include "runtime/check.hpp"

namespace kestrel {

namespace {

// Consecutive rows of the first n that change group.
std::size_t group_changes(CodeSpan codes, std::size_t n) {
  std::size_t changes = 0;
  for (std::size_t i = 1; i < n; ++i) changes += codes[i] != codes[i - 1] ? 1u : 0u;
  return changes;
}

}  // namespace

ProjectionFe projection_fe(const FixedEffects& fe, std::size_t q, bool allow_pool) {
  check_index(q, fe.size());
  const std::size_t n = fe.rows();
  ProjectionFe out;
  out.codes = fe.tables(q).codes();
  out.counts = fe.sizes(q);
  if (fe.weighted()) out.scale = fe.roots().data();
  out.parallel = allow_pool && demean_col_uses_pool(n, fe.n_groups()[q]);
  // Runs of two rows or more on average pay for the test at every row.
  out.runs = n >= 2 && 2 * group_changes(out.codes, n) < n;
  return out;
}

StackedSweep::StackedSweep(std::size_t n, std::span<const ProjectionFe> fes, std::size_t ncols)
    : n_(n), fes_(fes), ncols_(ncols) {
  if (fes.empty()) panic("StackedSweep: no fixed effect");
  tables_.reserve(fes.size());
  means_offset_.push_back(0);
  for (const ProjectionFe& fe : fes) {
    tables_.emplace_back(checked_mul(fe.counts.size(), ncols));
    means_offset_.push_back(checked_add(means_offset_.back(), fe.counts.size()));
  }
}

void demean_cols(std::span<double> data, std::size_t ncols, const FixedEffects& fixed,
                 std::size_t q, bool allow_pool) {
  const std::size_t nrows = fixed.rows();
  check_len(data.size(), checked_mul(nrows, ncols));
  const ProjectionFe fe = projection_fe(fixed, q, allow_pool);
  if (ncols == 0) return;
  StackedSweep sweep(nrows, std::span<const ProjectionFe>(&fe, 1), ncols);
  double* base = data.data();
  sweep.passes(base, base, nrows, [base, nrows](std::size_t c, std::size_t i) {
    return base[c * nrows + i];
  });
  // Each row is read before it is overwritten, and only by its own task.
  sweep.finish([base, nrows](std::size_t c, std::size_t i, double v) { base[c * nrows + i] = v; });
}

}  // namespace kestrel
