// Degrees of freedom absorbed by fixed effects, and nesting in clusters.
#pragma once

#include <cstddef>
#include <span>

#include "codes/compact_codes.hpp"

namespace kestrel {

// Rank of the fixed-effect dummies, without building them. G_q =
// n_groups_of(column q) (levels without rows count). One fixed effect: G_0.
// Each later fixed effect j adds G_j - max over earlier i of the number of
// connected components of the level graph of i and j (levels as nodes, an
// edge per row of column i; a level without rows is a component of its own).
// Exact for one and two fixed effects; for more only pairwise redundancies
// are counted. Pairing needs, for every row of column i, a code of column j;
// a negative code in a pair panics. Requires at least one column. Time and
// memory follow the rows, not the largest code.
std::size_t absorbed_dof_internal(std::span<const CodeSpan> fe_codes);

// True when every level 0..n_groups_of(fe)-1 has rows and all rows of each
// level carry the same cluster code. A level without rows (a gap in the
// codes, or an empty column) makes it false. cl needs an entry per row of fe;
// a negative fe code panics.
bool is_nested(CodeSpan fe, CodeSpan cl);

// The degrees of freedom a clustered covariance charges to fixed effects: a
// fixed effect nested in some cluster column costs nothing, any other its
// largest code (its groups less one, for dense codes).
std::size_t fe_dof_outside_clusters(std::span<const CodeSpan> fe, std::span<const CodeSpan> cl);

}  // namespace kestrel
