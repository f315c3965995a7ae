// The preconditioner of the reduced system (reduced_operator.hpp): its
// diagonal blocks, one per remaining fixed effect q. Block q is the exact
// Schur complement of the pair (first, q), a graph Laplacian
// (pair_laplacian.hpp), factored by laplacian_factor. In domain-decomposition
// terms: one subdomain per pair (largest, q) and per connected component,
// the larger factor eliminated exactly, the local solves combined
// additively; the largest factor itself is eliminated from the whole system,
// not only from the subdomains.
//
// Blocks are built one after the other, each within what the factors built
// before it leave of the memory budget; the work inside a block is shared
// over the pool. Where a block's exact graph would outgrow its share it is
// sampled (pair_laplacian.hpp) and factored with sampled cliques; where even
// that would, the block falls back to its diagonal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "fixed_effects/preconditioned/laplacian_factor.hpp"
#include "fixed_effects/preconditioned/reduced_operator.hpp"

namespace kestrel {

struct BlockPreconditioner {
  std::vector<std::size_t> offset;          // as the design's
  std::vector<LaplacianFactor> factors;     // per block (empty when diagonal)
  std::vector<std::vector<double>> diagonal;  // per block
  std::vector<char> factored;               // per block
  std::size_t sampled = 0;                  // sampled cliques and eliminations, all blocks
  std::size_t bytes = 0;                    // held by the factors
};

// Builds the blocks. memory_bytes bounds the scratch, graphs and factors (at
// least 1 MiB a block); the seed keys every random draw.
BlockPreconditioner block_preconditioner(const ReducedDesign& design,
                                         std::span<const std::size_t> rest_groups,
                                         std::size_t memory_bytes, std::uint64_t seed);

// z := M^+ r (m entries each).
void block_preconditioner_apply(const BlockPreconditioner& pre, std::span<const double> r,
                                std::span<double> z);

}  // namespace kestrel
