#include "estimators/residuals.hpp"

namespace kestrel {

SumsOfSquares residuals_and_sums(std::span<const double> x, std::span<const double> y,
                                 std::span<const double> beta, std::size_t n, std::size_t k,
                                 std::span<double> resid) {
  SumsOfSquares s;
  double sum_y = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double* row = x.data() + i * k;
    double fitted = 0.0;
    for (std::size_t a = 0; a < k; ++a) fitted += row[a] * beta[a];
    const double e = y[i] - fitted;
    resid[i] = e;
    s.rss += e * e;
    sum_y += y[i];
  }
  const double mean_y = sum_y / static_cast<double>(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double d = y[i] - mean_y;
    s.tss += d * d;
  }
  return s;
}

}  // namespace kestrel
