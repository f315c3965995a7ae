#include "fixed_effects/preconditioned/pair_laplacian.hpp"

#include <algorithm>
#include <limits>

#include "runtime/check.hpp"
#include "fixed_effects/preconditioned/counter_rng.hpp"

namespace kestrel {

namespace {

// A group of q met by the eliminated group (v) and the rows they share (w).
using Meet = LaplacianNeighbour;

constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
// A tree over the met groups whose expected Laplacian is the clique's.
void emit_tree(LaplacianGraph& out, std::vector<Meet>& meets, double total,
               std::vector<double>& suffix, const PairLaplacianOptions& opt, std::size_t g) {
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
    out.add(meets[i].v, meets[lo].v, meets[i].w * rest / total);
  }
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
PairLaplacian pair_laplacian(const GroupRows<Row>& first_rows,
                             std::span<const double> first_counts, CodeSpan codes_q,
                             std::size_t groups_q, const PairLaplacianOptions& options) {
  if (groups_q > kNone) panic("pair_laplacian: too many groups");
  const std::size_t n_first = first_rows.start.size() - 1;
  check_len(first_counts.size(), n_first);
  PairLaplacian out;
  out.diagonal.assign(groups_q, 0.0);
  std::vector<std::uint32_t> slot(groups_q, kNone);
  std::vector<Meet> meets;
  std::vector<double> suffix;
  out.graph = LaplacianGraph(groups_q);
  LaplacianGraph& graph = out.graph;
  for (std::size_t g = 0; g < n_first; ++g) {
    meets.clear();
    for (std::size_t k = first_rows.start[g]; k < first_rows.start[g + 1]; ++k) {
      const auto a = static_cast<std::uint32_t>(codes_q[static_cast<std::size_t>(first_rows.rows[k])]);
      if (slot[a] == kNone) {
        slot[a] = static_cast<std::uint32_t>(meets.size());
        meets.push_back({a, 1.0});
      } else {
        meets[slot[a]].w += 1.0;
      }
    }
    for (const Meet& m : meets) slot[m.v] = kNone;
    const double total = first_counts[g];
    // The diagonal in full: D_q less what the eliminated group takes back.
    for (const Meet& m : meets) out.diagonal[m.v] += m.w - m.w * m.w / total;
    const std::size_t d = meets.size();
    if (d < 2) continue;
    std::sort(meets.begin(), meets.end(),
              [](const Meet& x, const Meet& y) { return x.v < y.v; });
    if (d <= options.max_exact_degree && graph.entries() <= options.exact_entry_budget) {
      graph.add_clique(meets, total);
    } else {
      emit_tree(graph, meets, total, suffix, options, g);
      ++out.sampled_groups;
    }
    if (graph.entries() > options.entry_limit) {
      graph.clear();
      out.complete = false;
      return out;
    }
  }
  return out;
}

template GroupRows<std::uint32_t> group_rows<std::uint32_t>(CodeSpan, std::size_t, std::size_t);
template GroupRows<std::uint64_t> group_rows<std::uint64_t>(CodeSpan, std::size_t, std::size_t);
template PairLaplacian pair_laplacian<std::uint32_t>(const GroupRows<std::uint32_t>&,
                                                     std::span<const double>, CodeSpan,
                                                     std::size_t, const PairLaplacianOptions&);
template PairLaplacian pair_laplacian<std::uint64_t>(const GroupRows<std::uint64_t>&,
                                                     std::span<const double>, CodeSpan,
                                                     std::size_t, const PairLaplacianOptions&);

}  // namespace kestrel
