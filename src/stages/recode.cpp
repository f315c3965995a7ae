#include "stages/recode.hpp"

#include <bit>
#include <cmath>
#include <span>
#include <vector>

namespace kestrel {

namespace {

template <class T>
Recoded recode_integers(StridedVector<T> values) {
  std::vector<std::int64_t> keys;
  keys.reserve(values.len);
  for (std::size_t i = 0; i < values.len; ++i) keys.push_back(values[i]);
  return recode_i64(std::span<const std::int64_t>(keys));
}

}  // namespace

Recoded recode_values(StridedVector<std::int64_t> values) { return recode_integers(values); }

Recoded recode_values(StridedVector<std::int32_t> values) { return recode_integers(values); }

Recoded recode_values(StridedVector<double> values) {
  const std::size_t n = values.len;
  std::vector<std::int64_t> keys;
  keys.reserve(n);
  std::vector<std::uint8_t> missing(n, 0);
  for (std::size_t i = 0; i < n; ++i) {
    const double x = values[i];
    missing[i] = std::isnan(x) ? 1 : 0;
    if (missing[i] == 0) keys.push_back(std::bit_cast<std::int64_t>(x == 0.0 ? 0.0 : x));
  }
  Recoded present = recode_i64(std::span<const std::int64_t>(keys));
  Recoded out;
  out.n_groups = present.n_groups;
  out.codes.resize(n);
  for (std::size_t i = 0, j = 0; i < n; ++i)
    out.codes[i] = missing[i] != 0 ? -1 : present.codes[j++];
  return out;
}

}  // namespace kestrel
