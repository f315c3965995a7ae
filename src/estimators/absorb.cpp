#include "estimators/absorb.hpp"

#include <algorithm>
#include <vector>

#include "runtime/check.hpp"

namespace kestrel {

StackSource StackSource::of(std::span<const double> column) {
  return {{reinterpret_cast<const char*>(column.data()), column.size(),
           static_cast<std::ptrdiff_t>(sizeof(double))},
          false};
}

std::vector<StackSource> sources_of(StridedMatrix x) {
  std::vector<StackSource> sources;
  sources.reserve(x.cols);
  for (std::size_t j = 0; j < x.cols; ++j)
    sources.push_back(StackSource::of(StridedVector<double>{
        x.data + static_cast<std::ptrdiff_t>(j) * x.col_stride, x.rows, x.row_stride}));
  return sources;
}

void fill_stack(std::span<double> stack, std::size_t n, std::span<const StackSource> sources,
                std::span<const std::uint8_t> mask) {
  const std::size_t m = sources.size();
  check_len(stack.size(), checked_mul(n, m));
  for (const StackSource& s : sources)
    if (!s.ones) check_len(s.values.len, mask.empty() ? n : mask.size());
  // Contiguous columns are copied one at a time; anything else (a C-ordered
  // matrix above all) row by row, so each source row is read once.
  const bool columns_contiguous = std::all_of(sources.begin(), sources.end(), [](const auto& s) {
    return s.ones || s.values.stride == static_cast<std::ptrdiff_t>(sizeof(double));
  });
  if (columns_contiguous || m == 1) {
    for (std::size_t j = 0; j < m; ++j) {
      double* dst = stack.data() + j * n;
      const StackSource& src = sources[j];
      if (src.ones) {
        std::fill(dst, dst + n, 1.0);
      } else if (mask.empty()) {
        for (std::size_t r = 0; r < n; ++r) dst[r] = src.values[r];
      } else {
        std::size_t w = 0;
        for (std::size_t i = 0; i < mask.size(); ++i)
          if (mask[i] != 0) dst[w++] = src.values[i];
      }
    }
    return;
  }
  std::size_t w = 0;
  const std::size_t rows = mask.empty() ? n : mask.size();
  for (std::size_t i = 0; i < rows; ++i) {
    if (!mask.empty() && mask[i] == 0) continue;
    for (std::size_t j = 0; j < m; ++j) stack[j * n + w] = sources[j][i];
    ++w;
  }
}

void unstack_rows(std::span<const double> stack, std::size_t n, std::size_t first,
                  std::size_t count, std::span<double> dst, std::size_t ld, std::size_t at) {
  check_len(stack.size(), checked_mul(n, checked_add(first, count)));
  if (n > 0 && count > 0) check_len(dst.size(), checked_add(checked_mul(n - 1, ld), at + count));
  for (std::size_t j = 0; j < count; ++j) {
    const double* col = stack.data() + (first + j) * n;
    for (std::size_t r = 0; r < n; ++r) dst[r * ld + at + j] = col[r];
  }
}

std::vector<double> centred_sums_of_squares(std::span<const double> stack, std::size_t n,
                                            std::size_t m) {
  check_len(stack.size(), checked_mul(n, m));
  std::vector<double> out(m, 0.0);
  for (std::size_t j = 0; j < m; ++j) {
    const double* col = stack.data() + j * n;
    double sum = 0.0;
    for (std::size_t r = 0; r < n; ++r) sum += col[r];
    const double mean = n > 0 ? sum / static_cast<double>(n) : 0.0;
    double ss = 0.0;
    double raw = 0.0;
    for (std::size_t r = 0; r < n; ++r) {
      ss += (col[r] - mean) * (col[r] - mean);
      raw += col[r] * col[r];
    }
    // Deviations below 1e-10 of the level are rounding of a constant (its
    // mean is rarely exact): the column is constant.
    out[j] = ss <= 1e-20 * raw ? 0.0 : ss;
  }
  return out;
}

}  // namespace kestrel
