// Column-major dense matrix, the form in which several data columns are
// transformed one whole column at a time (fixed-effect demeaning works on
// columns, so each column is one contiguous run).
//
// Element (r, c) lives at data[c * nrows + r].
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace kestrel {

struct ColMajorMatrix {
  std::vector<double> data;
  std::size_t nrows = 0;
  std::size_t ncols = 0;

  // Copies a row-major nrows x ncols buffer (element (r, c) at r * ncols + c).
  // Entries past nrows * ncols are ignored; a shorter buffer panics. Either
  // dimension 0 gives an empty matrix.
  static ColMajorMatrix from_row_major_flat(std::span<const double> data, std::size_t nrows,
                                            std::size_t ncols);

  // Column c as a contiguous run of nrows values; c >= ncols panics.
  std::span<double> col(std::size_t c);
  std::span<const double> col(std::size_t c) const;
};

}  // namespace kestrel
