// Code columns whose tables follow the data rather than the largest code.
//
// Tables indexed by code (sums, counts, union-find nodes) are sized by a
// number the caller controls: the largest code plus one, or a number of
// groups passed in from Python. A single code near 2^31 - 1, or 2^40 groups,
// would then ask for gigabytes or terabytes that no row uses. Every result of
// this directory depends only on the groups that occur (a group without rows
// contributes nothing but a table slot), so a column whose table would be
// much larger than the column itself is renumbered to the codes that occur,
// and callers account for the empty groups arithmetically where a count of
// them is reported.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kestrel {

using CodeSpan = std::span<const std::int32_t>;

// A code column ready to index tables: either the caller's column unchanged
// (`renumbered` false, table size as given) or an owned renumbering.
struct CompactCodes {
  CodeSpan original;
  std::vector<std::int32_t> owned;
  bool renumbered = false;
  std::size_t table_size = 0;  // number of slots a table indexed by these codes needs

  CodeSpan codes() const { return renumbered ? CodeSpan(owned) : original; }
};

// Whether a table of `table_size` slots is out of proportion to `len` codes.
bool compact_codes_needed(std::size_t table_size, std::size_t len);

// Renumbers `codes` when a table of `table_size` slots would be out of
// proportion to the column. Non-negative codes become 0..D-1 in ascending
// order of value (D distinct values, table_size = D); negative codes become -1
// so that callers report them as before. Otherwise returns the column as is.
// Memory and time are linear in the column length (a two-pass radix sort).
CompactCodes compact_codes(CodeSpan codes, std::size_t table_size);

}  // namespace kestrel
