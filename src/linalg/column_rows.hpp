// Rows of a matrix kept as separate contiguous columns (for example some
// columns of a column-major stack), read one row at a time: the row-wise
// kernels take it where they take the rows of a row-major block, with the
// same arithmetic per entry.
#pragma once

#include <cstddef>
#include <vector>

namespace kestrel {

class ColumnRows {
 public:
  ColumnRows(std::vector<const double*> columns) : columns_(std::move(columns)),
                                                   row_(columns_.size()) {}
  std::size_t cols() const { return columns_.size(); }
  // Row i gathered; valid until the next call.
  const double* operator()(std::size_t i) {
    for (std::size_t a = 0; a < columns_.size(); ++a) row_[a] = columns_[a][i];
    return row_.data();
  }

 private:
  std::vector<const double*> columns_;
  std::vector<double> row_;
};

}  // namespace kestrel
