#include "covariance/cluster.hpp"

#include <algorithm>
#include <cstring>

#include "check.hpp"
#include "linalg/gemm.hpp"
#include "linalg/matmul.hpp"

namespace kestrel {
namespace {

void combinations_into(std::size_t n, std::size_t depth, std::size_t lowest,
                       std::vector<std::size_t>& work,
                       std::vector<std::vector<std::size_t>>& out) {
  if (depth == work.size()) {
    out.push_back(work);
    return;
  }
  for (std::size_t v = lowest; v < n; ++v) {
    work[depth] = v;
    combinations_into(n, depth + 1, v + 1, work, out);
  }
}

// Dense indices 0..Gc-1 for the codes that occur among the first n rows, in
// ascending code order. Codes are already checked to be non-negative.
struct CompactCodes {
  std::vector<std::uint32_t> index;  // one per row
  std::size_t n_groups = 0;
};

CompactCodes compact_codes(StridedVector<std::int32_t> codes, std::size_t n,
                           std::size_t largest) {
  CompactCodes out;
  out.index.resize(n);
  const std::size_t span = largest + 1;
  if (span / 4 <= n) {
    // Codes range over at most a few times the rows: a lookup table.
    std::vector<std::uint32_t> slot(span, 0);
    for (std::size_t i = 0; i < n; ++i) slot[static_cast<std::size_t>(codes[i])] = 1;
    std::uint32_t next = 0;
    for (std::uint32_t& s : slot) s = s != 0 ? next++ : 0;
    for (std::size_t i = 0; i < n; ++i) out.index[i] = slot[static_cast<std::size_t>(codes[i])];
    out.n_groups = next;
  } else {
    // Few rows over a wide code range: the sorted distinct codes.
    std::vector<std::int32_t> distinct(n);
    for (std::size_t i = 0; i < n; ++i) distinct[i] = codes[i];
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    for (std::size_t i = 0; i < n; ++i)
      out.index[i] = static_cast<std::uint32_t>(
          std::lower_bound(distinct.begin(), distinct.end(), codes[i]) - distinct.begin());
    out.n_groups = distinct.size();
  }
  return out;
}

}  // namespace

std::vector<double> clustered_meat_raw(std::span<const double> x, std::size_t n, std::size_t k,
                                       std::span<const double> resid, CodeSpan codes,
                                       std::size_t n_groups) {
  check_len(x.size(), checked_mul(n, k));
  check_len(resid.size(), n);
  check_len(codes.size(), n);
  // Scores per group, each summed in row order.
  std::vector<double> s(checked_mul(n_groups, k), 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    double* sg = s.data() + check_code(codes[i], n_groups) * k;
    const double* xi = x.data() + i * k;
    const double e = resid[i];
    for (std::size_t a = 0; a < k; ++a) sg[a] += xi[a] * e;
  }
  std::vector<double> meat(checked_mul(k, k), 0.0);
  for (std::size_t g = 0; g < n_groups; ++g) {
    const double* sg = s.data() + g * k;
    for (std::size_t a = 0; a < k; ++a) {
      double* mrow = meat.data() + a * k;
      const double sa = sg[a];
      for (std::size_t b = a; b < k; ++b) mrow[b] += sa * sg[b];
    }
  }
  for (std::size_t r = 1; r < k; ++r)
    for (std::size_t c = 0; c < r; ++c) meat[r * k + c] = meat[c * k + r];
  return meat;
}

std::vector<double> clustered_meat_strided(StridedMatrix x, StridedVector<double> resid,
                                           StridedVector<std::int32_t> codes,
                                           std::size_t n_groups) {
  const std::size_t n = x.rows, k = x.cols;
  check_len(resid.len, n);
  check_len(codes.len, n);
  std::size_t largest = 0;
  for (std::size_t i = 0; i < n; ++i) largest = std::max(largest, check_code(codes[i], n_groups));
  if (n == 0) return std::vector<double>(checked_mul(k, k), 0.0);

  const CompactCodes groups = compact_codes(codes, n, largest);
  std::vector<double> s(checked_mul(groups.n_groups, k), 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    double* sg = s.data() + static_cast<std::size_t>(groups.index[i]) * k;
    const double e = resid[i];
    const char* xi = x.data + static_cast<std::ptrdiff_t>(i) * x.row_stride;
    for (std::size_t a = 0; a < k; ++a) {
      double v;
      std::memcpy(&v, xi + static_cast<std::ptrdiff_t>(a) * x.col_stride, sizeof v);
      sg[a] += v * e;
    }
  }
  const auto elem = static_cast<std::ptrdiff_t>(sizeof(double));
  return gemm_gram(StridedMatrix{reinterpret_cast<const char*>(s.data()), groups.n_groups, k,
                                 static_cast<std::ptrdiff_t>(k) * elem, elem});
}

std::vector<std::vector<std::size_t>> combinations(std::size_t n, std::size_t r) {
  std::vector<std::vector<std::size_t>> out;
  if (r > n) return out;
  std::vector<std::size_t> work(r);
  combinations_into(n, 0, 0, work, out);
  return out;
}

std::vector<double> multiway_cluster_vcov(std::span<const double> x, std::size_t n,
                                          std::size_t k, std::span<const double> resid,
                                          std::span<const double> bread,
                                          std::span<const Recoded> dims, ClusterScaling mode,
                                          std::size_t common_a) {
  const std::size_t kk = checked_mul(k, k);
  check_len(bread.size(), kk);
  std::vector<double> v(kk, 0.0);
  const std::size_t d = dims.size();
  if (d == 0) return v;

  const double nf = static_cast<double>(n);
  const double kf = static_cast<double>(k);
  const double q = (nf + -1.0) / (nf - kf);
  double common = 0.0;
  if (mode == ClusterScaling::Common) {
    std::size_t g_min = dims[0].n_groups;
    for (const Recoded& dim : dims) g_min = std::min(g_min, dim.n_groups);
    const double gf = static_cast<double>(g_min);
    common = (nf / ((nf - static_cast<double>(common_a)) - kf)) * (gf / (gf - 1.0));
  }

  for (std::size_t r = 1; r <= d; ++r) {
    for (const std::vector<std::size_t>& combo : combinations(d, r)) {
      Recoded joined;
      CodeSpan codes;
      std::size_t g = 0;
      if (r == 1) {
        codes = dims[combo[0]].codes;
        g = dims[combo[0]].n_groups;
      } else {
        std::vector<CodeSpan> columns;
        columns.reserve(r);
        for (std::size_t dim : combo) columns.emplace_back(dims[dim].codes);
        joined = interaction_codes(columns);
        codes = joined.codes;
        g = joined.n_groups;
      }
      const std::vector<double> meat = clustered_meat_raw(x, n, k, resid, codes, g);
      const std::vector<double> vc = matmul(matmul(bread, meat, k, k, k), bread, k, k, k);
      double s = 1.0;
      if (mode == ClusterScaling::PerCombination) {
        const double gf = static_cast<double>(g);
        s = (gf / (gf - 1.0)) * q;
      } else if (mode == ClusterScaling::Common) {
        s = common;
      }
      if (r % 2 == 0) s = -s;
      for (std::size_t j = 0; j < kk; ++j) v[j] += vc[j] * s;
    }
  }
  return v;
}

}  // namespace kestrel
