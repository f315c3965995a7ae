#include "fixed_effects/preconditioned/laplacian_factor.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <queue>
#include <utility>

#include "check.hpp"
#include "fixed_effects/preconditioned/counter_rng.hpp"

namespace kestrel {

namespace {

struct Neighbour {
  std::uint32_t v;
  double w;
};

bool by_vertex(const Neighbour& x, std::uint32_t v) { return x.v < v; }

// The live graph: one adjacency list per vertex, sorted by vertex, no repeats.
class LiveGraph {
 public:
  explicit LiveGraph(std::size_t n) : adj_(n) {}

  std::vector<Neighbour>& at(std::uint32_t v) { return adj_[v]; }
  std::size_t entries() const { return entries_; }
  void count_entries(std::size_t k) { entries_ += k; }

  // Adds w to edge (a, b), creating it if needed.
  void add(std::uint32_t a, std::uint32_t b, double w) {
    add_half(a, b, w);
    add_half(b, a, w);
  }

  // Removes v from every neighbour's list and hands over v's own list.
  std::vector<Neighbour> detach(std::uint32_t v) {
    std::vector<Neighbour> nb = std::move(adj_[v]);
    adj_[v] = {};
    for (const Neighbour& x : nb) {
      std::vector<Neighbour>& list = adj_[x.v];
      const auto it = std::lower_bound(list.begin(), list.end(), v, by_vertex);
      list.erase(it);
    }
    entries_ -= 2 * nb.size();
    return nb;
  }

 private:
  void add_half(std::uint32_t a, std::uint32_t b, double w) {
    std::vector<Neighbour>& list = adj_[a];
    const auto it = std::lower_bound(list.begin(), list.end(), b, by_vertex);
    if (it != list.end() && it->v == b) {
      it->w += w;
    } else {
      list.insert(it, Neighbour{b, w});
      ++entries_;
    }
  }

  std::vector<std::vector<Neighbour>> adj_;
  std::size_t entries_ = 0;
};

// The exact Schur complement of eliminating a vertex with neighbours nb.
void add_clique(LiveGraph& g, const std::vector<Neighbour>& nb, double total) {
  for (std::size_t i = 0; i < nb.size(); ++i)
    for (std::size_t j = i + 1; j < nb.size(); ++j)
      g.add(nb[i].v, nb[j].v, nb[i].w * nb[j].w / total);
}

// A random tree on the neighbours whose expected Laplacian is the clique's.
void add_sampled_tree(LiveGraph& g, std::vector<Neighbour>& nb, double total,
                      std::vector<double>& suffix, const LaplacianFactorOptions& opt,
                      std::uint32_t v) {
  // Lightest first: each light neighbour then joins a heavier one, which
  // keeps the variance of the sampled weights low.
  std::sort(nb.begin(), nb.end(), [](const Neighbour& x, const Neighbour& y) {
    return x.w < y.w || (x.w == y.w && x.v < y.v);
  });
  const std::size_t d = nb.size();
  suffix.assign(d + 1, 0.0);
  for (std::size_t k = d; k-- > 0;) suffix[k] = suffix[k + 1] + nb[k].w;
  for (std::size_t i = 0; i + 1 < d; ++i) {
    const double rest = suffix[i + 1];
    const double target =
        rest - counter_rng_uniform(opt.seed, opt.stream, v, i) * rest;  // in (0, rest]
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
    g.add(nb[i].v, nb[lo].v, nb[i].w * rest / total);
  }
}

}  // namespace

void laplacian_edges_merge(std::vector<LaplacianEdge>& edges) {
  std::sort(edges.begin(), edges.end(), [](const LaplacianEdge& x, const LaplacianEdge& y) {
    return x.a < y.a || (x.a == y.a && x.b < y.b);
  });
  std::size_t out = 0;
  for (std::size_t i = 0; i < edges.size(); ++i) {
    if (out > 0 && edges[out - 1].a == edges[i].a && edges[out - 1].b == edges[i].b) {
      edges[out - 1].w += edges[i].w;
    } else {
      edges[out++] = edges[i];
    }
  }
  edges.resize(out);
}

std::size_t LaplacianFactor::bytes() const {
  return order.size() * sizeof(std::uint32_t) + pivot.size() * sizeof(double) +
         col_start.size() * sizeof(std::size_t) + col_vertex.size() * sizeof(std::uint32_t) +
         col_frac.size() * sizeof(double);
}

LaplacianFactor laplacian_factor(std::size_t n_vertices, std::span<const LaplacianEdge> edges,
                                 const LaplacianFactorOptions& options) {
  if (n_vertices > std::numeric_limits<std::uint32_t>::max())
    panic("laplacian_factor: too many vertices");
  LaplacianFactor f;
  f.n_vertices = n_vertices;
  LiveGraph g(n_vertices);
  {
    std::vector<std::size_t> degree(n_vertices, 0);
    for (const LaplacianEdge& e : edges) {
      check_index(e.b, n_vertices);
      if (e.a >= e.b || !(e.w > 0.0) || !std::isfinite(e.w))
        panic("laplacian_factor: edges must have a < b and a finite positive weight");
      ++degree[e.a];
      ++degree[e.b];
    }
    for (std::size_t v = 0; v < n_vertices; ++v)
      g.at(static_cast<std::uint32_t>(v)).reserve(degree[v]);
  }
  // Merged input sorted by (a, b): appending keeps every list sorted for the
  // lower vertex; the higher vertex's list is sorted below.
  for (const LaplacianEdge& e : edges) {
    g.at(e.a).push_back({e.b, e.w});
    g.at(e.b).push_back({e.a, e.w});
  }
  for (std::size_t v = 0; v < n_vertices; ++v) {
    std::vector<Neighbour>& list = g.at(static_cast<std::uint32_t>(v));
    std::sort(list.begin(), list.end(),
              [](const Neighbour& x, const Neighbour& y) { return x.v < y.v; });
    for (std::size_t k = 1; k < list.size(); ++k)
      if (list[k].v == list[k - 1].v) panic("laplacian_factor: repeated edge");
    g.count_entries(list.size());
  }

  using Key = std::pair<std::size_t, std::uint32_t>;  // (degree, vertex)
  std::priority_queue<Key, std::vector<Key>, std::greater<Key>> queue;
  for (std::size_t v = 0; v < n_vertices; ++v)
    queue.push({g.at(static_cast<std::uint32_t>(v)).size(), static_cast<std::uint32_t>(v)});
  std::vector<char> alive(n_vertices, 1);

  f.order.reserve(n_vertices);
  f.pivot.reserve(n_vertices);
  f.col_start.reserve(checked_add(n_vertices, 1));
  f.col_start.push_back(0);
  std::vector<double> suffix;
  while (!queue.empty()) {
    const auto [deg, v] = queue.top();
    queue.pop();
    if (!alive[v] || deg != g.at(v).size()) continue;  // a stale entry
    alive[v] = 0;
    std::vector<Neighbour> nb = g.detach(v);
    double total = 0.0;
    for (const Neighbour& x : nb) total += x.w;  // in vertex order
    f.order.push_back(v);
    f.pivot.push_back(total);
    for (const Neighbour& x : nb) {
      f.col_vertex.push_back(x.v);
      f.col_frac.push_back(x.w / total);
    }
    f.col_start.push_back(f.col_vertex.size());

    const std::size_t d = nb.size();
    if (d >= 2) {
      const std::size_t pairs = d * (d - 1) / 2;
      const bool exact = d == 2 || (d <= options.max_exact_degree &&
                                    g.entries() + 2 * pairs <= options.exact_entry_budget);
      if (exact) {
        add_clique(g, nb, total);
      } else {
        add_sampled_tree(g, nb, total, suffix, options, v);
        ++f.sampled_steps;
      }
    }
    for (const Neighbour& x : nb) queue.push({g.at(x.v).size(), x.v});
  }
  return f;
}

void laplacian_factor_solve(const LaplacianFactor& f, std::span<double> b) {
  check_len(b.size(), f.n_vertices);
  const std::size_t steps = f.order.size();
  // L y = b: each step pushes its value down to the later vertices.
  for (std::size_t k = 0; k < steps; ++k) {
    const double bv = b[f.order[k]];
    for (std::size_t e = f.col_start[k]; e < f.col_start[k + 1]; ++e)
      b[f.col_vertex[e]] += f.col_frac[e] * bv;
  }
  // D z = y; a zero pivot (last vertex of a component) fixes the constant.
  for (std::size_t k = 0; k < steps; ++k) {
    const std::uint32_t v = f.order[k];
    b[v] = f.pivot[k] > 0.0 ? b[v] / f.pivot[k] : 0.0;
  }
  // L' x = z, last step first.
  for (std::size_t k = steps; k-- > 0;) {
    double s = b[f.order[k]];
    for (std::size_t e = f.col_start[k]; e < f.col_start[k + 1]; ++e)
      s += f.col_frac[e] * b[f.col_vertex[e]];
    b[f.order[k]] = s;
  }
}

}  // namespace kestrel
