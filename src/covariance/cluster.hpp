// Cluster-robust covariance: the one-way meat sum_g s_g s_g' with
// s_g = sum over rows i of cluster g of x_i e_i, and the multi-way covariance
// by inclusion-exclusion over the subsets of the cluster dimensions
// (Cameron, Gelbach and Miller 2011).
//
// Conventions: n rows, k regressors, G groups of one code column, D cluster
// dimensions; x is n x k row-major, k x k matrices row-major.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "codes/group_codes.hpp"
#include "linalg/strided.hpp"

namespace kestrel {

using CodeSpan = std::span<const std::int32_t>;

// M = sum over g = 0..G-1 of s_g s_g' (upper triangle summed group by group,
// then mirrored). Each s_g sums its rows in row order; empty groups add
// nothing. A code outside 0..n_groups-1 panics, as do x shorter than n * k and
// resid or codes shorter than n.
std::vector<double> clustered_meat_raw(std::span<const double> x, std::size_t n, std::size_t k,
                                       std::span<const double> resid, CodeSpan codes,
                                       std::size_t n_groups);

// The same meat, bit for bit, from k separate columns of n values: each
// column's group scores are summed on its own (the columns shared over the
// pool), then the meat runs over the groups in order.
std::vector<double> clustered_meat_columns(std::size_t n, std::span<const double* const> x,
                                           std::span<const double> resid, CodeSpan codes,
                                           std::size_t n_groups);

// The same meat read through any strides, for the Python entry: n and k are
// x's shape, resid and codes need at least n entries (later ones are ignored).
// Every code must lie in 0..n_groups-1. Groups without rows are dropped
// before anything is allocated per group, so memory and time follow the
// rows, not n_groups, and the result is the same for every n_groups above
// the largest code. The result is gemm_gram of the occurring groups' scores
// in ascending code order, fed block by block so that S never exists whole.
std::vector<double> clustered_meat_strided(StridedMatrix x, StridedVector<double> resid,
                                           StridedVector<std::int32_t> codes,
                                           std::size_t n_groups);

// All r-element subsets of {0, ..., n-1}, each increasing, in lexicographic
// order. r = 0 gives one empty subset; r > n gives none.
std::vector<std::vector<std::size_t>> combinations(std::size_t n, std::size_t r);

// Small-sample factor applied to the covariance of each subset c:
//   PerCombination: (G_c / (G_c - 1)) * ((n - 1) / (n - k));
//   Common:         (n / (n - a - k)) * (G_min / (G_min - 1)), same for all;
//   Unscaled:       none.
enum class ClusterScaling { PerCombination, Common, Unscaled };

// V = sum over non-empty subsets c of the dimensions, by size then
// lexicographically, of (-1)^(|c|+1) * factor_c * (B M_c) B, M_c the meat of
// the intersection codes of c (interaction_codes for |c| >= 2). common_a is
// the caller's degrees-of-freedom count a, used only by Common. G_c = 1 or
// n = k give non-finite entries, not failures. No dimensions give zeros.
std::vector<double> multiway_cluster_vcov(std::span<const double> x, std::size_t n,
                                          std::size_t k, std::span<const double> resid,
                                          std::span<const double> bread,
                                          std::span<const Recoded> dims, ClusterScaling mode,
                                          std::size_t common_a);

}  // namespace kestrel
