#include "fixed_effects/preconditioned/block_preconditioner.hpp"

#include <algorithm>
#include <limits>
#include <utility>

#include "runtime/check.hpp"
#include "fixed_effects/preconditioned/pair_laplacian.hpp"
#include "runtime/thread_pool.hpp"

namespace kestrel {

namespace {

constexpr std::size_t kMinShare = std::size_t{1} << 20;

// Bytes per graph entry (two per edge): 16, twice that with the slack of
// growing lists.
constexpr std::size_t kEntryBytes = 32;

// Largest clique kept exact when factoring a sampled graph.
constexpr std::size_t kThinnedExactDegree = 4;

template <class Row>
void build_blocks(BlockPreconditioner& pre, const ReducedDesign& d,
                  std::span<const std::size_t> rest_groups, std::size_t memory_bytes,
                  std::uint64_t seed) {
  // Rows grouped by the largest factor: its runs, or a counting sort.
  GroupRows<Row> rows;
  if (d.runs) {
    rows.start = d.run_start;
  } else {
    rows = group_rows<Row>(d.first, d.n, d.first_counts.size());
  }
  const std::size_t scratch = rows.rows.size() * sizeof(Row);
  const std::size_t blocks = d.rest.size();
  // Blocks one after the other, each with what the factors built so far
  // leave of the memory (the work inside a block is shared over the pool).
  for (std::size_t k = 0; k < blocks; ++k) {
    const std::size_t used = scratch + pre.bytes;
    const std::size_t share = std::max(memory_bytes > used ? memory_bytes - used : 0, kMinShare);
    PairLaplacianOptions po;
    po.seed = seed;
    po.stream = k;
    // Exact cliques while the graph holds at most two thirds of the share.
    po.exact_entry_budget = share / (3 * kEntryBytes / 2);
    po.entry_limit = share / kEntryBytes;
    po.memory_bytes = share;
    po.weights = d.weights.empty() ? nullptr : d.weights.data();
    PairLaplacian pl = pair_laplacian(rows, d.rest[k], rest_groups[k], po);
    pre.diagonal[k] = std::move(pl.diagonal);
    pre.sampled += pl.sampled_groups;
    if (!pl.complete) continue;
    LaplacianFactorOptions fo;
    fo.seed = seed;
    fo.stream = blocks + k;
    fo.exact_entry_budget = share / kEntryBytes;
    // A sampled graph is an approximation already: eliminating it by
    // sampled cliques too keeps the factor as sparse as the graph (a dense
    // block's exact fill would cost far more than it brings).
    if (pl.thinned) fo.max_exact_degree = kThinnedExactDegree;
    pre.factors[k] = laplacian_factor(std::move(pl.graph), fo);
    pre.sampled += pre.factors[k].sampled_steps;
    pre.bytes += pre.factors[k].bytes();
    pre.factored[k] = 1;
  }
}

}  // namespace

BlockPreconditioner block_preconditioner(const ReducedDesign& design,
                                         std::span<const std::size_t> rest_groups,
                                         std::size_t memory_bytes, std::uint64_t seed) {
  const std::size_t blocks = design.rest.size();
  check_len(rest_groups.size(), blocks);
  BlockPreconditioner pre;
  pre.offset = design.offset;
  pre.factors.resize(blocks);
  pre.diagonal.resize(blocks);
  pre.factored.assign(blocks, 0);
  if (blocks == 0) return pre;
  if (design.n <= std::numeric_limits<std::uint32_t>::max()) {
    build_blocks<std::uint32_t>(pre, design, rest_groups, memory_bytes, seed);
  } else {
    build_blocks<std::uint64_t>(pre, design, rest_groups, memory_bytes, seed);
  }
  return pre;
}

void block_preconditioner_apply(const BlockPreconditioner& pre, std::span<const double> r,
                                std::span<double> z) {
  const std::size_t m = pre.offset.back();
  check_len(r.size(), m);
  check_len(z.size(), m);
  for (std::size_t k = 0; k + 1 < pre.offset.size(); ++k) {
    const std::size_t begin = pre.offset[k];
    const std::size_t size = pre.offset[k + 1] - begin;
    std::span<double> zb = z.subspan(begin, size);
    const std::span<const double> rb = r.subspan(begin, size);
    if (pre.factored[k]) {
      std::copy(rb.begin(), rb.end(), zb.begin());
      laplacian_factor_solve(pre.factors[k], zb);
    } else {
      const std::vector<double>& diag = pre.diagonal[k];
      for (std::size_t a = 0; a < size; ++a) zb[a] = diag[a] > 0.0 ? rb[a] / diag[a] : 0.0;
    }
  }
}

}  // namespace kestrel
