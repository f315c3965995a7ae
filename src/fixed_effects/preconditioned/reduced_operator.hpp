// The fixed-effect normal equations with the largest fixed effect eliminated.
//
// Shapes: n rows; the first (eliminated) factor has G_1 groups with counts
// D_1; the other Q-1 factors ("rest") have G_q groups each, stacked into one
// coefficient vector of m = sum G_q entries (factor q's block starts at
// offset[q]). P_1 is the projection on the first factor's group means and D_r
// the dummies of the rest, so the reduced system is
//     S a = D_r' (I - P_1) x,    S = D_r' (I - P_1) D_r,
// and the demeaned column is (I - P_1)(x - D_r a). S is applied without
// being formed, in two passes over the rows.
//
// Reproducibility: each pass sums over the rows in order; from
// kReducedParallelRows rows on, the rows are split into T = thread_pool_size()
// contiguous chunks whose partial tables are added in chunk order, so results
// depend on T only, never on which thread ran a chunk.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "codes/compact_codes.hpp"

namespace kestrel {

inline constexpr std::size_t kReducedParallelRows = 200000;

struct ReducedDesign {
  std::size_t n = 0;
  CodeSpan first;
  std::vector<double> first_counts;  // G_1 entries
  std::vector<CodeSpan> rest;
  std::vector<std::size_t> offset;   // Q entries: rest block starts, then m
  std::size_t chunks = 1;            // row chunks per pass

  std::size_t m() const { return offset.back(); }
};

// Builds the design from checked codes: the first factor is first_index.
ReducedDesign reduced_design(std::size_t n, std::span<const CodeSpan> codes,
                             std::span<const std::size_t> n_groups, std::size_t first_index);

// Per-call scratch, grown on demand.
struct ReducedScratch {
  std::vector<double> first_means;  // G_1
  std::vector<double> partials;     // per running chunk, a table
  std::vector<double> chunk_sums;   // per chunk, a scalar
};

// rhs := D_r' (I - P_1) x (m entries); returns ||(I - P_1) x||^2.
double reduced_rhs(const ReducedDesign& d, const double* x, std::span<double> rhs,
                   ReducedScratch& scratch);

// out := S p (m entries each).
void reduced_apply(const ReducedDesign& d, std::span<const double> p, std::span<double> out,
                   ReducedScratch& scratch);

// x := (I - P_1)(x - D_r a): the demeaned column for coefficients a.
void reduced_finish(const ReducedDesign& d, double* x, std::span<const double> a,
                    ReducedScratch& scratch);

// x := (I - P_1) x, for a single fixed effect (d.rest empty).
inline void reduced_first_only(const ReducedDesign& d, double* x, ReducedScratch& scratch) {
  reduced_finish(d, x, {}, scratch);
}

}  // namespace kestrel
