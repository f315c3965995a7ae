#include "covariance/hac.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <utility>

#include "check.hpp"
#include "fixed_effects/thread_pool.hpp"
#include "fixed_effects/work_buffer.hpp"

namespace kestrel {

bool is_whole_time_stamp(double v) {
  // No libm call per value (floor is one on baseline x86-64): magnitudes up
  // to 2^52 convert to int64 exactly.
  constexpr double kMaxWhole = 4503599627370496.0;  // 2^52
  const double in_range = std::fabs(v) <= kMaxWhole ? v : 0.5;
  return static_cast<double>(static_cast<std::int64_t>(in_range)) == v;
}

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
  const std::size_t tasks = n * k >= (std::size_t{1} << 18) ? thread_pool_size() : 1;
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

namespace {

// Cross products of a lag group are kept as one k × (LG·k) matrix C with
// C[a][(j1−j)·k + b] = G_j[a][b]. For t >= j1 the rows t−j1 … t−j0 of s are
// one contiguous window, so every lag of the group advances with a single
// rank-one update C += s[t]ᵀ ⊗ window(t): a small matrix product whose inner
// index is t. Register tiles of C accumulate over t in ascending order, so
// each entry is still the plain sequential sum.
//
// Lanes are GCC vector types; the unaligned, may-alias variants read and write
// plain double arrays (as the compiler's own intrinsics headers do).
typedef double Lanes2 __attribute__((vector_size(16)));
typedef double Lanes4 __attribute__((vector_size(32)));
typedef double Lanes2u __attribute__((vector_size(16), aligned(8), may_alias));
typedef double Lanes4u __attribute__((vector_size(32), aligned(8), may_alias));
template <std::size_t W> struct LanesOf;
template <> struct LanesOf<2> { using type = Lanes2; using unaligned = Lanes2u; };
template <> struct LanesOf<4> { using type = Lanes4; using unaligned = Lanes4u; };
template <std::size_t W>
using Lanes = typename LanesOf<W>::type;
template <std::size_t W>
using LanesU = typename LanesOf<W>::unaligned;

// x[0] in every lane. With four lanes the broadcast is read straight from
// memory: the compiler would otherwise load the band's x values as one vector
// and spread them with lane permutes, which compete with the multiplies and
// adds for the same pipes. (Only instantiated inside the AVX2 kernel.)
// (Written through a reference: a 32-byte vector returned by value would be
// an ABI question outside the AVX2 kernel.)
template <std::size_t W>
[[gnu::always_inline]] inline void nw_broadcast(const double* x, Lanes<W>& v) {
  if constexpr (W == 4) {
    asm("vbroadcastsd %1, %0" : "=x"(v) : "m"(*x));
  } else {
    for (std::size_t l = 0; l < W; ++l) v[l] = *x;
  }
}

// Tile of RA rows × (NV·W + REST) columns of C, accumulated in registers
// over `rows` consecutive t: NV vectors of W lanes, then REST single doubles.
// x points at s[t][a0], y at window(t) + m0.
template <std::size_t W, std::size_t RA, std::size_t NV, std::size_t REST>
[[gnu::always_inline]] inline void nw_tile(const double* __restrict x,
                                           const double* __restrict y, std::size_t rows,
                                           std::size_t k, double* __restrict c,
                                           std::size_t ldc) {
  Lanes<W> acc[RA][NV + 1];  // + 1: no zero-length arrays
  double tail[RA][REST + 1];
  for (std::size_t r = 0; r < RA; ++r) {
    for (std::size_t v = 0; v < NV; ++v)
      acc[r][v] = *reinterpret_cast<const LanesU<W>*>(c + r * ldc + v * W);
    for (std::size_t e = 0; e < REST; ++e) tail[r][e] = c[r * ldc + NV * W + e];
  }
  for (std::size_t i = 0; i < rows; ++i, x += k, y += k) {
    Lanes<W> yv[NV + 1];
    for (std::size_t v = 0; v < NV; ++v) yv[v] = *reinterpret_cast<const LanesU<W>*>(y + v * W);
    for (std::size_t r = 0; r < RA; ++r) {
      Lanes<W> xr;
      nw_broadcast<W>(x + r, xr);
      for (std::size_t v = 0; v < NV; ++v) acc[r][v] += xr * yv[v];
      for (std::size_t e = 0; e < REST; ++e) tail[r][e] += x[r] * y[NV * W + e];
    }
  }
  for (std::size_t r = 0; r < RA; ++r) {
    for (std::size_t v = 0; v < NV; ++v)
      *reinterpret_cast<LanesU<W>*>(c + r * ldc + v * W) = acc[r][v];
    for (std::size_t e = 0; e < REST; ++e) c[r * ldc + NV * W + e] = tail[r][e];
  }
}

// Vectors per tile for a band of RA rows: as many independent accumulators
// as 16 vector registers hold next to the loaded window.
template <std::size_t RA>
constexpr std::size_t nw_tile_vectors = RA == 1 ? 6 : RA == 2 ? 4 : RA == 3 ? 3 : 2;

// The last R < NV·W columns of a band, in one pass whatever R is.
template <std::size_t W, std::size_t RA, std::size_t R>
[[gnu::always_inline]] inline void nw_tile_rest(std::size_t rest, const double* x,
                                                const double* y, std::size_t rows,
                                                std::size_t k, double* c, std::size_t ldc) {
  if constexpr (R > 0) {
    if (rest == R) return nw_tile<W, RA, R / W, R % W>(x, y, rows, k, c, ldc);
    nw_tile_rest<W, RA, R - 1>(rest, x, y, rows, k, c, ldc);
  }
}

// Rows a0 … a0+RA−1 of C, columns m0 … m1−1.
template <std::size_t W, std::size_t RA>
[[gnu::always_inline]] inline void nw_band(const double* x, const double* y, std::size_t rows,
                                           std::size_t k, double* c, std::size_t ldc,
                                           std::size_t m0, std::size_t m1) {
  constexpr std::size_t width = nw_tile_vectors<RA> * W;
  std::size_t m = m0;
  for (; m + width <= m1; m += width)
    nw_tile<W, RA, nw_tile_vectors<RA>, 0>(x, y + m, rows, k, c + m, ldc);
  nw_tile_rest<W, RA, width - 1>(m1 - m, x, y + m, rows, k, c + m, ldc);
}

template <std::size_t W, std::size_t RA>
[[gnu::always_inline]] inline void nw_band_rest(std::size_t ra, const double* x, const double* y,
                                                std::size_t rows, std::size_t k, double* c,
                                                std::size_t ldc, std::size_t m0,
                                                std::size_t m1) {
  if constexpr (RA > 0) {
    if (ra == RA) return nw_band<W, RA>(x, y, rows, k, c, ldc, m0, m1);
    nw_band_rest<W, RA - 1>(ra, x, y, rows, k, c, ldc, m0, m1);
  }
}

// Columns m0 … m1−1 of C += Σ_{t=t0}^{t1−1} s[t]ᵀ ⊗ window(t) for a group
// whose largest lag is j1 <= t0, window(t) = s[t − j1] … s[t − j0] read as
// one run of doubles.
template <std::size_t W, std::size_t RA>
[[gnu::always_inline]] inline void nw_group_rows(const double* s, std::size_t k, std::size_t t0,
                                                 std::size_t t1, std::size_t j1, double* c,
                                                 std::size_t ldc, std::size_t m0,
                                                 std::size_t m1) {
  const double* x = s + t0 * k;
  const double* y = s + (t0 - j1) * k;
  const std::size_t rows = t1 - t0;
  std::size_t a = 0;
  for (; a + RA <= k; a += RA) nw_band<W, RA>(x + a, y, rows, k, c + a * ldc, ldc, m0, m1);
  nw_band_rest<W, RA - 1>(k - a, x + a, y, rows, k, c + a * ldc, ldc, m0, m1);
}

// The same arithmetic, per entry and in the same order, compiled for two
// vector widths: two lanes (baseline x86-64) and four (AVX2, chosen at run
// time). Only the number of independent entries updated per instruction
// differs; no fused multiply-add is ever formed (-ffp-contract=off, and the
// AVX2 clone doesn't enable FMA), so both give identical bits.
void nw_group_rows_baseline(const double* s, std::size_t k, std::size_t t0, std::size_t t1,
                            std::size_t j1, double* c, std::size_t ldc, std::size_t m0,
                            std::size_t m1) {
  nw_group_rows<2, 4>(s, k, t0, t1, j1, c, ldc, m0, m1);
}

#if defined(__x86_64__) && defined(__GNUC__)
[[gnu::target("avx2")]] void nw_group_rows_avx2(const double* s, std::size_t k, std::size_t t0,
                                                std::size_t t1, std::size_t j1, double* c,
                                                std::size_t ldc, std::size_t m0,
                                                std::size_t m1) {
  nw_group_rows<4, 6>(s, k, t0, t1, j1, c, ldc, m0, m1);
}
#endif

using GroupRowsFn = void (*)(const double*, std::size_t, std::size_t, std::size_t, std::size_t,
                             double*, std::size_t, std::size_t, std::size_t);

GroupRowsFn nw_group_rows_kernel() {
#if defined(__x86_64__) && defined(__GNUC__)
  static const GroupRowsFn fn =
      __builtin_cpu_supports("avx2") ? nw_group_rows_avx2 : nw_group_rows_baseline;
  return fn;
#else
  return nw_group_rows_baseline;
#endif
}

}  // namespace

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
  const GroupRowsFn group_rows = nw_group_rows_kernel();
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
        rows_left * k * ldc >= (std::size_t{1} << 22) ? std::min(thread_pool_size(), ldc) : 1;
    auto sweep = [&](std::size_t task) {
      // Column ranges start on multiples of four, the widest vector.
      const std::size_t m0 = (ldc * task / tasks) & ~std::size_t{3};
      const std::size_t m1 = task + 1 == tasks ? ldc : (ldc * (task + 1) / tasks) & ~std::size_t{3};
      if (m0 >= m1) return;
      for (std::size_t t0 = j1; t0 < n; t0 += row_block)
        group_rows(s.data(), k, t0, std::min(n, t0 + row_block), j1, c.data(), ldc, m0, m1);
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
