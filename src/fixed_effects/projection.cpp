#include "fixed_effects/projection.hpp"

#include "runtime/check.hpp"

namespace kestrel {

namespace {

// Every code of the first n rows must name one of `groups` table slots.
void check_codes(CodeSpan codes, std::size_t n, std::size_t groups) {
  check_len(codes.size(), n);
  for (std::size_t i = 0; i < n; ++i) check_code(codes[i], groups);
}

// One sweep of one column, in place.
void sweep_in_place(double* col, std::size_t n, std::span<const ProjectionFe> fes,
                    std::span<std::vector<double>> tables, ProjectionScratch& scratch) {
  const SweepTail tail =
      projection_sweep(n, fes, tables, scratch, col, col, [col](std::size_t i) { return col[i]; });
  for (std::size_t i = 0; i < n; ++i) col[i] = tail.at(i);
}

}  // namespace

void projection_means(std::span<double> sums, std::span<const double> counts) {
  for (std::size_t g = 0; g < sums.size(); ++g) sums[g] = sums[g] / counts[g];
}

ProjectionFeStorage projection_fe(CodeSpan codes, std::size_t n_groups, std::size_t n,
                                  bool allow_pool) {
  // Counts cover the whole code column, so every code is checked, not only
  // those of the first n rows.
  check_codes(codes, codes.size(), n_groups);
  check_len(codes.size(), n);
  ProjectionFeStorage fe;
  fe.codes = compact_codes(codes, n_groups);
  fe.counts.assign(fe.codes.table_size, 0.0);
  for (const std::int32_t c : fe.codes.codes()) fe.counts[static_cast<std::size_t>(c)] += 1.0;
  fe.parallel = allow_pool && demean_col_uses_pool(n, n_groups);
  return fe;
}

void demean_cols(std::span<double> data, std::size_t nrows, std::size_t ncols, CodeSpan codes,
                 std::size_t n_groups, bool allow_pool) {
  check_len(data.size(), checked_mul(nrows, ncols));
  const ProjectionFeStorage storage = projection_fe(codes, n_groups, nrows, allow_pool);
  const ProjectionFe fe = storage.view();
  std::vector<std::vector<double>> tables(1, std::vector<double>(fe.counts.size()));
  ProjectionScratch scratch;
  for (std::size_t c = 0; c < ncols; ++c) {
    sweep_in_place(data.data() + c * nrows, nrows, std::span<const ProjectionFe>(&fe, 1), tables,
                   scratch);
  }
}

}  // namespace kestrel
