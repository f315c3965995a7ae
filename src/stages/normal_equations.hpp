// The normal equations of y on X, the third stage of a least-squares fit:
// X'X (upper triangle accumulated row by row, then mirrored) and X'y in one
// pass over the rows, every entry summing its terms in row order. The
// coefficients come from the k x k solver, not from the inverse.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "linalg/symmetric.hpp"
#include "runtime/check.hpp"

namespace kestrel {

struct NormalEquations {
  std::vector<double> xtx;  // k x k, row-major
  std::vector<double> xty;  // k
};

// `row(i)` returns a pointer to the k values of row i; it may build them
// (into the design being assembled, or a gathered copy), so the one pass
// over the rows also serves that. y needs n entries.
template <class Row>
NormalEquations normal_equations(std::size_t n, std::size_t k, std::span<const double> y,
                                 Row&& row) {
  check_len(y.size(), n);
  NormalEquations ne{std::vector<double>(checked_mul(k, k), 0.0), std::vector<double>(k, 0.0)};
  for (std::size_t i = 0; i < n; ++i) {
    const double* xi = row(i);
    symmetric_add_outer_upper(ne.xtx.data(), xi, k);
    for (std::size_t a = 0; a < k; ++a) ne.xty[a] += xi[a] * y[i];
  }
  symmetric_mirror_upper(ne.xtx.data(), k);
  return ne;
}

// The rows of a row-major n x k block.
inline NormalEquations normal_equations(std::span<const double> x, std::span<const double> y,
                                        std::size_t n, std::size_t k) {
  check_len(x.size(), checked_mul(n, k));
  return normal_equations(n, k, y, [&](std::size_t i) { return x.data() + i * k; });
}

}  // namespace kestrel
