#include "fixed_effects/preconditioned/laplacian_factor.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <queue>
#include <utility>

#include "runtime/check.hpp"
#include "fixed_effects/preconditioned/counter_rng.hpp"

namespace kestrel {

namespace {

using Neighbour = LaplacianNeighbour;

bool by_vertex(const Neighbour& x, std::uint32_t v) { return x.v < v; }

}  // namespace

LaplacianGraph::LaplacianGraph(std::size_t n_vertices) : adj_(n_vertices) {
  if (n_vertices > std::numeric_limits<std::uint32_t>::max())
    panic("LaplacianGraph: too many vertices");
}

void LaplacianGraph::add(std::uint32_t a, std::uint32_t b, double w) {
  check_index(a, adj_.size());
  check_index(b, adj_.size());
  if (a == b) panic("LaplacianGraph: an edge needs two vertices");
  add_half(a, b, w);
  add_half(b, a, w);
}

void LaplacianGraph::add_half(std::uint32_t a, std::uint32_t b, double w) {
  std::vector<Neighbour>& list = adj_[a];
  const auto it = std::lower_bound(list.begin(), list.end(), b, by_vertex);
  if (it != list.end() && it->v == b) {
    it->w += w;
  } else {
    list.insert(it, Neighbour{b, w});
    ++entries_;
  }
}

void LaplacianGraph::add_clique(std::span<const Neighbour> members, double total) {
  for (std::size_t i = 0; i < members.size(); ++i) {
    batch_.clear();
    for (std::size_t j = 0; j < members.size(); ++j)
      if (j != i) batch_.push_back({members[j].v, members[i].w * members[j].w / total});
    merge_half(members[i].v, batch_);
  }
}

void LaplacianGraph::merge_half(std::uint32_t a, std::span<const Neighbour> batch) {
  std::vector<Neighbour>& list = adj_[a];
  // Edges already present take their weight in place; only new ones make
  // the list be rebuilt.
  std::size_t missing = 0;
  std::size_t p = 0;
  for (const Neighbour& x : batch) {
    while (p < list.size() && list[p].v < x.v) ++p;
    if (p < list.size() && list[p].v == x.v) {
      list[p].w += x.w;
    } else {
      ++missing;
    }
  }
  if (missing == 0) return;
  merged_.clear();
  merged_.reserve(list.size() + missing);
  p = 0;
  for (const Neighbour& x : batch) {
    while (p < list.size() && list[p].v < x.v) merged_.push_back(list[p++]);
    if (p < list.size() && list[p].v == x.v) {
      merged_.push_back(list[p++]);  // already added above
    } else {
      merged_.push_back(x);
    }
  }
  while (p < list.size()) merged_.push_back(list[p++]);
  list.assign(merged_.begin(), merged_.end());
  entries_ += missing;
}

void LaplacianGraph::set_neighbours(std::uint32_t v, std::vector<Neighbour>&& list) {
  check_index(v, adj_.size());
  if (!adj_[v].empty()) panic("LaplacianGraph: a list is set once");
  entries_ += list.size();
  adj_[v] = std::move(list);
}

std::vector<Neighbour> LaplacianGraph::detach(std::uint32_t v) {
  std::vector<Neighbour> nb = std::move(adj_[v]);
  adj_[v] = {};
  for (const Neighbour& x : nb) {
    std::vector<Neighbour>& list = adj_[x.v];
    list.erase(std::lower_bound(list.begin(), list.end(), v, by_vertex));
  }
  entries_ -= 2 * nb.size();
  return nb;
}

void LaplacianGraph::clear() {
  adj_ = {};
  entries_ = 0;
}

std::size_t LaplacianFactor::bytes() const {
  return order.size() * sizeof(std::uint32_t) + pivot.size() * sizeof(double) +
         col_start.size() * sizeof(std::size_t) + col_vertex.size() * sizeof(std::uint32_t) +
         col_frac.size() * sizeof(double);
}

LaplacianFactor laplacian_factor(LaplacianGraph&& graph, const LaplacianFactorOptions& options) {
  LaplacianGraph g = std::move(graph);
  const std::size_t n_vertices = g.vertices();
  LaplacianFactor f;
  f.n_vertices = n_vertices;

  using Key = std::pair<std::size_t, std::uint32_t>;  // (degree, vertex)
  std::priority_queue<Key, std::vector<Key>, std::greater<Key>> queue;
  for (std::size_t v = 0; v < n_vertices; ++v)
    queue.push({g.neighbours(static_cast<std::uint32_t>(v)).size(), static_cast<std::uint32_t>(v)});
  std::vector<char> alive(n_vertices, 1);

  f.order.reserve(n_vertices);
  f.pivot.reserve(n_vertices);
  f.col_start.reserve(checked_add(n_vertices, 1));
  f.col_start.push_back(0);
  std::vector<double> suffix;
  while (!queue.empty()) {
    const auto [deg, v] = queue.top();
    queue.pop();
    if (!alive[v] || deg != g.neighbours(v).size()) continue;  // a stale entry
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
        g.add_clique(nb, total);  // the exact Schur complement
      } else {
        sampled_clique_tree(nb, total, suffix, options.seed, options.stream, v,
                            [&g](std::uint32_t a, std::uint32_t b, double w) { g.add(a, b, w); });
        ++f.sampled_steps;
      }
    }
    for (const Neighbour& x : nb) queue.push({g.neighbours(x.v).size(), x.v});
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
