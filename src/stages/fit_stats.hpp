// Fit statistics of a least-squares fit.
#pragma once

#include <cstddef>

namespace kestrel {

struct FitStats {
  double r2 = 0.0;
  double adj_r2 = 0.0;
};

// R^2 = 1 - RSS/TSS (0 when TSS is not positive); adjusted R^2 on
// df = (n - k) - absorbed residual degrees of freedom, formed in floating
// point (0 when df is not positive, so no count wraps around).
inline FitStats fit_stats(double rss, double tss, std::size_t n, std::size_t k,
                          std::size_t absorbed) {
  FitStats s;
  s.r2 = tss > 0.0 ? 1.0 - rss / tss : 0.0;
  const double nf = static_cast<double>(n);
  const double df = (nf - static_cast<double>(k)) - static_cast<double>(absorbed);
  s.adj_r2 = df > 0.0 ? 1.0 - ((nf - 1.0) * (1.0 - s.r2)) / df : 0.0;
  return s;
}

}  // namespace kestrel
