#include "linalg/col_major_matrix.hpp"

#include "runtime/check.hpp"

namespace kestrel {

std::span<double> ColMajorMatrix::col(std::size_t c) {
  check_index(c, ncols);
  return std::span<double>(data).subspan(c * nrows, nrows);
}

std::span<const double> ColMajorMatrix::col(std::size_t c) const {
  check_index(c, ncols);
  return std::span<const double>(data).subspan(c * nrows, nrows);
}

}  // namespace kestrel
