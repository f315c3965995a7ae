#include "covariance/sandwich.hpp"

#include <string>

#include "runtime/check.hpp"
#include "linalg/matmul.hpp"
#include "linalg/symmetric.hpp"

namespace kestrel {
namespace {

enum class HcType { HC0, HC1, HC2, HC3 };

HcType parse_hc_type(std::string_view name) {
  if (name.size() == 3) {
    if (name == "HC0") return HcType::HC0;
    if (name == "HC1") return HcType::HC1;
    if (name == "HC2") return HcType::HC2;
    if (name == "HC3") return HcType::HC3;
  }
  panic("internal error: entered unreachable code: sandwich_vcov called with unsupported type: " +
        std::string(name));
}

// h_i = x_i' B x_i as one running sum over (a outer, b inner).
double leverage(const double* xi, const double* bread, std::size_t k) {
  double h = 0.0;
  for (std::size_t a = 0; a < k; ++a) {
    const double* brow = bread + a * k;
    for (std::size_t b = 0; b < k; ++b) h += (xi[a] * brow[b]) * xi[b];
  }
  return h;
}

}  // namespace

std::vector<double> sandwich_vcov(std::span<const double> x, std::span<const double> resid,
                                  std::span<const double> bread, std::size_t n, std::size_t k,
                                  std::string_view vcov_type, std::size_t extra_df) {
  const HcType type = parse_hc_type(vcov_type);
  const std::size_t kk = checked_mul(k, k);
  check_len(x.size(), checked_mul(n, k));
  check_len(resid.size(), n);
  check_len(bread.size(), kk);

  // Meat: upper triangle accumulated row by row (the weight multiplies each
  // product), then mirrored.
  std::vector<double> meat(kk, 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    const double* xi = x.data() + i * k;
    const double e2 = resid[i] * resid[i];
    double w = e2;
    if (type == HcType::HC2 || type == HcType::HC3) {
      const double d = 1.0 - leverage(xi, bread.data(), k);
      w = type == HcType::HC2 ? e2 / d : e2 / (d * d);
    }
    for (std::size_t a = 0; a < k; ++a) {
      double* mrow = meat.data() + a * k;
      const double xa = xi[a];
      for (std::size_t b = a; b < k; ++b) mrow[b] += (xa * xi[b]) * w;
    }
  }
  symmetric_mirror_upper(meat.data(), k);

  std::vector<double> v = matmul(matmul(bread, meat, k, k, k), bread, k, k, k);
  if (type == HcType::HC1 && !v.empty()) {
    const double nf = static_cast<double>(n);
    const double scale =
        nf / ((nf - static_cast<double>(k)) - static_cast<double>(extra_df));
    for (double& entry : v) entry *= scale;
  }
  return v;
}

}  // namespace kestrel
