#include "covariance/lag_products.hpp"

#include <cstddef>

#include "runtime/cpu_features.hpp"

namespace kestrel {

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
  return cpu_has_avx2() ? nw_group_rows_avx2 : nw_group_rows_baseline;
#else
  return nw_group_rows_baseline;
#endif
}

}  // namespace

void lag_group_rows(const double* s, std::size_t k, std::size_t t0, std::size_t t1,
                    std::size_t j1, double* c, std::size_t ldc, std::size_t m0, std::size_t m1) {
  nw_group_rows_kernel()(s, k, t0, t1, j1, c, ldc, m0, m1);
}

}  // namespace kestrel
