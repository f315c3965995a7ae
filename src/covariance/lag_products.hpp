// The lag products of the Newey-West sum: for a group of consecutive lags
// j0..j1, C[a][(j1-j)k + b] += sum over t of s[t][a] s[t-j][b], register tiles
// accumulating over t in ascending order so that each entry is the plain
// sequential sum. A baseline and an AVX2 clone do the same arithmetic (no
// fused multiply-add); the processor picks which runs.
#pragma once

#include <cstddef>

namespace kestrel {

// Adds rows t0..t1-1 (t0 >= j1) of the row-major n x k scores s to the
// columns m0..m1-1 of C (k rows, row stride ldc = (j1-j0+1)k), m0 a multiple
// of four.
void lag_group_rows(const double* s, std::size_t k, std::size_t t0, std::size_t t1,
                    std::size_t j1, double* c, std::size_t ldc, std::size_t m0, std::size_t m1);

}  // namespace kestrel
