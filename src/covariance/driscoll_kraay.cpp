#include "covariance/driscoll_kraay.hpp"

#include <bit>
#include <limits>

#include "check.hpp"
#include "covariance/hac.hpp"

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

PeriodSums driscoll_kraay_period_sums(const StridedMatrix& score,
                                      StridedVector<double> time_ids) {
  const std::size_t n = score.rows;
  const std::size_t k = score.cols;
  check_len(time_ids.len, n);
  PeriodSums out;
  PeriodTable table;
  period_table_init(table, 64);
  // Rows of one period usually come together: remember the last one.
  std::uint64_t last_key = 0;
  std::size_t last_period = kNoPeriod;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t key = std::bit_cast<std::uint64_t>(time_ids[i]);
    std::size_t p;
    if (last_period != kNoPeriod && key == last_key) {
      p = last_period;
    } else {
      p = period_table_number(table, key, out.n_periods);
      if (p == out.n_periods) {
        ++out.n_periods;
        out.sums.resize(checked_mul(out.n_periods, k), 0.0);
      }
      last_key = key;
      last_period = p;
    }
    double* row = out.sums.data() + p * k;
    for (std::size_t c = 0; c < k; ++c) row[c] += score(i, c);
  }
  return out;
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
