#include "stages/sample.hpp"

#include <algorithm>
#include <string>

#include "codes/group_codes.hpp"
#include "fixed_effects/absorbed_dof.hpp"
#include "runtime/check.hpp"

namespace kestrel {
namespace {

std::size_t count_kept(std::span<const std::uint8_t> mask) {
  return static_cast<std::size_t>(
      std::count_if(mask.begin(), mask.end(), [](std::uint8_t m) { return m != 0; }));
}

std::vector<std::size_t> groups_of(const UsedCodes& codes) {
  std::vector<std::size_t> groups;
  groups.reserve(codes.spans.size());
  for (const CodeSpan c : codes.spans) groups.push_back(n_groups_of(c));
  return groups;
}

// Copies of the used rows, each renumbered 0..G-1 in order of first
// appearance; `mask` empty: every row.
UsedCodes dense_codes_of_rows(std::span<const CodeSpan> columns, std::span<const std::uint8_t> mask,
                              std::size_t n, const char* what) {
  UsedCodes used;
  used.owned.resize(columns.size());
  for (std::size_t c = 0; c < columns.size(); ++c) {
    std::vector<std::int32_t>& copy = used.owned[c];
    copy.reserve(n);
    const CodeSpan col = columns[c];
    for (std::size_t i = 0; i < col.size(); ++i) {
      if (!mask.empty() && mask[i] == 0) continue;
      if (col[i] < 0)
        throw ValueFailure(std::string(what) + " column " + std::to_string(c) +
                           " has a negative code at row " + std::to_string(i));
      copy.push_back(col[i]);
    }
    reindex_codes(copy);
  }
  for (const auto& copy : used.owned) used.spans.emplace_back(copy);
  return used;
}

}  // namespace

void check_code_lengths(std::span<const CodeSpan> columns, std::size_t rows,
                        std::string_view arg, std::string_view rows_arg) {
  for (std::size_t q = 0; q < columns.size(); ++q) {
    if (columns[q].size() == rows) continue;
    panic(std::string(arg) + "[" + std::to_string(q) + "] has " +
          std::to_string(columns[q].size()) + " codes but " + std::string(rows_arg) + " has " +
          std::to_string(rows) + " rows");
  }
}

Sample sample_of_rows(std::size_t n0, std::span<const CodeSpan> fe, std::span<const CodeSpan> cl) {
  Sample s;
  s.n = n0;
  s.fe = codes_as_passed(fe);
  s.cl = codes_as_passed(cl);
  if (!fe.empty()) {
    std::vector<std::uint8_t> mask = drop_singletons_mask(fe);
    check_len(mask.size(), n0);
    const std::size_t kept = count_kept(mask);
    if (kept < n0) {
      s.fe = codes_of_kept_rows(fe, mask, kept, /*renumber=*/true);
      s.cl = codes_of_kept_rows(cl, mask, kept, /*renumber=*/false);
      s.removed = n0 - kept;
      s.n = kept;
      s.mask = std::move(mask);
    }
  }
  s.fe_groups = groups_of(s.fe);
  return s;
}

Sample sample_of_kept_rows(std::size_t n0, std::span<const CodeSpan> fe,
                           std::span<const CodeSpan> cl, std::span<const std::uint8_t> keep,
                           bool drop_singletons, std::span<const double> counts) {
  if (!keep.empty() && keep.size() != n0)
    throw ValueFailure("keep has " + std::to_string(keep.size()) + " entries but there are " +
                       std::to_string(n0) + " rows");
  for (const auto& [columns, what] : {std::pair{fe, "fixed-effect"}, std::pair{cl, "cluster"}})
    for (std::size_t q = 0; q < columns.size(); ++q)
      if (columns[q].size() != n0)
        throw ValueFailure(std::string(what) + " column " + std::to_string(q) + " has " +
                           std::to_string(columns[q].size()) + " codes but there are " +
                           std::to_string(n0) + " rows");
  Sample s;
  std::vector<std::uint8_t> mask(keep.begin(), keep.end());
  const std::size_t usable = keep.empty() ? n0 : count_kept(keep);
  s.n = usable;
  if (!fe.empty() && drop_singletons) {
    // Negative codes at usable rows are refused before the singleton pass
    // would read them.
    for (std::size_t q = 0; q < fe.size(); ++q)
      for (std::size_t i = 0; i < n0; ++i)
        if ((keep.empty() || keep[i] != 0) && fe[q][i] < 0)
          throw ValueFailure("fixed-effect column " + std::to_string(q) +
                             " has a negative code at row " + std::to_string(i));
    mask = drop_singletons_mask(fe, keep, counts);
    s.n = count_kept(mask);
    s.removed = usable - s.n;
  }
  if (s.n == n0) mask.clear();
  s.fe = dense_codes_of_rows(fe, mask, s.n, "fixed-effect");
  s.cl = dense_codes_of_rows(cl, mask, s.n, "cluster");
  s.fe_groups = groups_of(s.fe);
  s.mask = std::move(mask);
  return s;
}

LayerSample layer_sample(std::size_t n0, std::span<const CodeSpan> fe,
                         std::span<const CodeSpan> cl, std::span<const std::uint8_t> keep,
                         bool drop_singletons, std::span<const double> counts) {
  LayerSample out;
  out.sample = sample_of_kept_rows(n0, fe, cl, keep, drop_singletons, counts);
  out.absorbed_dof = fe.empty() ? 0 : absorbed_dof_internal(out.sample.fe.spans);
  for (const CodeSpan c : out.sample.cl.spans) out.cluster_groups.push_back(n_groups_of(c));
  return out;
}

}  // namespace kestrel
