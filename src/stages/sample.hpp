// The first stage of every fit: which rows it uses, and the code columns of
// its fixed effects and clusters over those rows.
//
// Shapes: n0 rows passed, n rows used; code columns hold one int32 per row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "codes/compact_codes.hpp"
#include "fixed_effects/singletons.hpp"

namespace kestrel {

struct Sample {
  std::size_t n = 0;                   // rows used
  std::size_t removed = 0;             // rows dropped as singletons
  std::vector<std::uint8_t> mask;      // 1 = used, over the rows passed; empty: all used
  UsedCodes fe;                        // fixed-effect codes of the used rows
  std::vector<std::size_t> fe_groups;  // G of each: its largest code + 1
  UsedCodes cl;                        // cluster codes of the used rows
};

// Code columns must describe the rows exactly: a longer one would put rows
// that do not exist into group counts, a shorter one would be read past its
// end. Panics "<arg>[q] has C codes but <rows_arg> has N rows".
void check_code_lengths(std::span<const CodeSpan> columns, std::size_t rows,
                        std::string_view arg, std::string_view rows_arg);

// The engine's entry points: all n0 rows, less the singletons of the fixed
// effects when there are any. When rows go, the fixed-effect columns are
// copied and renumbered in order of first appearance and the cluster columns
// copied as they are; otherwise both are the caller's own.
Sample sample_of_rows(std::size_t n0, std::span<const CodeSpan> fe, std::span<const CodeSpan> cl);

// The layer's fits: the rows `keep` marks (empty: all n0), less singletons
// when `drop_singletons`; every code column is copied for the used rows and
// renumbered 0..G-1 in order of first appearance, so G counts only groups
// that occur. A negative code at a row that takes part is a ValueFailure
// naming the column.
// With frequency counts (one per row), singletons are by the groups' total
// counts (drop_singletons_mask).
Sample sample_of_kept_rows(std::size_t n0, std::span<const CodeSpan> fe,
                           std::span<const CodeSpan> cl, std::span<const std::uint8_t> keep,
                           bool drop_singletons, std::span<const double> counts = {});

// The layer's sample stage: sample_of_kept_rows, with the degrees of freedom
// the fixed effects absorb over the used rows and each cluster column's
// number of groups.
struct LayerSample {
  Sample sample;
  std::uint64_t absorbed_dof = 0;
  std::vector<std::uint64_t> cluster_groups;
};
LayerSample layer_sample(std::size_t n0, std::span<const CodeSpan> fe,
                         std::span<const CodeSpan> cl, std::span<const std::uint8_t> keep,
                         bool drop_singletons, std::span<const double> counts);

}  // namespace kestrel
