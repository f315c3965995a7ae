// The Laplacian that a pair of fixed effects leaves on its smaller member once
// the larger one is eliminated.
//
// For the pair (first, q), with C the cross-tabulation of their groups and
// D_first the first factor's counts, the Gramian block
// [[D_first, C], [C', D_q]] reduces exactly to S = D_q - C' D_first^{-1} C on
// q's groups: a graph Laplacian (off-diagonal entries <= 0, rows summing to
// zero) in which each group g of the first factor joins the q-groups it
// meets by a clique with weights c_a c_b / n_g. Cliques of at most
// max_exact_degree groups are added exactly while the merged graph stays
// within its entry budget; larger ones, and every clique once the budget is
// spent, are replaced by a sampled tree with the same expectation (see
// laplacian_factor.hpp), so the graph has at most one edge per row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "codes/compact_codes.hpp"
#include "fixed_effects/preconditioned/laplacian_factor.hpp"

namespace kestrel {

// Row numbers grouped by one factor's code: group g's rows, in row order,
// are rows[start[g] .. start[g+1]).
template <class Row>
struct GroupRows {
  std::vector<std::size_t> start;
  std::vector<Row> rows;
};

// Codes must already be checked (each in 0..groups-1); n rows, n fits Row.
template <class Row>
GroupRows<Row> group_rows(CodeSpan codes, std::size_t n, std::size_t groups);

struct PairLaplacianOptions {
  std::uint64_t seed = 0;
  std::uint64_t stream = 0;
  std::size_t max_exact_degree = 64;
  std::size_t exact_entry_budget = 0;  // graph entries up to which cliques stay exact
  std::size_t entry_limit = 0;         // graph entries beyond which the graph is given up
};

struct PairLaplacian {
  LaplacianGraph graph;            // on q's groups
  std::vector<double> diagonal;    // S's diagonal, exact
  std::size_t sampled_groups = 0;  // groups whose clique was sampled
  bool complete = true;            // false: entry_limit was reached, the graph is empty
};

// The Laplacian of the pair (first, q). first_rows groups the rows by the
// first factor, first_counts holds its group sizes, codes_q (checked) gives
// q's group of every row.
template <class Row>
PairLaplacian pair_laplacian(const GroupRows<Row>& first_rows,
                             std::span<const double> first_counts, CodeSpan codes_q,
                             std::size_t groups_q, const PairLaplacianOptions& options);

}  // namespace kestrel
