#include "fixed_effects/singletons.hpp"

#include <algorithm>

#include "runtime/check.hpp"
#include "codes/group_codes.hpp"

namespace kestrel {

std::vector<std::uint8_t> drop_singletons_mask(std::span<const CodeSpan> fe_codes) {
  check_index(0, fe_codes.size());
  const std::size_t n = fe_codes[0].size();
  std::vector<std::uint8_t> mask(n, 1);

  std::vector<CompactCodes> columns;
  columns.reserve(fe_codes.size());
  std::size_t largest_table = 0;
  for (const CodeSpan col : fe_codes) {
    columns.push_back(compact_codes(col, n_groups_of(col)));
    largest_table = std::max(largest_table, columns.back().table_size);
  }
  // Only "exactly one kept row" matters, so counts saturate at 2: one byte
  // per group instead of a 32-bit count that could overflow.
  std::vector<std::uint8_t> counts;
  counts.reserve(largest_table);

  bool changed = true;
  while (changed) {
    changed = false;
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
        if (mask[i] && counts[static_cast<std::size_t>(codes[i])] == 1) {
          mask[i] = 0;
          changed = true;
        }
      }
    }
  }
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
