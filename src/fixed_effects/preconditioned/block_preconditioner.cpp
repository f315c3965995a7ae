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

template <class Row>
void build_blocks(BlockPreconditioner& pre, const ReducedDesign& d,
                  std::span<const std::size_t> rest_groups, std::size_t share,
                  std::uint64_t seed) {
  const GroupRows<Row> rows = group_rows<Row>(d.first, d.n, d.first_counts.size());
  const std::size_t blocks = d.rest.size();
  std::vector<std::size_t> sampled(blocks, 0);
  auto task = [&](std::size_t k) {
    PairLaplacianOptions po;
    po.seed = seed;
    po.stream = k;
    // Exact cliques while the graph holds at most two thirds of the share.
    po.exact_entry_budget = share / (3 * kEntryBytes / 2);
    po.entry_limit = share / kEntryBytes;
    PairLaplacian pl = pair_laplacian(rows, d.first_counts, d.rest[k], rest_groups[k], po);
    pre.diagonal[k] = std::move(pl.diagonal);
    sampled[k] = pl.sampled_groups;
    if (!pl.complete) return;
    LaplacianFactorOptions fo;
    fo.seed = seed;
    fo.stream = blocks + k;
    fo.exact_entry_budget = share / kEntryBytes;
    pre.factors[k] = laplacian_factor(std::move(pl.graph), fo);
    sampled[k] += pre.factors[k].sampled_steps;
    pre.factored[k] = 1;
  };
  thread_pool_run(blocks, task);
  for (std::size_t k = 0; k < blocks; ++k) {
    pre.sampled += sampled[k];
    pre.bytes += pre.factors[k].bytes();
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
  const std::size_t share = std::max(memory_bytes / blocks, kMinShare);
  if (design.n <= std::numeric_limits<std::uint32_t>::max()) {
    build_blocks<std::uint32_t>(pre, design, rest_groups, share, seed);
  } else {
    build_blocks<std::uint64_t>(pre, design, rest_groups, share, seed);
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
