#include "fixed_effects/projection.hpp"

#include "runtime/check.hpp"

namespace kestrel {

namespace {

// Every code of the first n rows must name one of `groups` table slots.
void check_codes(CodeSpan codes, std::size_t n, std::size_t groups) {
  check_len(codes.size(), n);
  for (std::size_t i = 0; i < n; ++i) check_code(codes[i], groups);
}

// Consecutive rows of the first n that change group.
std::size_t group_changes(CodeSpan codes, std::size_t n) {
  std::size_t changes = 0;
  for (std::size_t i = 1; i < n; ++i) changes += codes[i] != codes[i - 1] ? 1u : 0u;
  return changes;
}

}  // namespace

ProjectionFeStorage projection_fe(CodeSpan codes, std::size_t n_groups, std::size_t n,
                                  bool allow_pool, std::span<const double> weights,
                                  const double* scale) {
  // Counts cover the whole code column, so every code is checked, not only
  // those of the first n rows.
  check_codes(codes, codes.size(), n_groups);
  check_len(codes.size(), n);
  ProjectionFeStorage fe;
  fe.codes = compact_codes(codes, n_groups);
  fe.counts.assign(fe.codes.table_size, 0.0);
  if (weights.empty()) {
    for (const std::int32_t c : fe.codes.codes()) fe.counts[static_cast<std::size_t>(c)] += 1.0;
  } else {
    check_len(weights.size(), codes.size());
    const CodeSpan used = fe.codes.codes();
    for (std::size_t i = 0; i < used.size(); ++i)
      fe.counts[static_cast<std::size_t>(used[i])] += weights[i];
    fe.scale = scale;
  }
  fe.parallel = allow_pool && demean_col_uses_pool(n, n_groups);
  // Runs of two rows or more on average pay for the test at every row.
  fe.runs = n >= 2 && 2 * group_changes(fe.codes.codes(), n) < n;
  return fe;
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

void demean_cols(std::span<double> data, std::size_t nrows, std::size_t ncols, CodeSpan codes,
                 std::size_t n_groups, bool allow_pool, std::span<const double> weights,
                 const double* scale) {
  check_len(data.size(), checked_mul(nrows, ncols));
  const ProjectionFeStorage storage =
      projection_fe(codes, n_groups, nrows, allow_pool, weights, scale);
  const ProjectionFe fe = storage.view();
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
