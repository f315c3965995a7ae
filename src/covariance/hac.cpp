#include "covariance/hac.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>

#include "covariance/lag_products.hpp"
#include "covariance/time_order.hpp"
#include "runtime/check.hpp"
#include "runtime/thread_pool.hpp"
#include "runtime/work_buffer.hpp"

namespace kestrel {

std::uint64_t hac_auto_bandwidth(std::size_t n) {
  const double l = std::floor(4.0 * std::pow(static_cast<double>(n) / 100.0, 2.0 / 9.0));
  // The value is finite and non-negative for every n; the cast saturates
  // only in theory (n would need ~10^86 rows).
  const std::uint64_t lag =
      l >= 18446744073709551615.0 ? UINT64_MAX : static_cast<std::uint64_t>(l);
  return lag == 0 ? 1 : lag;
}

std::uint64_t hac_bandwidth(std::int64_t bandwidth, std::size_t n) {
  return bandwidth >= 0 ? static_cast<std::uint64_t>(bandwidth) : hac_auto_bandwidth(n);
}

std::vector<double> hac_newey_west_sum(std::span<const double> s, std::size_t n, std::size_t k,
                                       std::uint64_t bandwidth) {
  const std::size_t kk = checked_mul(k, k);
  check_len(s.size(), checked_mul(n, k));
  std::vector<double> out(kk, 0.0);
  if (n == 0 || k == 0) return out;

  // Lag j pairs rows t and t−j for t = j … n−1: from j = n on the product is
  // empty and the update adds +0.0 to entries that are never −0.0 (sums
  // started at +0.0 can't become −0.0), so stopping at n−1 is exact.
  const std::size_t last_lag =
      bandwidth < static_cast<std::uint64_t>(n - 1) ? static_cast<std::size_t>(bandwidth) : n - 1;
  const double l_plus_1 = static_cast<double>(bandwidth) + 1.0;

  // Lags go in groups whose cross products fit a few hundred kilobytes, with
  // at least one lag per group. Row blocks keep the window of s that a
  // group reads hot in cache while every tile of C passes over it.
  const std::size_t group_cap = std::max<std::size_t>(1, (std::size_t{1} << 15) / kk);
  const std::size_t row_block = std::clamp<std::size_t>((std::size_t{1} << 12) / k, 16, 512);
    std::vector<double> c;

  for (std::size_t j0 = 0; j0 <= last_lag;) {
    const std::size_t lg = std::min(group_cap, last_lag - j0 + 1);
    const std::size_t j1 = j0 + lg - 1;
    const std::size_t ldc = checked_mul(lg, k);
    c.assign(checked_mul(k, ldc), 0.0);

    // Rows before j1 don't reach every lag of the group; they come first in
    // each sum, lag by lag.
    for (std::size_t j = j0; j < j1; ++j) {
      double* g = c.data() + (j1 - j) * k;
      for (std::size_t t = j; t < std::min(j1, n); ++t) {
        const double* x = s.data() + t * k;
        const double* y = s.data() + (t - j) * k;
        for (std::size_t a = 0; a < k; ++a) {
          const double xa = x[a];
          double* ga = g + a * ldc;
          for (std::size_t b = 0; b < k; ++b) ga[b] += xa * y[b];
        }
      }
    }
    // Entries of C are independent sums, so the pool splits C by columns;
    // every entry still runs over t in order within one task.
    const std::size_t rows_left = n > j1 ? n - j1 : 0;
    const std::size_t tasks =
        rows_left * k * ldc >= (std::size_t{1} << 22) ? std::min(thread_pool_runners(), ldc) : 1;
    auto sweep = [&](std::size_t task) {
      // Column ranges start on multiples of four, the widest vector.
      const std::size_t m0 = (ldc * task / tasks) & ~std::size_t{3};
      const std::size_t m1 = task + 1 == tasks ? ldc : (ldc * (task + 1) / tasks) & ~std::size_t{3};
      if (m0 >= m1) return;
      for (std::size_t t0 = j1; t0 < n; t0 += row_block)
        lag_group_rows(s.data(), k, t0, std::min(n, t0 + row_block), j1, c.data(), ldc, m0, m1);
    };
    if (tasks == 1)
      sweep(0);
    else
      thread_pool_run(tasks, sweep);

    for (std::size_t j = j0; j <= j1; ++j) {
      const double* g = c.data() + (j1 - j) * k;
      if (j == 0) {
        // Lag 0 is M's own first sum: both start at +0.0 and add the same
        // products in the same order.
        for (std::size_t a = 0; a < k; ++a)
          for (std::size_t b = a; b < k; ++b) out[a * k + b] = g[a * ldc + b];
        continue;
      }
      const double w = 1.0 - static_cast<double>(j) / l_plus_1;
      for (std::size_t a = 0; a < k; ++a)
        for (std::size_t b = a; b < k; ++b)
          out[a * k + b] += (g[a * ldc + b] + g[b * ldc + a]) * w;
    }
    j0 = j1 + 1;
  }
  for (std::size_t a = 0; a < k; ++a)
    for (std::size_t b = a + 1; b < k; ++b) out[b * k + a] = out[a * k + b];
  return out;
}

std::vector<double> hac_meat(const StridedMatrix& score, StridedVector<double> time_ids,
                             std::int64_t bandwidth) {
  const std::size_t n = score.rows;
  const std::size_t k = score.cols;
  const std::uint64_t lags = hac_bandwidth(bandwidth, n);
  const std::optional<std::vector<std::size_t>> rank = hac_time_ranks(time_ids, n);
  // Rows already in time order in an aligned C-ordered buffer are read where
  // they are: the copy would be the same bytes.
  if (!rank && n > 0 && k > 0 && score.c_contiguous() &&
      reinterpret_cast<std::uintptr_t>(score.data) % alignof(double) == 0) {
    const std::span<const double> rows(reinterpret_cast<const double*>(score.data),
                                       checked_mul(n, k));
    return hac_newey_west_sum(rows, n, k, lags);
  }
  const WorkBuffer s = hac_sorted_rows(score, rank ? &*rank : nullptr);
  return hac_newey_west_sum(std::span<const double>(s.get(), checked_mul(n, k)), n, k, lags);
}

}  // namespace kestrel
