#include "linalg/matmul.hpp"

#include "runtime/check.hpp"

namespace kestrel {

std::vector<double> matmul(std::span<const double> a, std::span<const double> b, std::size_t m,
                           std::size_t k, std::size_t n) {
  std::vector<double> c(checked_mul(m, n), 0.0);
  if (m == 0 || k == 0) return c;
  check_len(a.size(), checked_mul(m, k));
  check_len(b.size(), checked_mul(k, n));
  // i-p-j order: the innermost loop runs over contiguous rows of B and C and
  // vectorises, while each C entry still sums its terms in ascending p.
  for (std::size_t i = 0; i < m; ++i) {
    double* ci = c.data() + i * n;
    for (std::size_t p = 0; p < k; ++p) {
      const double s = a[i * k + p];
      const double* bp = b.data() + p * n;
      for (std::size_t j = 0; j < n; ++j) ci[j] += s * bp[j];
    }
  }
  return c;
}

}  // namespace kestrel
