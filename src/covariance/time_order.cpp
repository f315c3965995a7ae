#include "covariance/time_order.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <utility>

#include "runtime/check.hpp"
#include "runtime/thread_pool.hpp"

namespace kestrel {

bool is_whole_time_stamp(double v) {
  // No libm call per value (floor is one on baseline x86-64): magnitudes up
  // to 2^52 convert to int64 exactly.
  constexpr double kMaxWhole = 4503599627370496.0;  // 2^52
  const double in_range = std::fabs(v) <= kMaxWhole ? v : 0.5;
  return static_cast<double>(static_cast<std::int64_t>(in_range)) == v;
}

namespace {

// Unsigned keys in the numeric order of the (non-NaN) time values, with 0.0
// and −0.0 mapped to the same key so that they tie.
std::uint64_t hac_sort_key(double v) {
  const auto bits = std::bit_cast<std::uint64_t>(v == 0.0 ? 0.0 : v);
  return (bits >> 63) != 0 ? ~bits : bits | (std::uint64_t{1} << 63);
}

// Stable LSD radix sort of (key, row) pairs on 8-bit digits; digits that are
// the same in every key (say the low mantissa bytes of whole-number times)
// cost one counting pass and no move.
void hac_radix_sort(std::vector<std::pair<std::uint64_t, std::size_t>>& items) {
  std::vector<std::pair<std::uint64_t, std::size_t>> scratch(items.size());
  std::vector<std::array<std::size_t, 256>> counts(8);
  for (auto& c : counts) c.fill(0);
  for (const auto& [key, row] : items)
    for (std::size_t d = 0; d < 8; ++d) ++counts[d][(key >> (8 * d)) & 0xff];
  for (std::size_t d = 0; d < 8; ++d) {
    auto& count = counts[d];
    const std::uint64_t first = (items.front().first >> (8 * d)) & 0xff;
    if (count[first] == items.size()) continue;
    std::size_t offset = 0;
    for (auto& c : count) offset += std::exchange(c, offset);
    for (const auto& item : items) scratch[count[(item.first >> (8 * d)) & 0xff]++] = item;
    items.swap(scratch);
  }
}

}  // namespace

namespace {

// Time stamps are usually whole numbers (periods, positions) spanning not
// much more than the number of rows: then a counting sort on the value gives
// every row its place in two passes.

template <class Count>
void hac_counting_ranks(StridedVector<double> time_ids, std::size_t n, double lowest,
                        std::size_t span, std::vector<std::size_t>& rank) {
  std::vector<Count> start(span + 1, 0);
  for (std::size_t i = 0; i < n; ++i)
    ++start[static_cast<std::size_t>(time_ids[i] - lowest) + 1];
  for (std::size_t v = 1; v <= span; ++v) start[v] += start[v - 1];
  // Rows take their value's places in input order: equal values (0.0 and
  // −0.0 included) keep their order.
  rank.resize(n);
  for (std::size_t i = 0; i < n; ++i)
    rank[i] = start[static_cast<std::size_t>(time_ids[i] - lowest)]++;
}

}  // namespace

std::optional<std::vector<std::size_t>> hac_time_ranks(StridedVector<double> time_ids,
                                                       std::size_t n) {
  check_len(time_ids.len, n);
  // A zero-width score can have any number of rows (with a broadcast time
  // vector): an impossible size must be a MemoryError, not a crash.
  if (n > std::vector<std::pair<std::uint64_t, std::size_t>>().max_size())
    throw std::length_error("hac_time_ranks: more rows than a key vector can hold");
  // Reserved before the time values are read, so that an impossible size
  // fails at once instead of after reading them all.
  std::vector<std::size_t> rank;
  rank.reserve(n);
  if (n < 2) return std::nullopt;
  // A comparison involving NaN has no answer; with a single row nothing is
  // compared, so a lone NaN is accepted.
  const auto no_nan = [](double v) {
    if (std::isnan(v)) [[unlikely]]
      panic("called `Option::unwrap()` on a `None` value");
    return v;
  };
  bool sorted = true;
  bool whole = true;
  double previous = no_nan(time_ids[0]);
  double lowest = previous;
  double highest = previous;
  whole = is_whole_time_stamp(previous);
  for (std::size_t i = 1; i < n; ++i) {
    const double v = no_nan(time_ids[i]);
    sorted = sorted && !(v < previous);
    previous = v;
    whole = whole && is_whole_time_stamp(v);
    lowest = std::min(lowest, v);
    highest = std::max(highest, v);
  }
  if (sorted) return std::nullopt;
  // Both ends are whole numbers of magnitude <= 2^52, so the span is exact.
  if (whole && highest - lowest <= 2.0 * static_cast<double>(n) + 1024.0) {
    const auto span = static_cast<std::size_t>(highest - lowest) + 1;
    if (n <= UINT32_MAX)
      hac_counting_ranks<std::uint32_t>(time_ids, n, lowest, span, rank);
    else
      hac_counting_ranks<std::size_t>(time_ids, n, lowest, span, rank);
    return rank;
  }

  std::vector<std::pair<std::uint64_t, std::size_t>> keyed(n);
  for (std::size_t i = 0; i < n; ++i) keyed[i] = {hac_sort_key(time_ids[i]), i};
  // Equal keys keep their input order either way.
  if (n < 512)
    std::stable_sort(keyed.begin(), keyed.end(),
                     [](const auto& x, const auto& y) { return x.first < y.first; });
  else
    hac_radix_sort(keyed);
  rank.resize(n);
  for (std::size_t t = 0; t < n; ++t) rank[keyed[t].second] = t;
  return rank;
}

WorkBuffer hac_sorted_rows(const StridedMatrix& score, const std::vector<std::size_t>* rank) {
  const std::size_t n = score.rows;
  const std::size_t k = score.cols;
  if (rank != nullptr) check_len(rank->size(), n);
  WorkBuffer s = work_buffer(std::max<std::size_t>(1, checked_mul(n, k)));
  if (k == 0) return s;
  if (rank != nullptr)
    for (const std::size_t r : *rank) check_index(r, n);
  const std::size_t* place = rank != nullptr ? rank->data() : nullptr;
  // Rows are read in input order and written to their places: reading in
  // time order instead would wait on a cache miss for every row, while
  // out-of-order stores drain in the background. Rows are independent, so
  // large copies are split over the pool.
  const bool rows_contiguous =
      k == 1 || score.col_stride == static_cast<std::ptrdiff_t>(sizeof(double));
  const std::size_t tasks = n * k >= (std::size_t{1} << 18) ? thread_pool_runners() : 1;
  auto copy = [&](std::size_t task) {
    const std::size_t begin = n * task / tasks;
    const std::size_t end = n * (task + 1) / tasks;
    for (std::size_t i = begin; i < end; ++i) {
      double* row = s.get() + (place != nullptr ? place[i] : i) * k;
      if (rows_contiguous)
        std::memcpy(row, score.data + static_cast<std::ptrdiff_t>(i) * score.row_stride,
                    k * sizeof(double));
      else
        for (std::size_t c = 0; c < k; ++c) row[c] = score(i, c);
    }
  };
  if (tasks == 1)
    copy(0);
  else
    thread_pool_run(tasks, copy);
  return s;
}

}  // namespace kestrel
