// k x k linear systems by LU factorisation with partial pivoting.
//
// A numerically singular matrix is data, not an error: the result is all NaN
// and the caller decides what that means.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace kestrel {

// Solves A x = b for row-major k x k `a`. Pivoting: in column j the logical
// row with the largest |entry| among j..k-1 is chosen, the earliest on ties;
// rows are permuted logically, never moved. A pivot whose magnitude is below
// the absolute threshold 1e-30 gives k quiet NaN. A NaN pivot does not stop
// the elimination, so NaN inputs propagate into x. k = 0 returns an empty
// buffer. a shorter than k * k or b shorter than k panics.
std::vector<double> solve_kxk(std::span<const double> a, std::span<const double> b,
                              std::size_t k);

// Inverse of row-major k x k `a`, row-major; column j is solve_kxk(a, e_j).
// A singular `a` gives k * k NaN. k = 0 returns an empty buffer.
std::vector<double> invert_kxk(std::span<const double> a, std::size_t k);

}  // namespace kestrel
