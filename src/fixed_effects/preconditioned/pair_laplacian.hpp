// The Laplacian that a pair of fixed effects leaves on its smaller member once
// the larger one is eliminated.
//
// For the pair (first, q), with C the cross-tabulation of their groups and
// D_first the first factor's counts, the Gramian block
// [[D_first, C], [C', D_q]] reduces exactly to S = D_q - C' D_first^{-1} C on
// q's groups: a graph Laplacian (off-diagonal entries <= 0, rows summing to
// zero) in which each group g of the first factor joins the q-groups it
// meets by a clique with weights c_a c_b / n_g.
//
// Building it. A group meeting d groups of q brings d(d-1)/2 edges, so the
// exact graph costs the sum of d^2 over the groups however few distinct
// edges it ends with (on ring and chain designs, few). It is therefore
// accumulated row by row: row a of S in a dense accumulator, over the
// groups meeting vertex a, read straight from their rows (one group number
// per row as scratch). Factors with few groups accumulate S as a dense
// matrix. Groups meeting more than max_exact_degree groups of q bring a
// sampled tree with the clique's expectation (see laplacian_factor.hpp).
// When the exact graph would pass its entry budget (dense, well-mixed
// blocks) every clique is sampled, and the trees, thinned at random to about
// 32 edges a vertex within the entry limit, are reweighted to keep the
// expectation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "codes/compact_codes.hpp"
#include "fixed_effects/preconditioned/laplacian_factor.hpp"

namespace kestrel {

// Row numbers grouped by one factor: group k's rows are row(start[k]) ..
// row(start[k+1] - 1), where row(j) = rows[j], or j itself when rows is
// empty (the groups are runs of consecutive rows). Groups may be empty.
template <class Row>
struct GroupRows {
  std::vector<std::size_t> start;
  std::vector<Row> rows;
  std::size_t row(std::size_t j) const { return rows.empty() ? j : static_cast<std::size_t>(rows[j]); }
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
  std::size_t memory_bytes = 0;        // scratch for the row-by-row accumulation
  // Weighted designs: one weight per row (rows count by their weights, so
  // that the graph is that of D' W D); null: unweighted.
  const double* weights = nullptr;
};

struct PairLaplacian {
  LaplacianGraph graph;            // on q's groups
  std::vector<double> diagonal;    // S's diagonal, exact
  std::size_t sampled_groups = 0;  // groups whose clique was sampled
  bool thinned = false;            // every clique sampled (the exact graph was too large)
  bool complete = true;            // false: entry_limit was reached, the graph is empty
};

// The Laplacian of the pair (first, q). first_rows groups the rows by the
// first factor; codes_q (checked) gives q's group of every row.
template <class Row>
PairLaplacian pair_laplacian(const GroupRows<Row>& first_rows, CodeSpan codes_q,
                             std::size_t groups_q, const PairLaplacianOptions& options);

}  // namespace kestrel
