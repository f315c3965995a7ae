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

  // Column c as a contiguous run of nrows values; c >= ncols panics.
  std::span<double> col(std::size_t c);
  std::span<const double> col(std::size_t c) const;
};

}  // namespace kestrel
