// Symmetric k x k row-major matrices built from their upper triangle: the
// triangle (with the diagonal) is accumulated, then copied below, so the
// result is exactly symmetric at half the products.
#pragma once

#include <cstddef>

namespace kestrel {

// m[a][b] += v[a] * v[b] for b >= a.
inline void symmetric_add_outer_upper(double* m, const double* v, std::size_t k) {
  for (std::size_t a = 0; a < k; ++a) {
    double* row = m + a * k;
    const double va = v[a];
    for (std::size_t b = a; b < k; ++b) row[b] += va * v[b];
  }
}

// m[r][c] := m[c][r] for r > c.
inline void symmetric_mirror_upper(double* m, std::size_t k) {
  for (std::size_t r = 1; r < k; ++r)
    for (std::size_t c = 0; c < r; ++c) m[r * k + c] = m[c * k + r];
}

}  // namespace kestrel
