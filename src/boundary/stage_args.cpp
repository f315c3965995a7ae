#include "boundary/stage_args.hpp"

#include <cmath>
#include <string>

#include "boundary/frame.hpp"
#include "runtime/check.hpp"

namespace kestrel::boundary {

OwnedCodes owned_codes(std::vector<I32Vector>& views) {
  OwnedCodes out;
  for (const CodeSpan c : contiguous_all(views)) out.columns.push_back(owned(c));
  for (const auto& c : out.columns) out.spans.emplace_back(c);
  return out;
}

std::vector<ArrayResult<std::int32_t>> code_results(UsedCodes&& used) {
  std::vector<ArrayResult<std::int32_t>> out;
  out.reserve(used.spans.size());
  for (std::size_t c = 0; c < used.spans.size(); ++c) {
    std::vector<std::int32_t> codes = c < used.owned.size()
                                          ? std::move(used.owned[c])
                                          : std::vector<std::int32_t>(used.spans[c].begin(),
                                                                      used.spans[c].end());
    out.push_back(vector_result(std::move(codes)));
  }
  return out;
}

std::vector<std::uint64_t> counts_of(const std::vector<std::size_t>& v) {
  return {v.begin(), v.end()};
}

ColumnStack column_major(F64Matrix& data) {
  const StridedMatrix m = data.strided();
  const auto elem = static_cast<std::ptrdiff_t>(sizeof(double));
  const bool fortran = (m.rows <= 1 || m.row_stride == elem) &&
                       (m.cols <= 1 || m.col_stride == static_cast<std::ptrdiff_t>(m.rows) * elem);
  if (!fortran || reinterpret_cast<std::uintptr_t>(m.data) % alignof(double) != 0)
    throw ValueFailure("data must be an aligned, Fortran-ordered (column-major) float64 array");
  return {{reinterpret_cast<const double*>(m.data), checked_mul(m.rows, m.cols)}, m.rows, m.cols};
}

std::vector<std::size_t> indices_of(const std::vector<std::uint64_t>& v) {
  return {v.begin(), v.end()};
}

std::span<const double> resid_of(F64Vector& view, std::size_t n) {
  const std::span<const double> resid = view.contiguous();
  if (resid.size() != n) throw ValueFailure("resid needs one value per row");
  return resid;
}

std::vector<std::int32_t> serial_codes(I32Vector& view, std::size_t n,
                                       const char* what) {
  std::vector<std::int32_t> codes = owned(view.contiguous());
  if (codes.size() != n)
    throw ValueFailure(std::string(what) + " needs one code per row");
  for (const std::int32_t c : codes)
    if (c < 0) throw ValueFailure(std::string(what) + " codes must be non-negative");
  return codes;
}

std::vector<double> used_weights(OwnedRef& weights, const std::vector<std::uint8_t>& mask,
                                 std::size_t n) {
  F64Vector view;
  convert_param(weights.get(), "weights", view);
  const StridedVector<double> w = view.strided();
  if (w.len != mask.size())
    throw ValueFailure("weights has " + std::to_string(w.len) + " values but the columns have " +
                       std::to_string(mask.size()) + " rows");
  std::vector<double> out;
  out.reserve(n);
  for (std::size_t i = 0; i < mask.size(); ++i) {
    if (mask[i] == 0) continue;
    const double v = w[i];
    if (!std::isfinite(v) || !(v > 0.0))
      throw ValueFailure("weights must be finite and positive on the rows used (row " +
                         std::to_string(i) + " has " + std::to_string(v) + ")");
    out.push_back(v);
  }
  return out;
}

std::vector<std::vector<double>> start_coefficients(OwnedRef& start, std::size_t columns,
                                                    std::size_t size) {
  std::vector<F64Vector> views;
  convert_param(start.get(), "start", views);
  if (views.size() != columns)
    throw ValueFailure("start has " + std::to_string(views.size()) + " vectors but there are " +
                       std::to_string(columns) + " columns");
  std::vector<std::vector<double>> out;
  for (F64Vector& v : views) {
    const StridedVector<double> a = v.strided();
    if (a.len != size)
      throw ValueFailure("a start vector has " + std::to_string(a.len) +
                         " values but the fixed effects have " + std::to_string(size) +
                         " groups");
    std::vector<double>& each = out.emplace_back(a.len);
    for (std::size_t g = 0; g < a.len; ++g) {
      each[g] = a[g];
      if (!std::isfinite(each[g])) throw ValueFailure("start values must be finite");
    }
  }
  return out;
}

}  // namespace kestrel::boundary
