#include "fixed_effects/singletons.hpp"

#include <algorithm>

#include "runtime/check.hpp"
#include "codes/group_codes.hpp"

namespace kestrel {

namespace {

// The groups of one fixed effect among the kept rows: exact counts and the
// sum of the kept rows' indices, so that a group left with one row names it.
struct GroupTally {
  std::vector<std::size_t> count;
  std::vector<std::size_t> row_sum;
};

// After the first pass every kept row has a valid code in every column, so
// the worklist reads codes without further checks.
void drop_remaining(std::span<const CompactCodes> columns, std::vector<std::uint8_t>& mask,
                    std::span<const double> row_counts) {
  const std::size_t n = mask.size();
  std::vector<GroupTally> tally(columns.size());
  std::vector<std::pair<std::size_t, std::size_t>> work;  // (fixed effect, group)
  for (std::size_t q = 0; q < columns.size(); ++q) {
    const CodeSpan codes = columns[q].codes();
    GroupTally& t = tally[q];
    t.count.assign(columns[q].table_size, 0);
    t.row_sum.assign(columns[q].table_size, 0);
    for (std::size_t i = 0; i < n; ++i) {
      if (mask[i] == 0) continue;
      const auto g = static_cast<std::size_t>(codes[i]);
      ++t.count[g];
      t.row_sum[g] += i;  // wraps harmlessly: only a single row's sum is ever read
    }
    for (std::size_t g = 0; g < t.count.size(); ++g)
      if (t.count[g] == 1) work.emplace_back(q, g);
  }
  while (!work.empty()) {
    const auto [q, g] = work.back();
    work.pop_back();
    if (tally[q].count[g] != 1) continue;  // emptied meanwhile by another fixed effect
    const std::size_t row = tally[q].row_sum[g];
    // A row standing for several stays: its group's total count is above 1
    // (and, counts only falling, stays so while the row is kept).
    if (!row_counts.empty() && row_counts[row] > 1.0) continue;
    mask[row] = 0;
    for (std::size_t p = 0; p < columns.size(); ++p) {
      const auto h = static_cast<std::size_t>(columns[p].codes()[row]);
      GroupTally& t = tally[p];
      --t.count[h];
      t.row_sum[h] -= row;
      if (t.count[h] == 1) work.emplace_back(p, h);
    }
  }
}

}  // namespace

std::vector<std::uint8_t> drop_singletons_mask(std::span<const CodeSpan> fe_codes,
                                               std::span<const std::uint8_t> start,
                                               std::span<const double> row_counts) {
  check_index(0, fe_codes.size());
  const std::size_t n = fe_codes[0].size();
  std::vector<std::uint8_t> mask(n, 1);
  if (!start.empty()) {
    check_len(start.size(), n);
    for (std::size_t i = 0; i < n; ++i) mask[i] = start[i] != 0 ? 1 : 0;
  }
  if (!row_counts.empty()) check_len(row_counts.size(), n);
  auto alone_counts = [&](std::size_t i) { return row_counts.empty() || !(row_counts[i] > 1.0); };

  std::vector<CompactCodes> columns;
  columns.reserve(fe_codes.size());
  std::size_t largest_table = 0;
  for (const CodeSpan col : fe_codes) {
    columns.push_back(compact_codes(col, n_groups_of(col)));
    largest_table = std::max(largest_table, columns.back().table_size);
  }
  // Only "exactly one kept row" matters in the first pass, so counts
  // saturate at 2: one byte per group.
  std::vector<std::uint8_t> counts;
  counts.reserve(largest_table);

  bool changed = false;
  for (const CompactCodes& column : columns) {
    const CodeSpan codes = column.codes();
    const std::size_t groups = column.table_size;
    counts.assign(groups, 0);
    for (std::size_t i = 0; i < n; ++i) {
      if (!mask[i]) continue;
      check_index(i, codes.size());
      const std::size_t g = check_code(codes[i], groups);
      if (counts[g] < 2) ++counts[g];
    }
    for (std::size_t i = 0; i < n; ++i) {
      // Every kept row was checked by the counting loop above.
      if (mask[i] && counts[static_cast<std::size_t>(codes[i])] == 1 && alone_counts(i)) {
        mask[i] = 0;
        changed = true;
      }
    }
  }
  // With one fixed effect the first pass leaves no group with one row.
  if (changed && columns.size() > 1) drop_remaining(columns, mask, row_counts);
  return mask;
}

UsedCodes codes_as_passed(std::span<const CodeSpan> columns) {
  return {{}, std::vector<CodeSpan>(columns.begin(), columns.end())};
}

UsedCodes codes_of_kept_rows(std::span<const CodeSpan> columns, std::span<const std::uint8_t> mask,
                             std::size_t kept, bool renumber) {
  UsedCodes used;
  used.owned.resize(columns.size());
  for (std::size_t c = 0; c < columns.size(); ++c) {
    std::vector<std::int32_t>& copy = used.owned[c];
    copy.reserve(kept);
    for (std::size_t i = 0; i < mask.size(); ++i)
      if (mask[i] != 0) copy.push_back(columns[c][i]);
    if (renumber) reindex_codes(copy);
  }
  for (const auto& copy : used.owned) used.spans.emplace_back(copy);
  return used;
}

}  // namespace kestrel
