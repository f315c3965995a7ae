#include "covariance/cluster.hpp"

#include <algorithm>
#include <cstring>

#include "runtime/check.hpp"
#include "linalg/gemm.hpp"
#include "linalg/matmul.hpp"
#include "linalg/symmetric.hpp"
#include "runtime/thread_pool.hpp"

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

// The first n rows listed group by group: group g (the g-th smallest code
// that occurs) holds rows[first[g]] .. rows[first[g+1]-1], in ascending row
// order. When the codes never decrease (`in_order`) the rows are already in
// that order, `rows` stays empty and position p is row p. Codes are already
// checked to be non-negative and at most `largest`.
struct GroupedRows {
  std::vector<std::size_t> first;
  std::vector<std::size_t> rows;
};

GroupedRows group_rows(StridedVector<std::int32_t> codes, std::size_t n, std::size_t largest,
                       bool in_order) {
  auto code = [&](std::size_t i) { return static_cast<std::size_t>(codes[i]); };
  GroupedRows out;
  const std::size_t span = largest + 1;
  // Dense index of each row's group: through a table over the codes when
  // they span at most a few times the rows, else by rank among the sorted
  // distinct codes.
  std::vector<std::size_t> slot;
  std::vector<std::int32_t> distinct;
  if (span / 4 <= n) {
    slot.assign(span, 0);
    for (std::size_t i = 0; i < n; ++i) ++slot[code(i)];
    out.first.reserve(std::min(span, n) + 1);
    out.first.push_back(0);
    for (std::size_t& count : slot) {
      if (count == 0) continue;
      out.first.push_back(out.first.back() + count);
      count = out.first.size() - 2;
    }
  } else {
    distinct.resize(n);
    for (std::size_t i = 0; i < n; ++i) distinct[i] = codes[i];
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    out.first.assign(distinct.size() + 1, 0);
  }
  auto group = [&](std::size_t i) -> std::size_t {
    if (!slot.empty()) return slot[code(i)];
    return static_cast<std::size_t>(
        std::lower_bound(distinct.begin(), distinct.end(), codes[i]) - distinct.begin());
  };
  if (!distinct.empty()) {
    for (std::size_t i = 0; i < n; ++i) ++out.first[group(i) + 1];
    for (std::size_t g = 1; g < out.first.size(); ++g) out.first[g] += out.first[g - 1];
  }
  if (!in_order) {
    // Stable counting sort by group.
    out.rows.resize(n);
    std::vector<std::size_t> next(out.first.begin(), out.first.end() - 1);
    for (std::size_t i = 0; i < n; ++i) out.rows[next[group(i)]++] = i;
  }
  return out;
}

// s_g = sum of x_i e_i over the `count` rows row_of(0), row_of(1), ... of one
// group, in that order.
template <bool UnitColumns, class RowOf>
void group_score(StridedMatrix x, StridedVector<double> resid, RowOf row_of, std::size_t count,
                 double* sg) {
  const std::size_t k = x.cols;
  for (std::size_t a = 0; a < k; ++a) sg[a] = 0.0;
  for (std::size_t t = 0; t < count; ++t) {
    const std::size_t i = row_of(t);
    const double e = resid[i];
    const char* xi = x.data + static_cast<std::ptrdiff_t>(i) * x.row_stride;
    for (std::size_t a = 0; a < k; ++a) {
      const std::ptrdiff_t offset = UnitColumns
                                        ? static_cast<std::ptrdiff_t>(a * sizeof(double))
                                        : static_cast<std::ptrdiff_t>(a) * x.col_stride;
      double v;
      std::memcpy(&v, xi + offset, sizeof v);
      sg[a] += v * e;
    }
  }
}

// Feeds S = [s_0; s_1; ...] to the product one block of groups at a time, so
// the G x k score matrix never exists as a whole; the blocks are those
// gemm_gram would cut, so the result is the same. first[g]..first[g+1] are
// the positions of group g's rows, row_at(position) the row itself.
template <bool UnitColumns, class RowAt>
void add_score_products(StridedMatrix x, StridedVector<double> resid,
                        const std::vector<std::size_t>& first, RowAt row_at,
                        std::span<double> meat) {
  const std::size_t k = x.cols;
  const std::size_t groups = first.size() - 1;
  std::vector<double> block(checked_mul(std::min(kGemmBlock, groups), k));
  const auto elem = static_cast<std::ptrdiff_t>(sizeof(double));
  for (std::size_t g0 = 0; g0 < groups; g0 += kGemmBlock) {
    const std::size_t nb = std::min(kGemmBlock, groups - g0);
    for (std::size_t b = 0; b < nb; ++b) {
      const std::size_t from = first[g0 + b];
      group_score<UnitColumns>(
          x, resid, [&](std::size_t t) { return row_at(from + t); }, first[g0 + b + 1] - from,
          block.data() + b * k);
    }
    gemm_gram_add(StridedMatrix{reinterpret_cast<const char*>(block.data()), nb, k,
                                static_cast<std::ptrdiff_t>(k) * elem, elem},
                  meat);
  }
}

template <class RowAt>
void add_score_products(StridedMatrix x, StridedVector<double> resid,
                        const std::vector<std::size_t>& first, RowAt row_at,
                        std::span<double> meat) {
  if (x.col_stride == static_cast<std::ptrdiff_t>(sizeof(double)))
    add_score_products<true>(x, resid, first, row_at, meat);
  else
    add_score_products<false>(x, resid, first, row_at, meat);
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
  for (std::size_t g = 0; g < n_groups; ++g)
    symmetric_add_outer_upper(meat.data(), s.data() + g * k, k);
  symmetric_mirror_upper(meat.data(), k);
  return meat;
}

std::vector<double> clustered_meat_strided(StridedMatrix x, StridedVector<double> resid,
                                           StridedVector<std::int32_t> codes,
                                           std::size_t n_groups) {
  const std::size_t n = x.rows, k = x.cols;
  check_len(resid.len, n);
  check_len(codes.len, n);
  std::size_t largest = 0;
  bool in_order = true;
  for (std::size_t i = 0, previous = 0; i < n; ++i) {
    const std::size_t c = check_code(codes[i], n_groups);
    largest = std::max(largest, c);
    in_order = in_order && previous <= c;
    previous = c;
  }
  std::vector<double> meat(checked_mul(k, k), 0.0);
  if (n == 0 || k == 0) return meat;

  // Only the groups that occur take part, in ascending code order, so neither
  // memory nor the result depends on groups without rows.
  const GroupedRows grouped = group_rows(codes, n, largest, in_order);
  if (grouped.rows.empty())
    add_score_products(x, resid, grouped.first, [](std::size_t pos) { return pos; }, meat);
  else
    add_score_products(x, resid, grouped.first,
                       [&](std::size_t pos) { return grouped.rows[pos]; }, meat);
  symmetric_mirror_upper(meat.data(), k);
  return meat;
}

std::vector<double> clustered_meat_columns(std::size_t n, std::span<const double* const> x,
                                           std::span<const double> resid, CodeSpan codes,
                                           std::size_t n_groups) {
  check_len(resid.size(), n);
  check_len(codes.size(), n);
  const std::size_t k = x.size();
  // One score column per regressor, each group's sum in row order.
  std::vector<std::vector<double>> s(k);
  auto scores = [&](std::size_t a) {
    std::vector<double> sa(n_groups, 0.0);
    const double* xa = x[a];
    for (std::size_t i = 0; i < n; ++i) sa[check_code(codes[i], n_groups)] += xa[i] * resid[i];
    s[a] = std::move(sa);
  };
  thread_pool_run(k, TaskRef(scores));
  std::vector<double> meat(checked_mul(k, k), 0.0);
  std::vector<double> sg(k);
  for (std::size_t g = 0; g < n_groups; ++g) {
    for (std::size_t a = 0; a < k; ++a) sg[a] = s[a][g];
    symmetric_add_outer_upper(meat.data(), sg.data(), k);
  }
  symmetric_mirror_upper(meat.data(), k);
  return meat;
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
