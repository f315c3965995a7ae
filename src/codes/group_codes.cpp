#include "codes/group_codes.hpp"

#include <algorithm>
#include <limits>
#include <utility>

#include "runtime/check.hpp"

namespace kestrel {
namespace {

constexpr auto kMaxCode = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());

// Codes are 32-bit: more distinct values than that cannot be represented.
void check_group_count(std::size_t groups) {
  if (groups > kMaxCode + 1) panic("more distinct values than 32-bit group codes can number");
}

// The recoding rule on any signed values read through `at(i)`.
template <class Get>
Recoded recode_values(std::size_t n, Get at) {
  Recoded out;
  if (n == 0) return out;
  // The result first: a count of values that cannot be recoded (a huge view
  // through a zero stride) fails here, not after reading all of them.
  out.codes.resize(n);
  std::int64_t lo = at(0), hi = at(0);
  for (std::size_t i = 1; i < n; ++i) {
    const std::int64_t v = at(i);
    lo = std::min(lo, v);
    hi = std::max(hi, v);
  }
  // Exact: hi >= lo, so the unsigned difference cannot wrap.
  const std::uint64_t range = static_cast<std::uint64_t>(hi) - static_cast<std::uint64_t>(lo);
  if (range / 2 < n && range < 2 * static_cast<std::uint64_t>(n)) {
    // Dense path: codes in order of first appearance.
    std::vector<std::int32_t> table(checked_add(static_cast<std::size_t>(range), 1), -1);
    std::int32_t next = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const auto slot = static_cast<std::uint64_t>(at(i)) - static_cast<std::uint64_t>(lo);
      std::int32_t& code = table[slot];
      if (code < 0) {
        check_group_count(static_cast<std::size_t>(next) + 1);
        code = next++;
      }
      out.codes[i] = code;
    }
    out.n_groups = static_cast<std::size_t>(next);
    return out;
  }
  // Sorted path: codes in ascending order of value.
  std::vector<std::pair<std::int64_t, std::size_t>> pairs(n);
  for (std::size_t i = 0; i < n; ++i) pairs[i] = {at(i), i};
  std::sort(pairs.begin(), pairs.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  std::size_t code = 0;
  out.codes[pairs[0].second] = 0;
  for (std::size_t t = 1; t < n; ++t) {
    if (pairs[t].first != pairs[t - 1].first) ++code;
    out.codes[pairs[t].second] = static_cast<std::int32_t>(std::min(code, kMaxCode));
  }
  check_group_count(code + 1);
  out.n_groups = code + 1;
  return out;
}

}  // namespace

Recoded recode_vec(std::span<const std::int32_t> values) {
  return recode_values(values.size(), [&](std::size_t i) -> std::int64_t { return values[i]; });
}

Recoded recode_i64(StridedVector<std::int64_t> values) {
  return recode_values(values.len, [&](std::size_t i) { return values[i]; });
}

Recoded recode_i64(std::span<const std::int64_t> values) {
  return recode_values(values.size(), [&](std::size_t i) { return values[i]; });
}

void reindex_codes(std::span<std::int32_t> codes) {
  const std::size_t n = codes.size();
  if (n == 0) return;
  std::int32_t largest = codes[0];
  for (std::int32_t c : codes) {
    if (c < 0) panic_index(static_cast<std::size_t>(static_cast<std::int64_t>(c)), 0);
    largest = std::max(largest, c);
  }
  const auto slots = static_cast<std::size_t>(largest) + 1;
  if (slots <= 2 * n + 64) {
    // Table indexed by code, as the codes are compact.
    std::vector<std::int32_t> table(slots, -1);
    std::int32_t next = 0;
    for (std::int32_t c : codes)
      if (table[static_cast<std::size_t>(c)] < 0) table[static_cast<std::size_t>(c)] = next++;
    for (std::int32_t& c : codes) c = table[static_cast<std::size_t>(c)];
    return;
  }
  // Sparse codes: same numbering (order of first appearance) without a table
  // sized by the largest code, so memory follows the rows.
  std::vector<std::pair<std::int32_t, std::size_t>> by_code(n);
  for (std::size_t i = 0; i < n; ++i) by_code[i] = {codes[i], i};
  std::sort(by_code.begin(), by_code.end());  // ties by row: first row leads
  std::vector<std::pair<std::size_t, std::int32_t>> firsts;  // (first row, code)
  for (std::size_t t = 0; t < n; ++t)
    if (t == 0 || by_code[t].first != by_code[t - 1].first)
      firsts.emplace_back(by_code[t].second, by_code[t].first);
  std::sort(firsts.begin(), firsts.end());
  // Rank of each code by first appearance, looked up through the code order.
  std::vector<std::pair<std::int32_t, std::int32_t>> rank(firsts.size());
  for (std::size_t r = 0; r < firsts.size(); ++r)
    rank[r] = {firsts[r].second, static_cast<std::int32_t>(r)};
  std::sort(rank.begin(), rank.end());
  for (std::int32_t& c : codes) {
    auto it = std::lower_bound(rank.begin(), rank.end(), std::pair{c, std::int32_t{-1}});
    c = it->second;
  }
}

std::size_t n_groups_of(std::span<const std::int32_t> codes) {
  if (codes.empty()) return 1;
  const std::int64_t largest = *std::max_element(codes.begin(), codes.end());
  return largest < 0 ? 0 : static_cast<std::size_t>(largest + 1);
}

Recoded interaction_codes(std::span<const std::span<const std::int32_t>> columns) {
  if (columns.empty()) panic("interaction_codes needs at least one column");
  if (columns.size() == 1) return recode_vec(columns[0]);
  const std::size_t n = columns[0].size();
  for (std::size_t j = 1; j < columns.size(); ++j) check_len(columns[j].size(), n);

  // The mixed-radix key of the first column and each later one's (largest
  // code + 1). Its bounds are tracked exactly; if any step could leave 64-bit
  // range, distinct combinations could merge, so the columns are then
  // combined pairwise through dense recoding instead.
  bool fits = true;
  std::int64_t lo = 0, hi = 0;
  if (n > 0) {
    lo = *std::min_element(columns[0].begin(), columns[0].end());
    hi = *std::max_element(columns[0].begin(), columns[0].end());
  }
  std::vector<std::int64_t> radix(columns.size(), 0);
  for (std::size_t j = 1; j < columns.size() && fits; ++j) {
    const auto& cj = columns[j];
    radix[j] = cj.empty() ? 1 : static_cast<std::int64_t>(*std::max_element(cj.begin(), cj.end())) + 1;
    if (n == 0) continue;
    const std::int64_t cmin = *std::min_element(cj.begin(), cj.begin() + static_cast<std::ptrdiff_t>(n));
    const std::int64_t cmax = *std::max_element(cj.begin(), cj.begin() + static_cast<std::ptrdiff_t>(n));
    std::int64_t a, b, new_lo, new_hi;
    if (radix[j] < 0 || __builtin_mul_overflow(lo, radix[j], &a) ||
        __builtin_mul_overflow(hi, radix[j], &b) || __builtin_add_overflow(a, cmin, &new_lo) ||
        __builtin_add_overflow(b, cmax, &new_hi)) {
      fits = false;
      break;
    }
    lo = new_lo;
    hi = new_hi;
  }

  std::vector<std::int64_t> key(columns[0].begin(), columns[0].end());
  if (fits) {
    for (std::size_t j = 1; j < columns.size(); ++j)
      for (std::size_t i = 0; i < n; ++i) key[i] = key[i] * radix[j] + columns[j][i];
    return recode_i64(std::span<const std::int64_t>(key));
  }
  // Step by step: dense codes so far (< n) times the span of the next column.
  Recoded acc = recode_i64(std::span<const std::int64_t>(key));
  for (std::size_t j = 1; j < columns.size(); ++j) {
    const auto& cj = columns[j];
    const std::int64_t cmin = *std::min_element(cj.begin(), cj.begin() + static_cast<std::ptrdiff_t>(n));
    const std::int64_t cmax = *std::max_element(cj.begin(), cj.begin() + static_cast<std::ptrdiff_t>(n));
    const std::int64_t span = cmax - cmin + 1;  // <= 2^32
    for (std::size_t i = 0; i < n; ++i)
      key[i] = static_cast<std::int64_t>(acc.codes[i]) * span + (cj[i] - cmin);
    acc = recode_i64(std::span<const std::int64_t>(key));
  }
  return acc;
}

}  // namespace kestrel
