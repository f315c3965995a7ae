// Newey-West HAC meat: Γ0 + Σ_{j=1..L} w(j)(Γj + Γj′) with Bartlett weights
// w(j) = 1 − j/(L+1), over score rows put in time order.
//
// Shapes: n score rows of k columns; results are k×k, flat row-major.
// Lags are distances between positions in time order, not differences of
// time values. No normalisation by n: the caller forms the sandwich.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "linalg/strided.hpp"

namespace kestrel {

// ⌊4·(n/100)^(2/9)⌋ in double precision (std::pow), at least 1.
// n = 0 or 1 → 1, 10 → 2, 100 → 4, 1000 → 6, 10^5 → 18.
std::uint64_t hac_auto_bandwidth(std::size_t n);

// The requested bandwidth when it is >= 0, otherwise the automatic rule on n.
std::uint64_t hac_bandwidth(std::int64_t bandwidth, std::size_t n);

// The Newey-West sum over the rows of the n×k row-major matrix s, in row
// order, with bandwidth L:
//   M[a][b] = Σ_t s[t][a]s[t][b]                                (b >= a)
//   then for j = 1..L in order: G = Σ_{t=j}^{n−1} s[t]ᵀ ⊗ s[t−j] (each entry
//   summed over t ascending), M[a][b] += (G[a][b] + G[b][a])·(1 − j/(L+1)),
//   and finally the lower triangle mirrors the upper one.
// Lags j >= n add exactly nothing, so they are skipped: any L, even 2^63−1,
// costs at most n lag products, while the weights still use the given L.
// n = 0 gives k×k zeros.
std::vector<double> hac_newey_west_sum(std::span<const double> s, std::size_t n,
                                       std::size_t k, std::uint64_t bandwidth);

// The meat of `rust_hac_meat`: score rows (any strides) sorted by time with
// hac_time_ranks, copied row-major (or read in place when they already are
// in time order in an aligned C-ordered buffer), then hac_newey_west_sum with
// hac_bandwidth(bandwidth, n). time_ids may hold more than n values (the rest
// are ignored).
std::vector<double> hac_meat(const StridedMatrix& score, StridedVector<double> time_ids,
                             std::int64_t bandwidth);

}  // namespace kestrel
