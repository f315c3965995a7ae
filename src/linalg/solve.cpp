#include "linalg/solve.hpp"

#include <cmath>
#include <limits>
#include <numeric>

#include "runtime/check.hpp"

namespace kestrel {
namespace {

constexpr double kPivotThreshold = 1e-30;

// Packed LU factors of a k x k matrix: multipliers below the diagonal and U on
// and above it, stored in the physical rows of the input; perm[i] is the
// physical row holding logical row i.
struct LuFactors {
  std::vector<double> lu;
  std::vector<std::size_t> perm;
  bool singular = false;
};

LuFactors lu_factor(std::span<const double> a, std::size_t k) {
  LuFactors f;
  f.lu.assign(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(k * k));
  f.perm.resize(k);
  std::iota(f.perm.begin(), f.perm.end(), std::size_t{0});
  double* l = f.lu.data();
  std::size_t* perm = f.perm.data();
  for (std::size_t j = 0; j < k; ++j) {
    // Strictly larger replaces the best, so ties keep the earliest row; a NaN
    // candidate never compares larger and never wins.
    std::size_t pivot = j;
    double best = std::fabs(l[perm[j] * k + j]);
    for (std::size_t i = j + 1; i < k; ++i) {
      const double v = std::fabs(l[perm[i] * k + j]);
      if (v > best) {
        best = v;
        pivot = i;
      }
    }
    std::swap(perm[j], perm[pivot]);
    const double* prow = l + perm[j] * k;
    const double p = prow[j];
    // Absolute threshold on purpose: callers rely on exactly this cut-off.
    if (std::fabs(p) < kPivotThreshold) {
      f.singular = true;
      return f;
    }
    if (j + 1 == k) break;
    for (std::size_t i = j + 1; i < k; ++i) {
      double* row = l + perm[i] * k;
      const double m = row[j] / p;
      row[j] = m;
      for (std::size_t c = j + 1; c < k; ++c) row[c] -= prow[c] * m;
    }
  }
  return f;
}

std::vector<double> lu_solve(const LuFactors& f, std::span<const double> b, std::size_t k) {
  if (f.singular) return std::vector<double>(k, std::numeric_limits<double>::quiet_NaN());
  const double* l = f.lu.data();
  const std::size_t* perm = f.perm.data();
  // Forward substitution with the unit lower triangle; b is read through the
  // permutation.
  std::vector<double> y(k);
  for (std::size_t i = 0; i < k; ++i) {
    const double* row = l + perm[i] * k;
    double s = b[perm[i]];
    for (std::size_t c = 0; c < i; ++c) s -= row[c] * y[c];
    y[i] = s;
  }
  std::vector<double> x(k);
  for (std::size_t i = k; i-- > 0;) {
    const double* row = l + perm[i] * k;
    double s = y[i];
    for (std::size_t c = i + 1; c < k; ++c) s -= row[c] * x[c];
    x[i] = s / row[i];
  }
  return x;
}

}  // namespace

std::vector<double> solve_kxk(std::span<const double> a, std::span<const double> b,
                              std::size_t k) {
  check_len(a.size(), checked_mul(k, k));
  check_len(b.size(), k);
  return lu_solve(lu_factor(a, k), b, k);
}

std::vector<double> invert_kxk(std::span<const double> a, std::size_t k) {
  const std::size_t kk = checked_mul(k, k);
  check_len(a.size(), kk);
  // The factorisation depends on `a` alone, so one factorisation reused for
  // every unit vector gives bit for bit what k separate solves would.
  const LuFactors f = lu_factor(a, k);
  std::vector<double> r(kk, 0.0);
  std::vector<double> e(k, 0.0);
  for (std::size_t j = 0; j < k; ++j) {
    e[j] = 1.0;
    const std::vector<double> x = lu_solve(f, e, k);
    e[j] = 0.0;
    for (std::size_t i = 0; i < k; ++i) r[i * k + j] = x[i];
  }
  return r;
}

}  // namespace kestrel
