#include "fixed_effects/absorbed_dof.hpp"

#include <algorithm>
#include <limits>
#include <vector>

#include "runtime/check.hpp"
#include "codes/group_codes.hpp"
#include "fixed_effects/union_find.hpp"

namespace kestrel {

namespace {

// Connected components of the level graph of fixed effects i and j: nodes
// for the G_i + G_j levels, an edge per row of column i. Only levels that
// occur are given union-find nodes; the others are isolated nodes and are
// added as components of their own.
std::size_t level_graph_components(const CompactCodes& ci, std::size_t gi,
                                   const CompactCodes& cj, std::size_t gj) {
  const CodeSpan a = ci.codes();
  const CodeSpan b = cj.codes();
  check_len(b.size(), a.size());
  const std::size_t ti = ci.table_size;
  const std::size_t tj = cj.table_size;
  UnionFind uf(checked_add(ti, tj));
  for (std::size_t r = 0; r < a.size(); ++r)
    uf.unite(check_code(a[r], ti), ti + check_code(b[r], tj));
  // The tables hold every level that occurs, so ti <= gi and tj <= gj.
  return uf.count_sets() + (gi - ti) + (gj - tj);
}

}  // namespace

std::size_t absorbed_dof_internal(std::span<const CodeSpan> fe_codes) {
  check_index(0, fe_codes.size());
  std::vector<std::size_t> groups;
  for (const CodeSpan col : fe_codes) groups.push_back(n_groups_of(col));
  if (fe_codes.size() == 1) return groups[0];

  std::vector<CompactCodes> columns;
  columns.reserve(fe_codes.size());
  for (std::size_t q = 0; q < fe_codes.size(); ++q)
    columns.push_back(compact_codes(fe_codes[q], groups[q]));

  // dof = G0 + sum over j of (Gj - m_j). With three or more fixed effects
  // and levels without rows, pairwise components can exceed what the earlier
  // steps added, so the total is kept as levels minus components and a
  // negative total, which no rank can be, is reported as 0 instead of
  // wrapping around to a count near 2^64.
  std::size_t levels = groups[0];
  std::size_t redundant = 0;
  for (std::size_t j = 1; j < fe_codes.size(); ++j) {
    std::size_t m = 0;
    for (std::size_t i = 0; i < j; ++i)
      m = std::max(m, level_graph_components(columns[i], groups[i], columns[j], groups[j]));
    levels = checked_add(levels, groups[j]);
    redundant = checked_add(redundant, m);
  }
  return levels > redundant ? levels - redundant : 0;
}

bool is_nested(CodeSpan fe, CodeSpan cl) {
  const std::size_t n = fe.size();
  const std::size_t groups = n_groups_of(fe);
  check_len(cl.size(), n);
  for (std::size_t r = 0; r < n; ++r) check_code(fe[r], groups);
  // n rows cover at most n levels: with more levels one has no row, and its
  // range stays empty, so the answer is known without the tables.
  if (groups > n) return false;
  std::vector<std::int32_t> lo(groups, std::numeric_limits<std::int32_t>::max());
  std::vector<std::int32_t> hi(groups, std::numeric_limits<std::int32_t>::min());
  for (std::size_t r = 0; r < n; ++r) {
    const auto g = static_cast<std::size_t>(fe[r]);
    lo[g] = std::min(lo[g], cl[r]);
    hi[g] = std::max(hi[g], cl[r]);
  }
  for (std::size_t g = 0; g < groups; ++g)
    if (lo[g] != hi[g]) return false;
  return true;
}

std::size_t fe_dof_outside_clusters(std::span<const CodeSpan> fe, std::span<const CodeSpan> cl) {
  std::size_t dof = 0;
  for (const CodeSpan f : fe) {
    bool nested = false;
    for (const CodeSpan c : cl)
      if (is_nested(f, c)) {
        nested = true;
        break;
      }
    if (nested) continue;
    std::int32_t largest = 0;
    if (!f.empty()) largest = *std::max_element(f.begin(), f.end());
    dof += static_cast<std::size_t>(std::max<std::int32_t>(largest, 0));
  }
  return dof;
}

}  // namespace kestrel
