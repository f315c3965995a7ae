#include "fixed_effects/preconditioned/pair_laplacian.hpp"

#include <algorithm>
#include <limits>

#include "check.hpp"
#include "fixed_effects/preconditioned/counter_rng.hpp"

namespace kestrel {

namespace {

struct Meet {
  std::uint32_t group;  // a group of q
  double count;         // rows it shares with the eliminated group
};

constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
// Unmerged edges collected between merges, at least.
constexpr std::size_t kMergeBatch = std::size_t{1} << 18;

void emit(std::vector<LaplacianEdge>& out, std::uint32_t a, std::uint32_t b, double w) {
  if (a > b) std::swap(a, b);
  out.push_back({a, b, w});
}

// A tree over the met groups whose expected Laplacian is the clique's.
void emit_tree(std::vector<LaplacianEdge>& out, std::vector<Meet>& meets, double total,
               std::vector<double>& suffix, const PairLaplacianOptions& opt, std::size_t g) {
  std::sort(meets.begin(), meets.end(), [](const Meet& x, const Meet& y) {
    return x.count < y.count || (x.count == y.count && x.group < y.group);
  });
  const std::size_t d = meets.size();
  suffix.assign(d + 1, 0.0);
  for (std::size_t k = d; k-- > 0;) suffix[k] = suffix[k + 1] + meets[k].count;
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
    emit(out, meets[i].group, meets[lo].group, meets[i].count * rest / total);
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
  std::vector<LaplacianEdge>& edges = out.edges;
  std::size_t merged = 0;
  bool exact_allowed = true;
  for (std::size_t g = 0; g < n_first; ++g) {
    meets.clear();
    for (std::size_t k = first_rows.start[g]; k < first_rows.start[g + 1]; ++k) {
      const auto a = static_cast<std::uint32_t>(codes_q[static_cast<std::size_t>(first_rows.rows[k])]);
      if (slot[a] == kNone) {
        slot[a] = static_cast<std::uint32_t>(meets.size());
        meets.push_back({a, 1.0});
      } else {
        meets[slot[a]].count += 1.0;
      }
    }
    for (const Meet& m : meets) slot[m.group] = kNone;
    const double total = first_counts[g];
    // The diagonal in full: D_q less what the eliminated group takes back.
    for (const Meet& m : meets) out.diagonal[m.group] += m.count - m.count * m.count / total;
    const std::size_t d = meets.size();
    if (d < 2) continue;
    std::sort(meets.begin(), meets.end(),
              [](const Meet& x, const Meet& y) { return x.group < y.group; });
    if (d <= options.max_exact_degree && exact_allowed) {
      for (std::size_t i = 0; i < d; ++i)
        for (std::size_t j = i + 1; j < d; ++j)
          edges.push_back({meets[i].group, meets[j].group, meets[i].count * meets[j].count / total});
    } else {
      emit_tree(edges, meets, total, suffix, options, g);
      ++out.sampled_groups;
    }
    if (edges.size() - merged >= std::max(kMergeBatch, merged)) {
      laplacian_edges_merge(edges);
      merged = edges.size();
      if (merged > options.exact_edge_budget) exact_allowed = false;
      if (merged > options.edge_limit) {
        out.edges = {};
        out.complete = false;
        return out;
      }
    }
  }
  laplacian_edges_merge(edges);
  if (edges.size() > options.edge_limit) {
    out.edges = {};
    out.complete = false;
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
