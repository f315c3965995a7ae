#include "fixed_effects/demean.hpp"

#include <string>

#include "check.hpp"
#include "fixed_effects/demean_cg.hpp"
#include "fixed_effects/projection.hpp"
#include "fixed_effects/work_buffer.hpp"

namespace kestrel {

void demean_in_place(ColMajorMatrix& m, std::span<const CodeSpan> codes,
                     std::span<const std::size_t> n_groups, std::uint64_t max_iter, double tol,
                     SingleFeForm single) {
  if (codes.empty()) return;
  if (codes.size() == 1) {
    check_index(0, n_groups.size());
    demean_cols(m, codes[0], n_groups[0], single == SingleFeForm::DemeanCol);
    return;
  }
  demean_cg_in_place(m, codes, n_groups, max_iter, tol);
}

std::vector<double> demean_matrix(StridedMatrix x, std::span<const CodeSpan> codes,
                                  std::span<const std::size_t> n_groups, double tol,
                                  std::uint64_t max_iter) {
  const std::size_t n = x.rows;
  const std::size_t k = x.cols;
  for (std::size_t q = 0; q < codes.size(); ++q) {
    if (codes[q].size() != n)
      panic("rust_demean: fe_codes_list[" + std::to_string(q) + "] has " +
            std::to_string(codes[q].size()) + " codes but x has " + std::to_string(n) + " rows");
  }
  // Read x row by row (its usual C order) into k contiguous columns.
  ColMajorMatrix m;
  m.nrows = n;
  m.ncols = k;
  const std::size_t total = checked_mul(n, k);
  m.data.reserve(total);
  work_buffer_advise(m.data.data(), total * sizeof(double));
  m.data.resize(total);
  for (std::size_t r = 0; r < n; ++r)
    for (std::size_t c = 0; c < k; ++c) m.data[c * n + r] = x(r, c);

  demean_in_place(m, codes, n_groups, max_iter, tol, SingleFeForm::Sequential);

  std::vector<double> out;
  out.reserve(total);
  work_buffer_advise(out.data(), total * sizeof(double));
  out.resize(total);
  for (std::size_t r = 0; r < n; ++r)
    for (std::size_t c = 0; c < k; ++c) out[r * k + c] = m.data[c * n + r];
  return out;
}

}  // namespace kestrel
