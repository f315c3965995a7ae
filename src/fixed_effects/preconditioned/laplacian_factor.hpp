// Cholesky-style elimination of a weighted graph Laplacian, exact where the
// fill stays small and randomized where it would not.
//
// Vertices are eliminated in minimum-degree order (ties: lowest vertex). A
// vertex v with neighbours u_1..u_d (weights w_k, W = sum w_k) becomes one
// column of a unit lower-triangular factor (entries -w_k / W) and a pivot W;
// its neighbours then receive the Schur complement, the clique with weights
// w_k w_l / W. That clique is added exactly while its size (d(d-1)/2 pairs)
// stays under a per-vertex cap and the live graph under an entry budget;
// otherwise it is replaced by a random spanning tree whose expectation is the
// clique (the clique-tree sampling of Gao, Kyng and Spielman, "Robust and
// practical solution of Laplacian equations by approximate elimination",
// 2023; after Kyng and Sachdeva, FOCS 2016): neighbours sorted by weight,
// neighbour k is joined to one later neighbour l, drawn with probability
// w_l / R_k (R_k the weight of the neighbours after k), with weight
// w_k R_k / W. Ring-, chain- and band-like graphs (the slow designs) then
// factor exactly; dense, well-mixed ones (which the sweep solves quickly
// anyway) approximately at linear size.
//
// A vertex left without live neighbours (the last of its connected
// component) gets pivot 0, and the solve sets its value to 0: the factor
// solves consistent systems (right-hand side summing to zero over each
// component) up to the constant per component that a Laplacian cannot see.
//
// Determinism: elimination is sequential and every draw comes from
// counter_rng keyed by (seed, stream, vertex, neighbour rank), so a factor
// depends on its inputs only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kestrel {

// An edge between vertices a < b with weight w > 0.
struct LaplacianEdge {
  std::uint32_t a;
  std::uint32_t b;
  double w;
};

// Sorts edges by (a, b) and adds up the weights of equal pairs, in place.
// The result depends only on the input sequence.
void laplacian_edges_merge(std::vector<LaplacianEdge>& edges);

struct LaplacianFactorOptions {
  std::uint64_t seed = 0;
  std::uint64_t stream = 0;       // tells independent factors of one solve apart
  std::size_t max_exact_degree = 96;
  // Live adjacency entries (two per edge) up to which cliques stay exact.
  std::size_t exact_entry_budget = 0;
};

// L D L' with L unit lower triangular in elimination order.
struct LaplacianFactor {
  std::size_t n_vertices = 0;
  std::vector<std::uint32_t> order;      // vertex eliminated at each step
  std::vector<double> pivot;             // D, by step
  std::vector<std::size_t> col_start;    // step k's entries: [col_start[k], col_start[k+1])
  std::vector<std::uint32_t> col_vertex;
  std::vector<double> col_frac;          // w_u / W (the entry of L is its negative)
  std::size_t sampled_steps = 0;         // eliminations whose clique was sampled
  std::size_t bytes() const;
};

// Factors the Laplacian of `edges` on n_vertices vertices (each edge a < b <
// n_vertices, w finite and > 0, pairs distinct: laplacian_edges_merge's
// output; panics otherwise). n_vertices < 2^32.
LaplacianFactor laplacian_factor(std::size_t n_vertices, std::span<const LaplacianEdge> edges,
                                 const LaplacianFactorOptions& options);

// b := (L D L')^+ b in the sense above (b has n_vertices entries).
void laplacian_factor_solve(const LaplacianFactor& factor, std::span<double> b);

}  // namespace kestrel
