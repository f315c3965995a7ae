#include "linalg/col_major_matrix.hpp"

#include "check.hpp"

namespace kestrel {

ColMajorMatrix ColMajorMatrix::from_row_major_flat(std::span<const double> data,
                                                   std::size_t nrows, std::size_t ncols) {
  const std::size_t total = checked_mul(nrows, ncols);
  check_len(data.size(), total);
  ColMajorMatrix m;
  m.data.resize(total);
  m.nrows = nrows;
  m.ncols = ncols;
  // Column by column so each destination column is written sequentially.
  for (std::size_t c = 0; c < ncols; ++c) {
    double* dst = m.data.data() + c * nrows;
    for (std::size_t r = 0; r < nrows; ++r) dst[r] = data[r * ncols + c];
  }
  return m;
}

std::span<double> ColMajorMatrix::col(std::size_t c) {
  check_index(c, ncols);
  return std::span<double>(data).subspan(c * nrows, nrows);
}

std::span<const double> ColMajorMatrix::col(std::size_t c) const {
  check_index(c, ncols);
  return std::span<const double>(data).subspan(c * nrows, nrows);
}

}  // namespace kestrel
