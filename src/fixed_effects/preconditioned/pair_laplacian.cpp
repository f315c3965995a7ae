#include "fixed_effects/preconditioned/pair_laplacian.hpp"

#include <algorithm>
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

// A tree over the met groups whose expected Laplacian is the clique's,
// added to `out` through add(a, b, w).
template <class Add>
void emit_tree(std::vector<Meet>& meets, double total, std::vector<double>& suffix,
               const PairLaplacianOptions& opt, std::size_t g, const Add& add) {
  std::sort(meets.begin(), meets.end(), [](const Meet& x, const Meet& y) {
    return x.w < y.w || (x.w == y.w && x.v < y.v);
  });
  const std::size_t d = meets.size();
  suffix.assign(d + 1, 0.0);
  for (std::size_t k = d; k-- > 0;) suffix[k] = suffix[k + 1] + meets[k].w;
  for (std::size_t i = 0; i + 1 < d; ++i) {
    const double rest = suffix[i + 1];
    const double target = rest - counter_rng_uniform(opt.seed, opt.stream, g, i) * rest;
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
    add(meets[i].v, meets[lo].v, meets[i].w * rest / total);
  }
}

// The q-groups that group k of the first factor meets, with the rows they
// share, in order of first meeting; returns the group's row count.
template <class Row>
double meets_of(const GroupRows<Row>& fr, std::size_t k, const std::int32_t* cq,
                std::vector<std::uint32_t>& slot, std::vector<Meet>& meets) {
  meets.clear();
  for (std::size_t j = fr.start[k]; j < fr.start[k + 1]; ++j) {
    const auto a = static_cast<std::uint32_t>(cq[fr.row(j)]);
    if (slot[a] == kNone) {
      slot[a] = static_cast<std::uint32_t>(meets.size());
      meets.push_back({a, 1.0});
    } else {
      meets[slot[a]].w += 1.0;
    }
  }
  for (const Meet& m : meets) slot[m.v] = kNone;
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
    const double total = meets_of(fr, k, cq, slot, meets);
    add_diagonal(out.diagonal, meets, total);
    const std::size_t d = meets.size();
    if (d < 2) continue;
    if (d <= opt.max_exact_degree) {
      const double inv = 1.0 / total;
      for (std::size_t i = 0; i < d; ++i)
        for (std::size_t j = i + 1; j < d; ++j) add(meets[i].v, meets[j].v, meets[i].w * meets[j].w * inv);
    } else {
      emit_tree(meets, total, suffix, opt, k, add);
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

// Clique by clique into sorted lists (memory: the graph alone): exact
// cliques of at most max_exact_degree groups while the graph stays within
// its exact budget, sampled trees otherwise; past entry_limit the graph is
// given up.
template <class Row>
void incremental_laplacian(PairLaplacian& out, const GroupRows<Row>& fr, const std::int32_t* cq,
                           std::size_t groups_q, const PairLaplacianOptions& opt) {
  const std::size_t g_count = fr.start.size() - 1;
  out.graph = LaplacianGraph(groups_q);
  out.sampled_groups = 0;
  LaplacianGraph& graph = out.graph;
  std::vector<std::uint32_t> slot(groups_q, kNone);
  std::vector<Meet> meets;
  std::vector<double> suffix;
  for (std::size_t k = 0; k < g_count; ++k) {
    const double total = meets_of(fr, k, cq, slot, meets);
    const std::size_t d = meets.size();
    if (d < 2) continue;
    if (d <= opt.max_exact_degree && graph.entries() <= opt.exact_entry_budget) {
      std::sort(meets.begin(), meets.end(), [](const Meet& x, const Meet& y) { return x.v < y.v; });
      graph.add_clique(meets, total);
    } else {
      emit_tree(meets, total, suffix, opt, k,
                [&](std::uint32_t a, std::uint32_t b, double x) { graph.add(a, b, x); });
      ++out.sampled_groups;
    }
    if (graph.entries() > opt.entry_limit) {
      graph.clear();
      out.complete = false;
      return;
    }
  }
}

// The exact graph, row by row: row a of S sums, over the groups meeting a
// (in group order), that group's clique row, read straight from the
// group's rows: each row with q-group b != a adds c_a / n_g to entry b, so
// b receives c_a c_b / n_g in all (the same in row b when c_a = c_b; the
// factorization reads each vertex's own row). The rows of S are shared
// over the pool, each computed alone. Memory: one group number per row of
// an exact group (the rows of each vertex, grouped) and the graph. Returns
// false (graph left empty) when that does not fit the scratch memory or the
// graph would pass its exact budget. The diagonal is completed in any case.
template <class Row>
bool exact_laplacian(PairLaplacian& out, const GroupRows<Row>& fr, const std::int32_t* cq,
                     std::size_t groups_q, const PairLaplacianOptions& opt) {
  const std::size_t g_count = fr.start.size() - 1;
  // Per group: the diagonal, and whether its clique is exact (at most
  // max_exact_degree groups met) or sampled (a tree, kept as edges).
  struct Edge {
    std::uint32_t a, b;
    double w;
  };
  std::vector<Edge> trees;
  std::vector<char> exact(g_count, 0);
  std::vector<std::uint32_t> slot(groups_q, kNone);
  std::vector<Meet> meets;
  std::vector<double> suffix;
  std::size_t sampled = 0;
  std::size_t exact_rows = 0;
  bool fits = g_count < kNone;
  for (std::size_t k = 0; k < g_count; ++k) {
    const double total = meets_of(fr, k, cq, slot, meets);
    add_diagonal(out.diagonal, meets, total);
    const std::size_t d = meets.size();
    if (d < 2 || !fits) continue;
    if (d <= opt.max_exact_degree) {
      exact[k] = 1;
      exact_rows += fr.start[k + 1] - fr.start[k];
      fits = exact_rows * sizeof(std::uint32_t) + g_count <= opt.memory_bytes;
    } else {
      emit_tree(meets, total, suffix, opt, k, [&](std::uint32_t a, std::uint32_t b, double x) {
        trees.push_back({a, b, x});
      });
      ++sampled;
      fits = 2 * trees.size() <= opt.exact_entry_budget;
    }
  }
  if (!fits) return false;
  slot = {};
  // For each vertex, the groups of its rows, in group order (a group once
  // per shared row).
  std::vector<std::size_t> tstart(groups_q + 1, 0);
  for (std::size_t k = 0; k < g_count; ++k)
    if (exact[k])
      for (std::size_t j = fr.start[k]; j < fr.start[k + 1]; ++j)
        ++tstart[static_cast<std::size_t>(cq[fr.row(j)]) + 1];
  for (std::size_t a = 0; a < groups_q; ++a) tstart[a + 1] += tstart[a];
  std::vector<std::uint32_t> tlist(tstart.back());
  {
    std::vector<std::size_t> next(tstart.begin(), tstart.end() - 1);
    for (std::size_t k = 0; k < g_count; ++k)
      if (exact[k])
        for (std::size_t j = fr.start[k]; j < fr.start[k + 1]; ++j)
          tlist[next[static_cast<std::size_t>(cq[fr.row(j)])]++] = static_cast<std::uint32_t>(k);
  }
  exact = {};
  std::vector<std::vector<Meet>> rows(groups_q);
  const std::size_t tasks = std::min(thread_pool_runners(), std::max<std::size_t>(groups_q, 1));
  std::vector<std::size_t> entries(tasks, 0);
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
        while (i < i_end && tlist[i] == k) {
          ++c;
          ++i;
        }
        if (i + 4 < i_end) __builtin_prefetch(&cq[fr.row(fr.start[tlist[i + 4]])]);
        const double share = static_cast<double>(c) / static_cast<double>(fr.start[k + 1] - fr.start[k]);
        for (std::size_t j = fr.start[k]; j < fr.start[k + 1]; ++j) {
          const auto b = static_cast<std::uint32_t>(cq[fr.row(j)]);
          if (b == va) continue;
          if (mark[b] != va) {
            mark[b] = va;
            touched.push_back(b);
            acc[b] = 0.0;
          }
          acc[b] += share;
        }
      }
      entries[t] += touched.size();
      if (entries[t] > opt.exact_entry_budget) return;  // given up below
      std::sort(touched.begin(), touched.end());
      std::vector<Meet>& list = rows[a];
      list.reserve(touched.size());
      for (const std::uint32_t b : touched) list.push_back({b, acc[b]});
    }
  };
  thread_pool_run(tasks, task);
  std::size_t total_entries = 0;
  for (const std::size_t e : entries) total_entries += e;
  if (total_entries > opt.exact_entry_budget) return false;
  for (std::size_t a = 0; a < groups_q; ++a)
    out.graph.set_neighbours(static_cast<std::uint32_t>(a), std::move(rows[a]));
  for (const Edge& e : trees) out.graph.add(e.a, e.b, e.w);
  out.sampled_groups = sampled;
  return true;
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
  if (exact_laplacian(out, first_rows, cq, groups_q, options)) return out;
  // The row-by-row form did not fit its memory or budget: the memory-light
  // incremental form decides clique by clique.
  incremental_laplacian(out, first_rows, cq, groups_q, options);
  return out;
}

template GroupRows<std::uint32_t> group_rows<std::uint32_t>(CodeSpan, std::size_t, std::size_t);
template GroupRows<std::uint64_t> group_rows<std::uint64_t>(CodeSpan, std::size_t, std::size_t);
template PairLaplacian pair_laplacian<std::uint32_t>(const GroupRows<std::uint32_t>&, CodeSpan,
                                                     std::size_t, const PairLaplacianOptions&);
template PairLaplacian pair_laplacian<std::uint64_t>(const GroupRows<std::uint64_t>&, CodeSpan,
                                                     std::size_t, const PairLaplacianOptions&);

}  // namespace kestrel
