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

}  // namespace

std::vector<double> sandwich_vcov(std::span<const double> x, std::span<const double> resid,
                                  std::span<const double> bread, std::size_t n, std::size_t k,
                                  std::string_view vcov_type, std::size_t extra_df) {
  const HcType type = parse_hc_type(vcov_type);
  const std::size_t kk = checked_mul(k, k);
  check_len(x.size(), checked_mul(n, k));
  check_len(resid.size(), n);
  check_len(bread.size(), kk);

  const int power = type == HcType::HC2 ? 1 : type == HcType::HC3 ? 2 : 0;
  const std::vector<double> meat = sandwich_meat(
      n, k, resid, bread, power, [&](std::size_t i) { return x.data() + i * k; });

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
