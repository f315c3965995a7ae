// Row-major product of small dense matrices (k x k sandwiches).
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace kestrel {

// C = A * B for row-major A (m x k) and B (k x n); returns m * n values.
// Every entry of C accumulates its k terms in ascending p, each added to the
// running value. m = 0 or k = 0 gives m * n zeros without reading a or b.
// a shorter than m * k or b shorter than k * n panics.
std::vector<double> matmul(std::span<const double> a, std::span<const double> b, std::size_t m,
                           std::size_t k, std::size_t n);

}  // namespace kestrel
