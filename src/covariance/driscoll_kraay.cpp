#include "covariance/driscoll_kraay.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "runtime/check.hpp"
#include "covariance/hac.hpp"
#include "covariance/time_order.hpp"

namespace kestrel {

namespace {

constexpr std::size_t kNoPeriod = std::numeric_limits<std::size_t>::max();

// Open-addressing table from the bit pattern of a time value to its period
// number. Only lookups depend on its layout; numbers come from the caller in
// order of first occurrence.
struct PeriodTable {
  std::vector<std::uint64_t> keys;
  std::vector<std::size_t> numbers;  // kNoPeriod marks a free slot
  std::size_t used = 0;
};

std::size_t period_slot_hash(std::uint64_t x) {
  // splitmix64 finaliser: time values often differ only in low mantissa bits.
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  x ^= x >> 31;
  return static_cast<std::size_t>(x);
}

void period_table_init(PeriodTable& table, std::size_t capacity) {
  table.keys.assign(capacity, 0);
  table.numbers.assign(capacity, kNoPeriod);
  table.used = 0;
}

// The number of `key`, given `next` when the key is new.
std::size_t period_table_number(PeriodTable& table, std::uint64_t key, std::size_t next) {
  if (2 * (table.used + 1) > table.keys.size()) {
    PeriodTable bigger;
    period_table_init(bigger, checked_mul(table.keys.size(), 2));
    for (std::size_t i = 0; i < table.keys.size(); ++i)
      if (table.numbers[i] != kNoPeriod)
        period_table_number(bigger, table.keys[i], table.numbers[i]);
    table = std::move(bigger);
  }
  const std::size_t mask = table.keys.size() - 1;
  for (std::size_t i = period_slot_hash(key) & mask;; i = (i + 1) & mask) {
    if (table.numbers[i] == kNoPeriod) {
      table.keys[i] = key;
      table.numbers[i] = next;
      ++table.used;
      return next;
    }
    if (table.keys[i] == key) return table.numbers[i];
  }
}

}  // namespace

namespace {

// Sums the score rows per period, numbering periods with `number(i, next)`:
// the period number of row i, `next` when its value is new.
template <class Number>
PeriodSums period_sums_with(const StridedMatrix& score, Number&& number) {
  const std::size_t n = score.rows;
  const std::size_t k = score.cols;
  // Rows of contiguous values (C order) are added as whole rows.
  const bool rows_contiguous =
      k == 1 || score.col_stride == static_cast<std::ptrdiff_t>(sizeof(double));
  PeriodSums out;
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t p = number(i, out.n_periods);
    if (p == out.n_periods) {
      ++out.n_periods;
      out.sums.resize(checked_mul(out.n_periods, k), 0.0);
    }
    double* row = out.sums.data() + p * k;
    if (rows_contiguous) {
      const char* src = score.data + static_cast<std::ptrdiff_t>(i) * score.row_stride;
      for (std::size_t c = 0; c < k; ++c) {
        double v;
        std::memcpy(&v, src + c * sizeof(double), sizeof(double));
        row[c] += v;
      }
    } else {
      for (std::size_t c = 0; c < k; ++c) row[c] += score(i, c);
    }
  }
  return out;
}

// Period stamps are usually whole numbers in a range not much wider than the
// rows: then a table indexed by value numbers them without hashing. −0.0 is a
// period of its own, so it sends the rows to the hash table.
bool dense_whole_stamps(StridedVector<double> time_ids, std::size_t n, double& lowest,
                        std::size_t& span) {
  double lo = 0.0;
  double hi = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double v = time_ids[i];
    if (!is_whole_time_stamp(v) || (v == 0.0 && std::signbit(v))) return false;
    lo = i == 0 ? v : std::min(lo, v);
    hi = i == 0 ? v : std::max(hi, v);
  }
  if (n == 0 || hi - lo > 2.0 * static_cast<double>(n) + 1024.0) return false;
  lowest = lo;
  span = static_cast<std::size_t>(hi - lo) + 1;
  return true;
}

}  // namespace

PeriodSums driscoll_kraay_period_sums(const StridedMatrix& score,
                                      StridedVector<double> time_ids) {
  const std::size_t n = score.rows;
  check_len(time_ids.len, n);
  double lowest = 0.0;
  std::size_t span = 0;
  if (dense_whole_stamps(time_ids, n, lowest, span)) {
    std::vector<std::size_t> period_of_value(span, kNoPeriod);
    return period_sums_with(score, [&](std::size_t i, std::size_t next) {
      std::size_t& p = period_of_value[static_cast<std::size_t>(time_ids[i] - lowest)];
      if (p == kNoPeriod) p = next;
      return p;
    });
  }
  PeriodTable table;
  period_table_init(table, 64);
  // Rows of one period usually come together: remember the last one.
  std::uint64_t last_key = 0;
  std::size_t last_period = kNoPeriod;
  return period_sums_with(score, [&](std::size_t i, std::size_t next) {
    const std::uint64_t key = std::bit_cast<std::uint64_t>(time_ids[i]);
    if (last_period == kNoPeriod || key != last_key) {
      last_period = period_table_number(table, key, next);
      last_key = key;
    }
    return last_period;
  });
}

std::vector<double> driscoll_kraay_meat(const StridedMatrix& score,
                                        StridedVector<double> time_ids, std::int64_t bandwidth) {
  // Without columns the meat is 0×0 whatever the periods; a zero-width score
  // may have any number of rows (stride 0), so they are not walked.
  if (score.cols == 0) {
    check_len(time_ids.len, score.rows);
    return {};
  }
  const PeriodSums periods = driscoll_kraay_period_sums(score, time_ids);
  return hac_newey_west_sum(periods.sums, periods.n_periods, score.cols,
                            hac_bandwidth(bandwidth, periods.n_periods));
}

}  // namespace kestrel
