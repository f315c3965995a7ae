// Absorption, the second stage of a fit with fixed effects: the used rows of
// the fit's columns copied into one column-major stack, the fixed effects
// removed from the whole stack, and the demeaned columns handed on (read in
// place, or laid out row by row for the estimators' row-major blocks).
//
// Shapes: n used rows, m stacked columns; a stack is n * m doubles, column
// j at [j * n, (j + 1) * n).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "codes/compact_codes.hpp"
#include "fixed_effects/demean.hpp"
#include "fixed_effects/demean_slopes.hpp"
#include "linalg/strided.hpp"

namespace kestrel {

// One column of a fit's data as the stack reads it: values through a stride,
// or ones (an intercept).
struct StackSource {
  StridedVector<double> values;
  bool ones = false;

  static StackSource of(std::span<const double> column);
  static StackSource of(StridedVector<double> column) { return {column, false}; }
  static StackSource constant_one() { return {{}, true}; }
  double operator[](std::size_t i) const { return ones ? 1.0 : values[i]; }
};

// The columns of an n x k matrix of any strides, as sources.
std::vector<StackSource> sources_of(StridedMatrix x);

// stack[j * n + r] := sources[j] at the r-th row that `mask` keeps (mask
// empty: row r). Sources need an entry for every row read.
void fill_stack(std::span<double> stack, std::size_t n, std::span<const StackSource> sources,
                std::span<const std::uint8_t> mask);

// dst[r * ld + at + j] := stack column (first + j) at row r, for j < count:
// demeaned columns laid out as part of a row-major block.
void unstack_rows(std::span<const double> stack, std::size_t n, std::size_t first,
                  std::size_t count, std::span<double> dst, std::size_t ld, std::size_t at);

// Where a run of consecutive sources lands in a row-major block: sources
// [first, first + count) become columns [at, at + count) of the block whose
// rows are ld values apart.
struct BlockPlacement {
  std::span<double> block;
  std::size_t ld = 0;
  std::size_t at = 0;
  std::size_t first = 0;
  std::size_t count = 0;
};

// The used rows of the sample's sources laid out as the estimators' row-major
// blocks. With fixed effects the rows pass through one stack of all sources,
// demeaned as a whole (jointly with several fixed effects, so the stack's
// composition steers the shared stopping rule); without, they are copied
// row by row.
void absorbed_blocks(std::span<const StackSource> sources, std::span<const CodeSpan> fe,
                     std::span<const std::size_t> fe_groups, std::span<const std::uint8_t> mask,
                     std::size_t n, const SolveOptions& options,
                     std::span<const BlockPlacement> places);

// Centred sum of squares of every stack column: its mean first, then the
// squared deviations, each a running sum over rows in order; exactly 0 for a
// column that is constant up to rounding (deviations at most 1e-10 of its
// root mean square). Columns whose squares overflow or underflow are summed
// in scaled units: their sum is then infinite, or below the normal doubles
// (never 0) when it cannot be represented.
// With `raw`, also each column's plain sum of squares (in the column's units,
// infinite where the squares overflow). With weights (one per row, the
// stack holding sqrt(w) x): the weighted sums sum w (x - mean_w)^2 and
// sum w x^2.
std::vector<double> centred_sums_of_squares(std::span<const double> stack, std::size_t n,
                                            std::size_t m, std::vector<double>* raw = nullptr,
                                            std::span<const double> weights = {},
                                            std::span<const double> roots = {});

}  // namespace kestrel

namespace kestrel {

// The layer's absorption stage: what a call asks for beyond the fixed
// effects themselves.
struct AbsorbSettings {
  double tol = 1e-8;
  std::uint64_t max_iter = 0;
  DemeanSolver solver = DemeanSolver::Cg;
  IterationObserver* observer = nullptr;  // progress and interruption; may be null
  // Regression weights of the used rows (finite, positive), or empty.
  std::span<const double> weights;
  // Per column, coefficients to start from (coefficient_count values), or null.
  const std::vector<std::vector<double>>* start = nullptr;
  bool coefficients = false;  // whether to return the result's coefficients
  // Varying slopes: one entry per fixed effect (its intercept and slope
  // variables at the used rows), or empty. Given, the slopes' solver
  // (demean_slopes.hpp) serves whatever `solver` says; start and
  // coefficients are not available with it.
  std::span<const SlopeTerms> slopes;
};

struct Absorbed {
  std::vector<double> sums;  // centred (weighted) sums of squares before demeaning
  SolveReport report;
  // Per column, coefficient_count values laid out as AbsorbSettings::start
  // (zeros without fixed effects); empty unless asked for.
  std::vector<std::vector<double>> coefficients;
  std::vector<double> roots;  // weighted: sqrt(w) per used row, as the data were scaled
  // With slopes: per fixed effect, the summed ranks of its levels' terms.
  std::vector<std::size_t> level_ranks;
};

// Fixed-effect coefficients of all fixed effects, concatenated: their number.
std::size_t coefficient_count(std::span<const std::size_t> fe_groups);

// Fills `data` (n * sources.size() values) with the used rows of the
// sources, scales them by sqrt(w) when weighted (the weighted problem is the
// unweighted one on scaled rows), takes their centred sums of squares and
// removes the fixed effects, each column held to its own scale. Codes: one
// per used row. The demeaned data are sqrt(w) times the weighted residuals.
Absorbed absorb_stage(std::span<double> data, std::size_t n,
                      std::span<const StackSource> sources, std::span<const std::uint8_t> mask,
                      std::span<const CodeSpan> fe, std::span<const std::size_t> fe_groups,
                      const AbsorbSettings& settings);

}  // namespace kestrel
