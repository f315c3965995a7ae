// The fixed-effect normal equations with the largest fixed effect eliminated.
//
// Shapes: n rows; the first (eliminated) factor has G_1 groups with counts
// D_1; the other Q-1 factors ("rest") have G_q groups each, stacked into one
// coefficient vector of m = sum G_q entries (factor q's block starts at
// offset[q]). P_1 is the projection on the first factor's group means and D_r
// the dummies of the rest, so the reduced system is
//     S a = D_r' (I - P_1) x,    S = D_r' (I - P_1) D_r,
// and the demeaned column is (I - P_1)(x - D_r a). S is applied without
// being formed, by passes over the codes alone: the data are read once (the
// right-hand side) and written once (the demeaned column).
//
// Runs: when every group of the first factor is one run of consecutive rows
// (a panel sorted by that factor), a group's mean is known as soon as its run
// ends, so each product takes a single pass; otherwise two (the means, then
// the scatter).
//
// Several columns go through one pass together (codes read once for all of
// them); each column's arithmetic is its own.
//
// Reproducibility: rows are split into chunks fixed by n, the codes and T =
// thread_pool_size() (with runs, chunk boundaries move to the next run
// start); each chunk sums its rows in order into a table of its own, and the
// tables are added in chunk order. Results depend on T only, never on which
// thread ran a chunk.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "codes/compact_codes.hpp"
#include "fixed_effects/fixed_effects.hpp"

namespace kestrel {

inline constexpr std::size_t kReducedParallelRows = 200000;

struct ReducedDesign {
  std::size_t n = 0;
  CodeSpan first;
  std::vector<double> first_counts;  // G_1 entries
  bool runs = false;                 // every group of the first factor is one run of rows
  std::vector<std::size_t> run_start;  // with runs: each run's first row, then n
  std::vector<CodeSpan> rest;
  std::vector<std::size_t> offset;   // Q entries: rest block starts, then m
  std::vector<std::size_t> chunk_row;  // chunks + 1 row boundaries
  std::vector<std::size_t> chunk_run;  // with runs: chunks + 1 run boundaries
  // Weighted designs: the rows' weights and their square roots (borrowed
  // from the FixedEffects); both empty when unweighted. Counts are then sums of weights, the data
  // hold sqrt(w) x, and every product is that of the dummies scaled by
  // sqrt(w), so that S = D_r' W^(1/2) (I - P_1) W^(1/2) D_r.
  std::span<const double> weights;
  std::span<const double> scale;

  std::size_t m() const { return offset.back(); }
  std::size_t chunks() const { return chunk_row.size() - 1; }
};

// Builds the design over the fixed effects' tables (it borrows them, and
// their weights, for its lifetime): the first factor is first_index, its
// counts the FixedEffects' group sizes.
ReducedDesign reduced_design(const FixedEffects& fe, std::size_t first_index);

// Per-call scratch, grown on demand.
struct ReducedScratch {
  std::vector<double> partials;  // per running chunk, K tables
  std::vector<double> first;     // K tables of G_1 (group means of the first factor)
  std::vector<double> scalars;   // per chunk, K scalars
};

// Column j of a block: rows at x[j] (n values), coefficients at a[j] (m
// values). Blocks hold any number of columns.

// rhs[j] := D_r' (I - P_1) x[j]; x2[j] := ||(I - P_1) x[j]||^2.
void reduced_rhs(const ReducedDesign& d, std::span<const double* const> x,
                 std::span<double* const> rhs, std::span<double> x2, ReducedScratch& scratch);

// out[j] := S p[j].
void reduced_apply(const ReducedDesign& d, std::span<const double* const> p,
                   std::span<double* const> out, ReducedScratch& scratch);

// x[j] := (I - P_1)(x[j] - D_r a[j]): the demeaned column for coefficients
// a[j]. With no rest factor, a is ignored: x[j] := (I - P_1) x[j]. Where
// first_means[j] is given (G_1 entries), it receives the first factor's
// group means of x[j] - D_r a[j] (0 for groups without rows).
void reduced_finish(const ReducedDesign& d, std::span<double* const> x,
                    std::span<const double* const> a, ReducedScratch& scratch,
                    std::span<double* const> first_means = {});

// S's diagonal (m entries): D_q less, for every group g of the first factor,
// c_{g,a}^2 / n_g (c_{g,a} the rows g shares with group a of factor q).
std::vector<double> reduced_diagonal(const ReducedDesign& d);

}  // namespace kestrel
