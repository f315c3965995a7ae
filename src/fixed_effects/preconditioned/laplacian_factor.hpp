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

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "fixed_effects/preconditioned/counter_rng.hpp"

namespace kestrel {

struct LaplacianNeighbour {
  std::uint32_t v;
  double w;
};

// A random tree on the neighbours whose expected Laplacian is their clique's
// (weights w_i w_j / total): add(a, b, w) for each of its edges. The
// neighbours are sorted lightest first, so each light one joins a heavier
// one, which keeps the variance of the sampled weights low; draws are keyed
// by (seed, stream, key, rank). `suffix` is scratch.
template <class Add>
void sampled_clique_tree(std::vector<LaplacianNeighbour>& nb, double total,
                         std::vector<double>& suffix, std::uint64_t seed, std::uint64_t stream,
                         std::uint64_t key, const Add& add) {
  std::sort(nb.begin(), nb.end(), [](const LaplacianNeighbour& x, const LaplacianNeighbour& y) {
    return x.w < y.w || (x.w == y.w && x.v < y.v);
  });
  const std::size_t d = nb.size();
  suffix.assign(d + 1, 0.0);
  for (std::size_t k = d; k-- > 0;) suffix[k] = suffix[k + 1] + nb[k].w;
  for (std::size_t i = 0; i + 1 < d; ++i) {
    const double rest = suffix[i + 1];
    const double target = rest - counter_rng_uniform(seed, stream, key, i) * rest;  // (0, rest]
    // The first l > i whose running weight from i+1 reaches past the draw:
    // suffix[l+1] < target, suffix falling with l.
    std::size_t lo = i + 1;
    std::size_t hi = d - 1;
    while (lo < hi) {
      const std::size_t mid = lo + (hi - lo) / 2;
      if (suffix[mid + 1] < target) {
        hi = mid;
      } else {
        lo = mid + 1;
      }
    }
    add(nb[i].v, nb[lo].v, nb[i].w * rest / total);
  }
}

// A weighted graph held as one adjacency list per vertex, sorted by vertex,
// without repeats; adding to an existing edge adds to its weight. Entries
// count the list entries (two per edge).
class LaplacianGraph {
 public:
  LaplacianGraph() = default;
  explicit LaplacianGraph(std::size_t n_vertices);

  std::size_t vertices() const { return adj_.size(); }
  std::size_t entries() const { return entries_; }
  const std::vector<LaplacianNeighbour>& neighbours(std::uint32_t v) const { return adj_[v]; }

  // Adds w > 0 to edge (a, b), a != b, both checked.
  void add(std::uint32_t a, std::uint32_t b, double w);

  // Adds the clique on `members` (distinct vertices in increasing order, all
  // checked by the caller) with weights m_i.w * m_j.w / total.
  void add_clique(std::span<const LaplacianNeighbour> members, double total);

  // Sets v's list (sorted by vertex, without v or repeats, each weight > 0)
  // in place of an empty one; the caller keeps the graph symmetric.
  void set_neighbours(std::uint32_t v, std::vector<LaplacianNeighbour>&& list);

  // Removes v from its neighbours' lists and hands over v's own list.
  std::vector<LaplacianNeighbour> detach(std::uint32_t v);

  // Frees everything.
  void clear();

 private:
  void add_half(std::uint32_t a, std::uint32_t b, double w);
  // Adds a batch sorted by vertex to a's list in one merge.
  void merge_half(std::uint32_t a, std::span<const LaplacianNeighbour> batch);

  std::vector<std::vector<LaplacianNeighbour>> adj_;
  std::vector<LaplacianNeighbour> batch_;
  std::vector<LaplacianNeighbour> merged_;
  std::size_t entries_ = 0;
};

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

// Factors the Laplacian of `graph`, consuming it (n_vertices < 2^32).
LaplacianFactor laplacian_factor(LaplacianGraph&& graph, const LaplacianFactorOptions& options);

// b := (L D L')^+ b in the sense above (b has n_vertices entries).
void laplacian_factor_solve(const LaplacianFactor& factor, std::span<double> b);

}  // namespace kestrel
