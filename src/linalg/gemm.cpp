#include "linalg/gemm.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "runtime/check.hpp"
#include "runtime/cpu_features.hpp"
#include "linalg/symmetric.hpp"

namespace kestrel {
namespace {

// Register tile of the micro-kernel: kMr rows of A against kNr columns of B.
constexpr std::size_t kMr = 4;
constexpr std::size_t kNr = 8;
static_assert(kNr % kMr == 0);
// Rows of A packed at once (kept in L2 together with one block of B).
constexpr std::size_t kMc = 128;
// Columns of B packed at once.
constexpr std::size_t kNc = 2048;

using v4d = double __attribute__((vector_size(32)));

// One kMr x kNr tile over kc inner indices: a holds kMr values per index
// (a_step apart), b kNr values per index. Each lane of each accumulator is
// one C entry summed in ascending inner index, so the result is the same
// whichever instruction set the caller compiled this for.
[[gnu::always_inline]] inline void micro_tile_body(std::size_t kc, const double* a,
                                                   std::size_t a_step, const double* b,
                                                   double* out) {
  v4d c00{}, c01{}, c10{}, c11{}, c20{}, c21{}, c30{}, c31{};
  for (std::size_t p = 0; p < kc; ++p) {
    v4d b0, b1;
    std::memcpy(&b0, b, sizeof b0);
    std::memcpy(&b1, b + 4, sizeof b1);
    v4d s = {a[0], a[0], a[0], a[0]};
    c00 += s * b0;
    c01 += s * b1;
    s = v4d{a[1], a[1], a[1], a[1]};
    c10 += s * b0;
    c11 += s * b1;
    s = v4d{a[2], a[2], a[2], a[2]};
    c20 += s * b0;
    c21 += s * b1;
    s = v4d{a[3], a[3], a[3], a[3]};
    c30 += s * b0;
    c31 += s * b1;
    a += a_step;
    b += kNr;
  }
  std::memcpy(out + 0, &c00, sizeof c00);
  std::memcpy(out + 4, &c01, sizeof c01);
  std::memcpy(out + 8, &c10, sizeof c10);
  std::memcpy(out + 12, &c11, sizeof c11);
  std::memcpy(out + 16, &c20, sizeof c20);
  std::memcpy(out + 20, &c21, sizeof c21);
  std::memcpy(out + 24, &c30, sizeof c30);
  std::memcpy(out + 28, &c31, sizeof c31);
}

using MicroTile = void (*)(std::size_t, const double*, std::size_t, const double*, double*);

void micro_tile_generic(std::size_t kc, const double* a, std::size_t a_step, const double* b,
                        double* out) {
  micro_tile_body(kc, a, a_step, b, out);
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
// AVX2 without FMA: the same additions and multiplications, four lanes wide.
[[gnu::target("avx2")]] void micro_tile_avx2(std::size_t kc, const double* a, std::size_t a_step,
                                             const double* b, double* out) {
  micro_tile_body(kc, a, a_step, b, out);
}
#endif

MicroTile pick_micro_tile() {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
  if (cpu_has_avx2()) return micro_tile_avx2;
#endif
  return micro_tile_generic;
}

inline double at(const StridedMatrix& m, std::size_t r, std::size_t c) { return m(r, c); }

inline double* at(const StridedMatrixMut& m, std::size_t r, std::size_t c) {
  return reinterpret_cast<double*>(m.data + static_cast<std::ptrdiff_t>(r) * m.row_stride +
                                   static_cast<std::ptrdiff_t>(c) * m.col_stride);
}

// Packs A[i0 .. i0+mc) x [p0 .. p0+kc) as row panels of kMr: panel q holds,
// for each inner index, kMr consecutive values (zero past the last row).
void pack_a(const StridedMatrix& a, std::size_t i0, std::size_t mc, std::size_t p0,
            std::size_t kc, double* dst) {
  for (std::size_t q = 0; q < mc; q += kMr) {
    const std::size_t rows = std::min(kMr, mc - q);
    for (std::size_t p = 0; p < kc; ++p) {
      for (std::size_t r = 0; r < rows; ++r) dst[r] = at(a, i0 + q + r, p0 + p);
      for (std::size_t r = rows; r < kMr; ++r) dst[r] = 0.0;
      dst += kMr;
    }
  }
}

// Packs B[p0 .. p0+kc) x [j0 .. j0+nc) as column panels of kNr: panel q holds,
// for each inner index, kNr consecutive values (zero past the last column).
// Rows of B are walked once each, in order, which suits a row-major B.
void pack_b(const StridedMatrix& b, std::size_t p0, std::size_t kc, std::size_t j0,
            std::size_t nc, double* dst) {
  const std::size_t panels = (nc + kNr - 1) / kNr;
  const bool unit = b.col_stride == static_cast<std::ptrdiff_t>(sizeof(double));
  for (std::size_t p = 0; p < kc; ++p) {
    const char* row = b.data + static_cast<std::ptrdiff_t>(p0 + p) * b.row_stride +
                      static_cast<std::ptrdiff_t>(j0) * b.col_stride;
    for (std::size_t q = 0; q < panels; ++q) {
      double* out = dst + (q * kc + p) * kNr;
      const std::size_t cols = std::min(kNr, nc - q * kNr);
      const char* src = row + static_cast<std::ptrdiff_t>(q * kNr) * b.col_stride;
      if (unit && cols == kNr) {
        std::memcpy(out, src, kNr * sizeof(double));
      } else {
        // A fixed-size clear then element copies: a variable-length memset
        // or memcpy per short row would cost more than the row itself.
        constexpr double zeros[kNr] = {};
        std::memcpy(out, zeros, sizeof zeros);
        for (std::size_t c = 0; c < cols; ++c)
          std::memcpy(out + c, src + static_cast<std::ptrdiff_t>(c) * b.col_stride,
                      sizeof(double));
      }
    }
  }
}

std::size_t round_up(std::size_t x, std::size_t to) { return (x + to - 1) / to * to; }

struct AlignedFree {
  void operator()(double* p) const { ::operator delete[](p, std::align_val_t{64}); }
};
using AlignedBuffer = std::unique_ptr<double[], AlignedFree>;

AlignedBuffer aligned_doubles(std::size_t count) {
  void* p = ::operator new[](checked_mul(count, sizeof(double)), std::align_val_t{64});
  return AlignedBuffer(static_cast<double*>(p));
}

bool in_part(GemmPart part, std::size_t i, std::size_t j) {
  return part == GemmPart::Full || j >= i;
}

}  // namespace

StridedMatrix transposed(StridedMatrix a) {
  return StridedMatrix{a.data, a.cols, a.rows, a.col_stride, a.row_stride};
}

void gemm(double alpha, StridedMatrix a, StridedMatrix b, double beta, StridedMatrixMut c,
          GemmPart part) {
  const std::size_t m = a.rows, inner = a.cols, n = b.cols;
  if (b.rows != inner || c.rows != m || c.cols != n)
    panic("gemm: operand shapes do not fit together");
  if (part == GemmPart::Upper && m != n) panic("gemm: an upper-triangle product must be square");

  if (beta != 1.0) {
    for (std::size_t i = 0; i < m; ++i)
      for (std::size_t j = 0; j < n; ++j) {
        if (!in_part(part, i, j)) continue;
        double* cij = at(c, i, j);
        *cij = beta == 0.0 ? 0.0 : beta * *cij;
      }
  }
  if (m == 0 || n == 0 || inner == 0 || alpha == 0.0) return;

  const MicroTile micro = pick_micro_tile();
  const std::size_t kc_max = std::min(kGemmBlock, inner);
  // For A = B' (a Gram matrix) whose columns fit one packed block of B, the
  // rows of A are already packed there: kMr divides kNr, so every row panel
  // of A is a slice of one column panel of B, read kNr apart.
  const bool a_in_bpack = a.data == b.data && a.row_stride == b.col_stride &&
                          a.col_stride == b.row_stride && m <= n && n <= kNc;
  AlignedBuffer apack =
      a_in_bpack ? AlignedBuffer()
                 : aligned_doubles(checked_mul(round_up(std::min(kMc, m), kMr), kc_max));
  AlignedBuffer bpack = aligned_doubles(checked_mul(round_up(std::min(kNc, n), kNr), kc_max));
  alignas(64) double tile[kMr * kNr];

  for (std::size_t jc = 0; jc < n; jc += kNc) {
    const std::size_t nc = std::min(kNc, n - jc);
    // The inner blocks run outermost within a column block so that every C
    // entry receives its block sums in ascending block order.
    for (std::size_t pc = 0; pc < inner; pc += kGemmBlock) {
      const std::size_t kc = std::min(kGemmBlock, inner - pc);
      pack_b(b, pc, kc, jc, nc, bpack.get());
      for (std::size_t ic = 0; ic < m; ic += kMc) {
        if (part == GemmPart::Upper && ic >= jc + nc) break;
        const std::size_t mc = std::min(kMc, m - ic);
        if (!a_in_bpack) pack_a(a, ic, mc, pc, kc, apack.get());
        for (std::size_t jr = 0; jr < nc; jr += kNr) {
          const double* bp = bpack.get() + jr * kc;
          const std::size_t j0 = jc + jr;
          const std::size_t cols = std::min(kNr, nc - jr);
          for (std::size_t ir = 0; ir < mc; ir += kMr) {
            const std::size_t i0 = ic + ir;
            // A tile wholly below the diagonal holds nothing of the upper part.
            if (part == GemmPart::Upper && i0 > j0 + cols - 1) break;
            if (a_in_bpack) {
              micro(kc, bpack.get() + (i0 / kNr) * kNr * kc + i0 % kNr, kNr, bp, tile);
            } else {
              micro(kc, apack.get() + ir * kc, kMr, bp, tile);
            }
            const std::size_t rows = std::min(kMr, mc - ir);
            for (std::size_t r = 0; r < rows; ++r)
              for (std::size_t cc = 0; cc < cols; ++cc) {
                if (!in_part(part, i0 + r, j0 + cc)) continue;
                *at(c, i0 + r, j0 + cc) += alpha * tile[r * kNr + cc];
              }
          }
        }
      }
    }
  }
}

namespace {

StridedMatrixMut square_view(std::span<double> c, std::size_t k) {
  const auto elem = static_cast<std::ptrdiff_t>(sizeof(double));
  return {reinterpret_cast<char*>(c.data()), k, k, static_cast<std::ptrdiff_t>(k) * elem, elem};
}

}  // namespace

void gemm_gram_add(StridedMatrix block, std::span<double> c) {
  const std::size_t k = block.cols;
  check_len(c.size(), checked_mul(k, k));
  gemm(1.0, transposed(block), block, 1.0, square_view(c, k), GemmPart::Upper);
}

std::vector<double> gemm_gram(StridedMatrix s) {
  const std::size_t k = s.cols;
  std::vector<double> out(checked_mul(k, k), 0.0);
  gemm(1.0, transposed(s), s, 0.0, square_view(out, k), GemmPart::Upper);
  symmetric_mirror_upper(out.data(), k);
  return out;
}

}  // namespace kestrel
