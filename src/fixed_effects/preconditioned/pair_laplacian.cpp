#include "fixed_effects/preconditioned/pair_laplacian.hpp"

#include <algorithm>
#include <atomic>
#include <limits>

#include "fixed_effects/preconditioned/counter_rng.hpp"
#include "runtime/check.hpp"
#include "runtime/thread_pool.hpp"

namespace kestrel {

namespace {

// A group of q met by the eliminated group (v) and the rows they share (w).
using Meet = LaplacianNeighbour;

constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

// Factors with at most this many groups accumulate S as a dense matrix.
constexpr std::size_t kDenseVertices = 256;

// Average degree of a sampled graph thinned to its size.
constexpr std::size_t kSampledDegree = 32;

// The q-groups that group k of the first factor meets, with the rows they
// share, in order of first meeting; returns the group's row count. With
// weights (one per row), rows count by their weights.
template <class Row>
double meets_of(const GroupRows<Row>& fr, std::size_t k, const std::int32_t* cq,
                std::vector<std::uint32_t>& slot, std::vector<Meet>& meets,
                const double* weights) {
  meets.clear();
  double total = 0.0;
  for (std::size_t j = fr.start[k]; j < fr.start[k + 1]; ++j) {
    const std::size_t i = fr.row(j);
    const auto a = static_cast<std::uint32_t>(cq[i]);
    const double w = weights == nullptr ? 1.0 : weights[i];
    total += w;
    if (slot[a] == kNone) {
      slot[a] = static_cast<std::uint32_t>(meets.size());
      meets.push_back({a, w});
    } else {
      meets[slot[a]].w += w;
    }
  }
  for (const Meet& m : meets) slot[m.v] = kNone;
  if (weights != nullptr) return total;
  return static_cast<double>(fr.start[k + 1] - fr.start[k]);
}

// The diagonal in full: D_q less what the eliminated group takes back.
void add_diagonal(std::vector<double>& diagonal, const std::vector<Meet>& meets, double total) {
  for (const Meet& m : meets) diagonal[m.v] += m.w - m.w * m.w / total;
}

template <class Row>
void dense_laplacian(PairLaplacian& out, const GroupRows<Row>& fr, const std::int32_t* cq,
                     std::size_t groups_q, const PairLaplacianOptions& opt) {
  const std::size_t g_count = fr.start.size() - 1;
  const std::size_t v = groups_q;
  std::vector<double> w(v * v, 0.0);  // upper triangle: w[lo * v + hi]
  auto add = [&](std::uint32_t a, std::uint32_t b, double x) {
    const std::size_t lo = std::min(a, b);
    const std::size_t hi = std::max(a, b);
    w[lo * v + hi] += x;
  };
  std::vector<std::uint32_t> slot(v, kNone);
  std::vector<Meet> meets;
  std::vector<double> suffix;
  for (std::size_t k = 0; k < g_count; ++k) {
    const double total = meets_of(fr, k, cq, slot, meets, opt.weights);
    add_diagonal(out.diagonal, meets, total);
    const std::size_t d = meets.size();
    if (d < 2) continue;
    if (d <= opt.max_exact_degree) {
      const double inv = 1.0 / total;
      for (std::size_t i = 0; i < d; ++i)
        for (std::size_t j = i + 1; j < d; ++j) add(meets[i].v, meets[j].v, meets[i].w * meets[j].w * inv);
    } else {
      sampled_clique_tree(meets, total, suffix, opt.seed, opt.stream, k, add);
      ++out.sampled_groups;
    }
  }
  for (std::size_t a = 0; a < v; ++a) {
    std::vector<Meet> list;
    for (std::size_t b = 0; b < v; ++b) {
      if (b == a) continue;
      const double x = w[std::min(a, b) * v + std::max(a, b)];
      if (x > 0.0) list.push_back({static_cast<std::uint32_t>(b), x});
    }
    out.graph.set_neighbours(static_cast<std::uint32_t>(a), std::move(list));
  }
  if (out.graph.entries() > opt.entry_limit) {
    out.graph.clear();
    out.complete = false;
  }
}

// What one pass over the groups learns: the diagonal (filled in), which
// groups have exact cliques, and the sizes that decide the form.
struct Survey {
  std::vector<char> exact;      // per group: 2..max_exact_degree groups met
  std::size_t exact_rows = 0;   // rows of those groups
  std::size_t tree_edges = 0;   // edges if every clique were a tree
  std::size_t large = 0;        // groups meeting more than max_exact_degree
};

template <class Row>
Survey survey(PairLaplacian& out, const GroupRows<Row>& fr, const std::int32_t* cq,
              std::size_t groups_q, const PairLaplacianOptions& opt) {
  const std::size_t g_count = fr.start.size() - 1;
  Survey sv;
  sv.exact.assign(g_count, 0);
  std::vector<std::uint32_t> slot(groups_q, kNone);
  std::vector<Meet> meets;
  for (std::size_t k = 0; k < g_count; ++k) {
    const double total = meets_of(fr, k, cq, slot, meets, opt.weights);
    add_diagonal(out.diagonal, meets, total);
    const std::size_t d = meets.size();
    if (d < 2) continue;
    sv.tree_edges += d - 1;
    if (d <= opt.max_exact_degree) {
      sv.exact[k] = 1;
      sv.exact_rows += fr.start[k + 1] - fr.start[k];
    } else {
      ++sv.large;
    }
  }
  return sv;
}

struct Edge {
  std::uint32_t a, b;
  double w;
};

// Trees for the groups that `pick` selects, weights scaled by `scale`; the
// draws of group k depend on (seed, stream, k) only.
template <class Row, class Pick>
std::vector<Edge> tree_edges(const GroupRows<Row>& fr, const std::int32_t* cq,
                             std::size_t groups_q, const PairLaplacianOptions& opt,
                             double scale, const Pick& pick) {
  const std::size_t g_count = fr.start.size() - 1;
  std::vector<Edge> edges;
  std::vector<std::uint32_t> slot(groups_q, kNone);
  std::vector<Meet> meets;
  std::vector<double> suffix;
  for (std::size_t k = 0; k < g_count; ++k) {
    if (!pick(k)) continue;
    const double total = meets_of(fr, k, cq, slot, meets, opt.weights);
    if (meets.size() < 2) continue;
    sampled_clique_tree(meets, total, suffix, opt.seed, opt.stream, k,
                        [&](std::uint32_t a, std::uint32_t b, double x) {
                          edges.push_back({a, b, x * scale});
                        });
  }
  return edges;
}

// Sets every list of `graph` (empty so far) from undirected edges, repeats
// added in list order: both halves bucketed by vertex, each vertex's list
// summed in a dense accumulator and sorted.
void graph_from_edges(LaplacianGraph& graph, std::size_t groups_q, const std::vector<Edge>& edges) {
  std::vector<std::size_t> start(groups_q + 1, 0);
  for (const Edge& e : edges) {
    ++start[e.a + 1];
    ++start[e.b + 1];
  }
  for (std::size_t a = 0; a < groups_q; ++a) start[a + 1] += start[a];
  std::vector<Meet> half(start.back());
  {
    std::vector<std::size_t> next(start.begin(), start.end() - 1);
    for (const Edge& e : edges) {
      half[next[e.a]++] = {e.b, e.w};
      half[next[e.b]++] = {e.a, e.w};
    }
  }
  std::vector<double> acc(groups_q, 0.0);
  std::vector<std::uint32_t> mark(groups_q, kNone);
  std::vector<std::uint32_t> touched;
  for (std::size_t a = 0; a < groups_q; ++a) {
    touched.clear();
    const auto va = static_cast<std::uint32_t>(a);
    for (std::size_t p = start[a]; p < start[a + 1]; ++p) {
      const Meet& h = half[p];
      if (mark[h.v] != va) {
        mark[h.v] = va;
        touched.push_back(h.v);
        acc[h.v] = 0.0;
      }
      acc[h.v] += h.w;
    }
    std::sort(touched.begin(), touched.end());
    std::vector<Meet> list;
    list.reserve(touched.size());
    for (const std::uint32_t b : touched) list.push_back({b, acc[b]});
    graph.set_neighbours(va, std::move(list));
  }
}

// The exact graph, row by row: row a of S sums, over the groups meeting a
// (in group order), that group's clique row, read straight from the
// group's rows: each row with q-group b != a adds c_a / n_g to entry b, so
// b receives c_a c_b / n_g in all (the same in row b when c_a = c_b; the
// factorization reads each vertex's own row). The rows of S are shared
// over the pool, each computed alone. Groups meeting more than
// max_exact_degree groups bring sampled trees. Memory: one group number per
// row of an exact group (the rows of each vertex, grouped) and the graph.
// Returns false (graph left empty) once the graph would pass its exact
// budget.
template <class Row>
bool exact_laplacian(PairLaplacian& out, const GroupRows<Row>& fr, const std::int32_t* cq,
                     std::size_t groups_q, const PairLaplacianOptions& opt, const Survey& sv) {
  const std::size_t g_count = fr.start.size() - 1;
  const std::vector<Edge> trees =
      sv.large == 0 ? std::vector<Edge>{}
                    : tree_edges(fr, cq, groups_q, opt, 1.0, [&](std::size_t k) {
                        return !sv.exact[k] && fr.start[k + 1] - fr.start[k] >= 2;
                      });
  if (2 * trees.size() > opt.exact_entry_budget) return false;
  // For each vertex, the groups of its rows, in group order (a group once
  // per shared row).
  std::vector<std::size_t> tstart(groups_q + 1, 0);
  for (std::size_t k = 0; k < g_count; ++k)
    if (sv.exact[k])
      for (std::size_t j = fr.start[k]; j < fr.start[k + 1]; ++j)
        ++tstart[static_cast<std::size_t>(cq[fr.row(j)]) + 1];
  for (std::size_t a = 0; a < groups_q; ++a) tstart[a + 1] += tstart[a];
  std::vector<std::uint32_t> tlist(tstart.back());
  // Weighted: each entry's row weight, and each group's total.
  const double* weights = opt.weights;
  std::vector<double> tweight(weights != nullptr ? tlist.size() : 0);
  std::vector<double> gtotal(weights != nullptr ? g_count : 0, 0.0);
  {
    std::vector<std::size_t> next(tstart.begin(), tstart.end() - 1);
    for (std::size_t k = 0; k < g_count; ++k)
      if (sv.exact[k])
        for (std::size_t j = fr.start[k]; j < fr.start[k + 1]; ++j) {
          const std::size_t at = next[static_cast<std::size_t>(cq[fr.row(j)])]++;
          tlist[at] = static_cast<std::uint32_t>(k);
          if (weights != nullptr) {
            tweight[at] = weights[fr.row(j)];
            gtotal[k] += weights[fr.row(j)];
          }
        }
  }
  std::vector<std::vector<Meet>> rows(groups_q);
  const std::size_t tasks = std::min(thread_pool_runners(), std::max<std::size_t>(groups_q, 1));
  // Entries so far, over all tasks: once past the budget the graph is given
  // up, whatever the order the tasks got there in (the count only grows).
  std::atomic<std::size_t> entries{0};
  auto task = [&](std::size_t t) {
    std::vector<double> acc(groups_q, 0.0);
    std::vector<std::uint32_t> mark(groups_q, kNone);
    std::vector<std::uint32_t> touched;
    const std::size_t a0 = groups_q * t / tasks;
    const std::size_t a1 = groups_q * (t + 1) / tasks;
    for (std::size_t a = a0; a < a1; ++a) {
      touched.clear();
      const auto va = static_cast<std::uint32_t>(a);
      const std::size_t i_end = tstart[a + 1];
      for (std::size_t i = tstart[a]; i < i_end;) {
        const std::size_t k = tlist[i];
        std::size_t c = 0;  // rows group k shares with a: consecutive entries
        double cw = 0.0;    // weighted: their weight
        while (i < i_end && tlist[i] == k) {
          if (weights != nullptr) cw += tweight[i];
          ++c;
          ++i;
        }
        if (i + 4 < i_end) __builtin_prefetch(&cq[fr.row(fr.start[tlist[i + 4]])]);
        const double share =
            weights != nullptr
                ? cw / gtotal[k]
                : static_cast<double>(c) / static_cast<double>(fr.start[k + 1] - fr.start[k]);
        for (std::size_t j = fr.start[k]; j < fr.start[k + 1]; ++j) {
          const auto b = static_cast<std::uint32_t>(cq[fr.row(j)]);
          if (b == va) continue;
          if (mark[b] != va) {
            mark[b] = va;
            touched.push_back(b);
            acc[b] = 0.0;
          }
          acc[b] += weights != nullptr ? share * weights[fr.row(j)] : share;
        }
      }
      if (entries.fetch_add(touched.size(), std::memory_order_relaxed) + touched.size() >
          opt.exact_entry_budget)
        return;  // given up below
      std::sort(touched.begin(), touched.end());
      std::vector<Meet>& list = rows[a];
      list.reserve(touched.size());
      for (const std::uint32_t b : touched) list.push_back({b, acc[b]});
    }
  };
  thread_pool_run(tasks, task);
  if (entries.load() > opt.exact_entry_budget) return false;
  for (std::size_t a = 0; a < groups_q; ++a)
    out.graph.set_neighbours(static_cast<std::uint32_t>(a), std::move(rows[a]));
  for (const Edge& e : trees) out.graph.add(e.a, e.b, e.w);
  out.sampled_groups = sv.large;
  return true;
}

// Every clique replaced by a sampled tree; when those trees would pass the
// entry limit, each group's tree is kept with probability p (a counter-based
// draw per group) and its weights divided by p, so the graph keeps its
// expectation at the size allowed.
template <class Row>
void sampled_laplacian(PairLaplacian& out, const GroupRows<Row>& fr, const std::int32_t* cq,
                       std::size_t groups_q, const PairLaplacianOptions& opt, const Survey& sv) {
  out.graph = LaplacianGraph(groups_q);
  // Edges: within the entry limit, and about kSampledDegree per vertex, so
  // that the factorization of a dense block stays cheap.
  const std::size_t allowed = std::min(opt.entry_limit / 2, kSampledDegree / 2 * groups_q);
  if (allowed == 0 && sv.tree_edges > 0) {
    out.complete = false;
    return;
  }
  const double p = sv.tree_edges <= allowed
                       ? 1.0
                       : static_cast<double>(allowed) / static_cast<double>(sv.tree_edges);
  const std::uint64_t keep_stream = opt.stream ^ 0x6b65657000000000ull;
  const std::vector<Edge> edges = tree_edges(fr, cq, groups_q, opt, 1.0 / p, [&](std::size_t k) {
    return p >= 1.0 || counter_rng_uniform(opt.seed, keep_stream, k, 0) < p;
  });
  out.sampled_groups = sv.tree_edges == 0 ? 0 : fr.start.size() - 1;
  out.thinned = true;
  graph_from_edges(out.graph, groups_q, edges);
}

}  // namespace

template <class Row>
GroupRows<Row> group_rows(CodeSpan codes, std::size_t n, std::size_t groups) {
  GroupRows<Row> out;
  out.start.assign(checked_add(groups, 1), 0);
  for (std::size_t i = 0; i < n; ++i) ++out.start[static_cast<std::size_t>(codes[i]) + 1];
  for (std::size_t g = 0; g < groups; ++g) out.start[g + 1] += out.start[g];
  out.rows.resize(n);
  std::vector<std::size_t> next(out.start.begin(), out.start.end() - 1);
  for (std::size_t i = 0; i < n; ++i)
    out.rows[next[static_cast<std::size_t>(codes[i])]++] = static_cast<Row>(i);
  return out;
}

template <class Row>
PairLaplacian pair_laplacian(const GroupRows<Row>& first_rows, CodeSpan codes_q,
                             std::size_t groups_q, const PairLaplacianOptions& options) {
  if (groups_q >= kNone) panic("pair_laplacian: too many groups");
  PairLaplacian out;
  out.diagonal.assign(groups_q, 0.0);
  out.graph = LaplacianGraph(groups_q);
  const std::int32_t* cq = codes_q.data();
  if (groups_q <= kDenseVertices) {
    dense_laplacian(out, first_rows, cq, groups_q, options);
    return out;
  }
  const Survey sv = survey(out, first_rows, cq, groups_q, options);
  const std::size_t g_count = first_rows.start.size() - 1;
  const bool room = g_count < kNone &&
                    sv.exact_rows * sizeof(std::uint32_t) + g_count <= options.memory_bytes;
  if (room && exact_laplacian(out, first_rows, cq, groups_q, options, sv)) return out;
  sampled_laplacian(out, first_rows, cq, groups_q, options, sv);
  return out;
}

template GroupRows<std::uint32_t> group_rows<std::uint32_t>(CodeSpan, std::size_t, std::size_t);
template GroupRows<std::uint64_t> group_rows<std::uint64_t>(CodeSpan, std::size_t, std::size_t);
template PairLaplacian pair_laplacian<std::uint32_t>(const GroupRows<std::uint32_t>&, CodeSpan,
                                                     std::size_t, const PairLaplacianOptions&);
template PairLaplacian pair_laplacian<std::uint64_t>(const GroupRows<std::uint64_t>&, CodeSpan,
                                                     std::size_t, const PairLaplacianOptions&);

}  // namespace kestrel
