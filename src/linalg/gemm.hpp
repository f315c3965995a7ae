// General matrix multiply on strided views (the dgemm contract), blocked for
// the caches. The engine uses it for one product only: the score
// cross-product S'S of the cluster meat, whose inner dimension (the number of
// groups) can run into the millions.
//
// Summation order, fixed so that results do not depend on the processor: the
// inner dimension is cut into consecutive blocks of kGemmBlock indices from
// 0; each block's terms are summed in ascending order into a fresh
// accumulator, and the blocks' sums are added to C one after the other. Wider
// vector units only change how many C entries are worked on at once, never
// the arithmetic of one entry, and no multiply is fused with an add.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "linalg/strided.hpp"

namespace kestrel {

inline constexpr std::size_t kGemmBlock = 256;

// Writable counterpart of StridedMatrix (byte strides, any layout).
struct StridedMatrixMut {
  char* data = nullptr;
  std::size_t rows = 0;
  std::size_t cols = 0;
  std::ptrdiff_t row_stride = 0;
  std::ptrdiff_t col_stride = 0;
};

// The same memory seen as the transposed matrix (op(A) = A').
StridedMatrix transposed(StridedMatrix a);

// Which entries of C a product updates: all, or those on and above the
// diagonal (for products known to be symmetric; C must then be square).
enum class GemmPart { Full, Upper };

// C := alpha * A * B + beta * C for A (m x p), B (p x n), C (m x n). With
// beta = 0 C is overwritten (its old NaNs do not survive), as in BLAS. Shapes
// that do not fit together panic. C must not overlap A or B.
void gemm(double alpha, StridedMatrix a, StridedMatrix b, double beta, StridedMatrixMut c,
          GemmPart part = GemmPart::Full);

// S'S for S (n x k) as a row-major k x k buffer: the upper triangle by gemm,
// the lower one copied from it, so the result is exactly symmetric.
std::vector<double> gemm_gram(StridedMatrix s);

// Adds the upper triangle (with the diagonal) of B'B to the row-major k x k
// buffer c, B being the next block of rows of a taller S. Feeding S in
// consecutive blocks of kGemmBlock rows (the last may be shorter) and
// mirroring at the end gives exactly gemm_gram(S), without S ever existing
// as a whole. c shorter than k * k panics.
void gemm_gram_add(StridedMatrix block, std::span<double> c);

}  // namespace kestrel
