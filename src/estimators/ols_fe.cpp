#include "estimators/ols_fe.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

#include "runtime/check.hpp"
#include "covariance/cluster.hpp"
#include "covariance/sandwich.hpp"
#include "estimators/residuals.hpp"
#include "fixed_effects/absorbed_dof.hpp"
#include "fixed_effects/demean.hpp"
#include "codes/group_codes.hpp"
#include "fixed_effects/singletons.hpp"
#include "linalg/col_major_matrix.hpp"
#include "linalg/solve.hpp"
#include "linalg/symmetric.hpp"

namespace kestrel {
namespace {

// Python-side names of the arguments, for the messages of the length checks.
struct ArgNames {
  const char* y;
  const char* fe;
  const char* cl;
};

// How the covariance is chosen when there are no cluster columns.
struct PlainVcov {
  std::string_view type;   // "iid", or a sandwich name passed on unchanged
  bool iid_less_absorbed;  // classical divisor (n - k) - absorbed instead of n - k
};

constexpr std::string_view kUnsupportedVcov =
    "internal error: entered unreachable code: sandwich_vcov called with unsupported type: ";

// Code columns must describe the rows of the data exactly: a longer column
// would make group counts include rows that do not exist, a shorter one would
// be read past its end.
void check_code_lengths(std::span<const CodeSpan> columns, std::size_t rows, const char* arg,
                        const ArgNames& names) {
  for (std::size_t q = 0; q < columns.size(); ++q) {
    if (columns[q].size() == rows) continue;
    panic(std::string(arg) + "[" + std::to_string(q) + "] has " +
          std::to_string(columns[q].size()) + " codes but " + names.y + " has " +
          std::to_string(rows) + " rows");
  }
}

void check_inputs(std::span<const CodeSpan> fe, std::span<const CodeSpan> cl, std::size_t rows,
                  const ArgNames& names) {
  check_code_lengths(fe, rows, names.fe, names);
  check_code_lengths(cl, rows, names.cl, names);
}

// sigma^2 * B. The divisor is formed in floating point; a design with at
// least as many regressors as rows has no residual degrees of freedom, so its
// variance is NaN rather than RSS over a count that wrapped around.
std::vector<double> classical_vcov(std::span<const double> bread, double rss, std::size_t n,
                                   std::size_t k, std::size_t absorbed, bool less_absorbed) {
  double divisor = static_cast<double>(n) - static_cast<double>(k);
  if (less_absorbed) divisor -= static_cast<double>(absorbed);
  const double sigma2 =
      k >= n ? std::numeric_limits<double>::quiet_NaN() : rss / divisor;
  std::vector<double> v(bread.size());
  for (std::size_t t = 0; t < bread.size(); ++t) v[t] = bread[t] * sigma2;
  return v;
}

// The shared pipeline over private copies of y (n0) and row-major X (n0 x k).
OlsFeResult fit(std::vector<double> y, std::vector<double> x, std::size_t k,
                std::span<const CodeSpan> fe_in, std::span<const CodeSpan> cl_in, double tol,
                std::uint64_t max_iter, PlainVcov plain) {
  const std::size_t n0 = y.size();
  const std::size_t n_fe = fe_in.size();
  OlsFeResult out;

  // Singletons: rows alone in a group of some fixed effect leave y, X and
  // every code column alike; only the fixed-effect copies are renumbered.
  UsedCodes fe = codes_as_passed(fe_in);
  UsedCodes cl = codes_as_passed(cl_in);
  std::size_t n = n0;
  if (n_fe >= 1) {
    const std::vector<std::uint8_t> mask = drop_singletons_mask(fe_in);
    check_len(mask.size(), n0);
    const auto kept = static_cast<std::size_t>(
        std::count_if(mask.begin(), mask.end(), [](std::uint8_t m) { return m != 0; }));
    if (kept < n0) {
      std::size_t w = 0;
      for (std::size_t i = 0; i < n0; ++i) {
        if (mask[i] == 0) continue;
        y[w] = y[i];
        if (k != 0) std::memmove(&x[w * k], &x[i * k], k * sizeof(double));
        ++w;
      }
      y.resize(kept);
      x.resize(kept * k);
      fe = codes_of_kept_rows(fe_in, mask, kept, /*renumber=*/true);
      cl = codes_of_kept_rows(cl_in, mask, kept, /*renumber=*/false);
      out.removed = n0 - kept;
      n = kept;
    }
  }

  // Group counts: every fixed effect's G is its largest code plus one.
  std::vector<std::size_t> n_groups(n_fe);
  for (std::size_t q = 0; q < n_fe; ++q) n_groups[q] = n_groups_of(fe.spans[q]);

  // Absorption on the stack [y | X]: one fixed effect is removed exactly by
  // one projection per column; several are removed from the whole stack
  // jointly, so its composition (y first) decides when the iteration stops.
  if (n_fe >= 1) {
    ColMajorMatrix m;
    m.nrows = n;
    m.ncols = checked_add(k, 1);
    m.data.resize(checked_mul(n, m.ncols));
    std::copy(y.begin(), y.end(), m.data.begin());
    for (std::size_t j = 0; j < k; ++j) {
      double* col = m.data.data() + (j + 1) * n;
      for (std::size_t i = 0; i < n; ++i) col[i] = x[i * k + j];
    }
    demean_in_place(m, fe.spans, n_groups, max_iter, tol, SingleFeForm::DemeanCol);
    std::copy(m.data.begin(), m.data.begin() + static_cast<std::ptrdiff_t>(n), y.begin());
    for (std::size_t j = 0; j < k; ++j) {
      const double* col = m.data.data() + (j + 1) * n;
      for (std::size_t i = 0; i < n; ++i) x[i * k + j] = col[i];
    }
  }

  // Normal equations: X'X (upper triangle, then mirrored) and X'y in one pass
  // over the rows; the coefficients come from the solver, not the inverse.
  std::vector<double> xtx(checked_mul(k, k), 0.0);
  std::vector<double> xty(k, 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    const double* row = x.data() + i * k;
    symmetric_add_outer_upper(xtx.data(), row, k);
    for (std::size_t a = 0; a < k; ++a) xty[a] += row[a] * y[i];
  }
  symmetric_mirror_upper(xtx.data(), k);
  out.beta = solve_kxk(xtx, xty, k);

  // Residuals and sums of squares of the demeaned model.
  out.resid.resize(n);
  const auto [rss, tss] = residuals_and_sums(x, y, out.beta, n, k, out.resid);

  // Absorbed degrees of freedom and the bread.
  out.absorbed = n_fe >= 1 ? absorbed_dof_internal(fe.spans) : 0;
  const std::vector<double> bread = invert_kxk(xtx, k);

  // Covariance.
  if (cl.spans.empty()) {
    if (plain.type == "iid")
      out.vcov = classical_vcov(bread, rss, n, k, out.absorbed, plain.iid_less_absorbed);
    else
      out.vcov = sandwich_vcov(x, out.resid, bread, n, k, plain.type, out.absorbed);
  } else {
    // A fixed effect nested in some cluster column costs the clusters no
    // degrees of freedom; any other adds its largest code.
    std::size_t k_nest = 0;
    for (const CodeSpan f : fe.spans) {
      bool nested = false;
      for (const CodeSpan c : cl.spans)
        if (is_nested(f, c)) {
          nested = true;
          break;
        }
      if (nested) continue;
      std::int32_t largest = 0;
      if (!f.empty()) largest = *std::max_element(f.begin(), f.end());
      k_nest += static_cast<std::size_t>(std::max<std::int32_t>(largest, 0));
    }
    std::vector<Recoded> dims;
    dims.reserve(cl.spans.size());
    for (const CodeSpan c : cl.spans) {
      dims.push_back(recode_vec(c));
      out.cluster_groups.push_back(dims.back().n_groups);
    }
    const ClusterScaling mode = n_fe >= 1 ? ClusterScaling::Common : ClusterScaling::PerCombination;
    out.vcov = multiway_cluster_vcov(x, n, k, out.resid, bread, dims, mode, k_nest);
  }

  // Fit statistics.
  out.r2 = tss > 0.0 ? 1.0 - rss / tss : 0.0;
  const double df =
      (static_cast<double>(n) - static_cast<double>(k)) - static_cast<double>(out.absorbed);
  out.adj_r2 = df > 0.0 ? 1.0 - ((static_cast<double>(n) - 1.0) * (1.0 - out.r2)) / df : 0.0;
  out.n = n;
  return out;
}

}  // namespace

OlsFeResult ols_fe_matrix(std::span<const double> y, StridedMatrix x,
                          std::span<const CodeSpan> fe_codes, std::span<const CodeSpan> cl_codes,
                          double tol, std::uint64_t max_iter) {
  // Lengths: x, y and every code column describe the same rows.
  const ArgNames names{"y", "fe_codes_list", "cluster_codes_list"};
  if (x.rows != y.size())
    panic("x has " + std::to_string(x.rows) + " rows but y has " + std::to_string(y.size()) +
          " rows");
  check_inputs(fe_codes, cl_codes, y.size(), names);

  // Copies: y, and X in logical row-major order whatever its strides.
  std::vector<double> ys(y.begin(), y.end());
  const std::size_t k = x.cols;
  std::vector<double> xs(checked_mul(x.rows, k));
  if (x.c_contiguous()) {
    if (!xs.empty()) std::memcpy(xs.data(), x.data, xs.size() * sizeof(double));
  } else {
    for (std::size_t i = 0; i < x.rows; ++i)
      for (std::size_t j = 0; j < k; ++j) xs[i * k + j] = x(i, j);
  }
  return fit(std::move(ys), std::move(xs), k, fe_codes, cl_codes, tol, max_iter,
             PlainVcov{"iid", false});
}

OlsFeResult ols_fe_columns(std::span<const double> y, std::span<const std::span<const double>> x_cols,
                           std::span<const CodeSpan> fe_codes, std::span<const CodeSpan> cl_codes,
                           double tol, std::uint64_t max_iter, std::string_view vcov_type) {
  const std::size_t n0 = y.size();
  const std::size_t k = x_cols.size();

  // Lengths: regressor columns may be longer than y (the rest is ignored);
  // a shorter one fails at its first missing value.
  for (const auto& col : x_cols)
    if (col.size() < n0) panic_index(col.size(), col.size());
  check_inputs(fe_codes, cl_codes, n0, ArgNames{"y_col", "fe_cols", "cl_cols"});

  // Covariance name: without clusters only "iid" and the sandwich names are
  // served; refuse any other before the expensive work, with the sandwich's
  // own message.
  if (cl_codes.empty() && vcov_type != "iid" && vcov_type != "HC0" && vcov_type != "HC1" &&
      vcov_type != "HC2" && vcov_type != "HC3")
    panic(std::string(kUnsupportedVcov) + std::string(vcov_type));

  // Copies: y, and X assembled row by row from the columns.
  std::vector<double> ys(y.begin(), y.end());
  std::vector<double> xs(checked_mul(n0, k));
  for (std::size_t j = 0; j < k; ++j) {
    const double* col = x_cols[j].data();
    for (std::size_t i = 0; i < n0; ++i) xs[i * k + j] = col[i];
  }
  return fit(std::move(ys), std::move(xs), k, fe_codes, cl_codes, tol, max_iter,
             PlainVcov{vcov_type, true});
}

}  // namespace kestrel
