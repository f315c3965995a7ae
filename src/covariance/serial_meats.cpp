#include "covariance/serial_meats.hpp"

#include <algorithm>
#include <string>

#include "covariance/hac.hpp"

namespace kestrel {
namespace {

// Stable counting sort of `rows` by codes[row] (codes in 0..groups-1).
std::vector<std::size_t> sorted_by(std::span<const std::size_t> rows, CodeSpan codes,
                                   std::size_t groups) {
  std::vector<std::size_t> next(groups + 1, 0);
  for (const std::size_t i : rows) ++next[check_code(codes[i], groups) + 1];
  for (std::size_t g = 1; g <= groups; ++g) next[g] += next[g - 1];
  std::vector<std::size_t> out(rows.size());
  for (const std::size_t i : rows) out[next[static_cast<std::size_t>(codes[i])]++] = i;
  return out;
}

}  // namespace

std::size_t largest_code_plus_one(CodeSpan codes) {
  std::int64_t largest = -1;
  for (const std::int32_t c : codes) largest = std::max<std::int64_t>(largest, c);
  return static_cast<std::size_t>(largest + 1);
}

std::vector<std::size_t> serial_order(CodeSpan time, CodeSpan panel,
                                      std::vector<std::size_t>& starts) {
  const std::size_t n = time.size();
  std::vector<std::size_t> rows(n);
  for (std::size_t i = 0; i < n; ++i) rows[i] = i;
  rows = sorted_by(rows, time, largest_code_plus_one(time));
  if (!panel.empty()) rows = sorted_by(rows, panel, largest_code_plus_one(panel));
  starts.clear();
  for (std::size_t p = 0; p < n; ++p) {
    const bool new_run = p == 0 || (!panel.empty() && panel[rows[p]] != panel[rows[p - 1]]);
    if (new_run) {
      starts.push_back(p);
    } else if (time[rows[p]] == time[rows[p - 1]]) {
      throw ValueFailure("the time variable repeats a period" +
                         std::string(panel.empty() ? "" : " within a panel") + " (rows " +
                         std::to_string(rows[p - 1]) + " and " + std::to_string(rows[p]) +
                         " of the sample)");
    }
  }
  starts.push_back(n);
  return rows;
}

std::vector<double> newey_west_of_runs(std::span<const double> scores, std::size_t k,
                                       std::span<const std::size_t> starts, std::uint64_t lag) {
  std::vector<double> meat(checked_mul(k, k), 0.0);
  for (std::size_t r = 0; r + 1 < starts.size(); ++r) {
    const std::size_t begin = starts[r];
    const std::size_t rows = starts[r + 1] - begin;
    const std::vector<double> part =
        hac_newey_west_sum(scores.subspan(begin * k, rows * k), rows, k, lag);
    for (std::size_t t = 0; t < meat.size(); ++t) meat[t] += part[t];
  }
  return meat;
}

}  // namespace kestrel
