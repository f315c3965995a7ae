// Group-mean projections: removing one fixed effect from a column, and the
// symmetric sweep of such projections over several fixed effects.
//
// Shapes: a column holds n rows; a fixed effect has a code per row and G
// groups with their counts (doubles holding exact integers). Matrices are
// ColMajorMatrix, each column contiguous.
//
// Reproducibility: every group sum runs over the rows in order. At n >= 200000
// rows and G >= 32 groups the sums are split into T contiguous row chunks (T
// = thread_pool_size()) whose partial sums are added in chunk order, so a
// result depends on T only through that order and is identical from run to
// run for a given T. Which thread runs a chunk never matters.
//
// Several columns are swept together (StackedSweep): a pass reads the codes
// once for a block of columns, whose independent running sums then overlap
// in the processor, and a pass is shared over the pool by row chunks where
// the sums are chunked anyway, otherwise by columns. None of this changes a
// value: every group sum of every column is the same fold of in-order row
// sums as when the columns are swept one at a time.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>
#include <vector>

#include "codes/compact_codes.hpp"
#include "fixed_effects/fixed_effects.hpp"
#include "linalg/col_major_matrix.hpp"
#include "runtime/check.hpp"
#include "runtime/thread_pool.hpp"

namespace kestrel {

inline constexpr std::size_t kProjectionParallelRows = 200000;
inline constexpr std::size_t kProjectionParallelGroups = 32;

// Whether a projection splits its group sums over the pool (both bounds
// inclusive).
inline bool demean_col_uses_pool(std::size_t n, std::size_t n_groups) {
  return n >= kProjectionParallelRows && n_groups >= kProjectionParallelGroups;
}

// Removes fixed effect q of `fe` from ncols contiguous columns of fe.rows()
// values each (column-major data of at least rows * ncols entries): every
// row loses the mean of its group, sums over rows in order. The form
// (sequential or chunked) follows demean_col_uses_pool for the declared
// number of groups unless `allow_pool` is false, which forces the sequential
// form. Weighted, the columns hold sqrt(w) x and lose their weighted group
// means times sqrt(w).
void demean_cols(std::span<double> data, std::size_t ncols, const FixedEffects& fe,
                 std::size_t q, bool allow_pool);

// ---------------------------------------------------------------------------
// Building blocks shared with the conjugate-gradient solver, which fuses the
// passes of consecutive projections.

// A fixed effect ready for projections over n rows. Every code of the first
// n rows lies in 0..counts.size()-1 (checked when the FixedEffects were made).
struct ProjectionFe {
  CodeSpan codes;
  std::span<const double> counts;
  bool parallel = false;
  // Rows of a group mostly come in consecutive runs (a panel sorted by this
  // fixed effect): a run's sum is then kept in a register, not re-read from
  // the table at every row.
  bool runs = false;
  // Weighted projections: sqrt(w) per row (null: unweighted). The columns
  // then hold sqrt(w) x, the projection on the scaled dummy of group g is
  // sqrt(w_i) (sum_g sqrt(w) v) / (sum_g w), and counts hold sum_g w.
  const double* scale = nullptr;
};

// Fixed effect q of `fe` ready for projections over its rows (its tables,
// group sizes and, weighted, the rows' roots as scale).
ProjectionFe projection_fe(const FixedEffects& fe, std::size_t q, bool allow_pool);

// Tables of at least this many groups outgrow the per-core cache, and the
// random reads and updates of a projection then wait on memory; they are
// prefetched this many rows ahead (the codes of later rows are known).
inline constexpr std::size_t kPrefetchGroups = std::size_t{1} << 16;
inline constexpr std::size_t kPrefetchAhead = 32;

// Columns swept together in one pass over the rows.
inline constexpr std::size_t kSweepBlock = 4;

// The last subtraction of a sweep, left to the caller so that it can fuse it
// with its own per-row work: the swept value of row i is
// in[i] - mean[codes[i]], rows to be visited in order where order matters.
// Weighted (scale not null): in[i] - scale[i] * mean[codes[i]]; callers test
// `scale` once per loop and call at() or scaled_at().
struct SweepTail {
  const double* in;
  const double* mean;
  const std::int32_t* codes;
  std::size_t n;
  bool far;  // the means table is large: prefetch ahead
  const double* scale = nullptr;
  double at(std::size_t i) const {
    if (far && i + kPrefetchAhead < n) __builtin_prefetch(mean + codes[i + kPrefetchAhead]);
    return in[i] - mean[codes[i]];
  }
  double scaled_at(std::size_t i) const {
    if (far && i + kPrefetchAhead < n) __builtin_prefetch(mean + codes[i + kPrefetchAhead]);
    return in[i] - scale[i] * mean[codes[i]];
  }
};

namespace sweep_detail {

// out[j][codes[i]] += v[j] for rows begin..end-1 in order, v from value(i, v).
// With `runs`, consecutive rows of one group add into registers and the sum
// is stored when the group changes: the same additions in the same order.
// A row's values as they are added: times s[i] (weighted sums).
template <std::size_t K, class Value>
struct ScaledValue {
  const Value& value;
  const double* s;
  void operator()(std::size_t i, double* v) const {
    value(i, v);
    for (std::size_t j = 0; j < K; ++j) v[j] = s[i] * v[j];
  }
};

// Scaled (s not null): s[i] v[j] is added instead (weighted sums).
template <std::size_t K, class Value>
void sum_rows(double* const* out, const std::int32_t* c, bool runs, bool far, std::size_t begin,
              std::size_t end, const Value& value);

template <std::size_t K, class Value>
void sum_rows(double* const* out, const std::int32_t* c, bool runs, bool far, std::size_t begin,
              std::size_t end, const Value& value, const double* s) {
  if (s != nullptr) {
    sum_rows<K>(out, c, runs, far, begin, end, ScaledValue<K, Value>{value, s});
  } else {
    sum_rows<K>(out, c, runs, far, begin, end, value);
  }
}

template <std::size_t K, class Value>
void sum_rows(double* const* out, const std::int32_t* c, bool runs, bool far, std::size_t begin,
              std::size_t end, const Value& value) {
  if (begin >= end) return;
  double v[K];
  if (runs) {
    std::size_t g = static_cast<std::size_t>(c[begin]);
    double acc[K];
    for (std::size_t j = 0; j < K; ++j) acc[j] = out[j][g];
    for (std::size_t i = begin; i < end; ++i) {
      const auto ci = static_cast<std::size_t>(c[i]);
      value(i, v);
      if (ci != g) {
        for (std::size_t j = 0; j < K; ++j) out[j][g] = acc[j];
        g = ci;
        for (std::size_t j = 0; j < K; ++j) acc[j] = out[j][g];
      }
      for (std::size_t j = 0; j < K; ++j) acc[j] += v[j];
    }
    for (std::size_t j = 0; j < K; ++j) out[j][g] = acc[j];
  } else if (far) {
    for (std::size_t i = begin; i < end; ++i) {
      if (i + kPrefetchAhead < end)
        for (std::size_t j = 0; j < K; ++j) __builtin_prefetch(out[j] + c[i + kPrefetchAhead], 1);
      value(i, v);
      const auto ci = static_cast<std::size_t>(c[i]);
      for (std::size_t j = 0; j < K; ++j) out[j][ci] += v[j];
    }
  } else {
    for (std::size_t i = begin; i < end; ++i) {
      value(i, v);
      const auto ci = static_cast<std::size_t>(c[i]);
      for (std::size_t j = 0; j < K; ++j) out[j][ci] += v[j];
    }
  }
}

// A sweep's first pass: the caller's values before the sweep.
template <std::size_t K, class First>
struct FirstValue {
  const First& first;
  std::size_t c0;
  void operator()(std::size_t i, double* v) const {
    for (std::size_t j = 0; j < K; ++j) v[j] = first(c0 + j, i);
  }
};

// A later pass: the previous projection's subtraction, its result stored.
// Scaled: the means are subtracted times scale[i] (weighted projections).
template <std::size_t K, bool Scaled = false>
struct SubtractValue {
  const double* in[K];
  double* w[K];
  const double* mean[K];
  const std::int32_t* codes;
  std::size_t n;
  bool far;
  const double* scale = nullptr;
  void operator()(std::size_t i, double* v) const {
    if (far && i + kPrefetchAhead < n)
      for (std::size_t j = 0; j < K; ++j) __builtin_prefetch(mean[j] + codes[i + kPrefetchAhead]);
    const auto ci = static_cast<std::size_t>(codes[i]);
    for (std::size_t j = 0; j < K; ++j) {
      double x;
      if constexpr (Scaled) {
        x = in[j][i] - scale[i] * mean[j][ci];
      } else {
        x = in[j][i] - mean[j][ci];
      }
      w[j][i] = x;
      v[j] = x;
    }
  }
};

// Calls f(std::integral_constant<std::size_t, K>{}) for K = k in 1..kSweepBlock.
template <class F>
void with_block(std::size_t k, F&& f) {
  switch (k) {
    case 1: f(std::integral_constant<std::size_t, 1>{}); break;
    case 2: f(std::integral_constant<std::size_t, 2>{}); break;
    case 3: f(std::integral_constant<std::size_t, 3>{}); break;
    default: f(std::integral_constant<std::size_t, 4>{}); break;
  }
}

}  // namespace sweep_detail

// The symmetric sweep (fixed effects 0, 1, .., Q-1, .., 1, 0) of ncols
// columns at once. Column c of a vector is at base + c * stride.
class StackedSweep {
 public:
  StackedSweep(std::size_t n, std::span<const ProjectionFe> fes, std::size_t ncols);

  std::size_t columns() const { return ncols_; }

  // Every pass of one sweep but the last subtraction, for every column:
  //   first(c, i): column c's value at row i before the sweep (may also write
  //                it, row i of column c only); afterwards src's column c
  //                holds these values.
  //   w:           receives the intermediate values (may equal src).
  // Afterwards tail(c) is column c's last subtraction. Each pass subtracts
  // the previous projection's means and sums the result for the next one, so
  // every value sees exactly the operations of separate projections, in the
  // same order.
  //   means:       if not null, receives for every column c at
  //                means + c * means_stride + means_offset(q) the sum of the
  //                group means that the sweep's passes over fixed effect q
  //                subtracted, so that the swept column is the column less
  //                D times these coefficients (scaled dummies when weighted).
  template <class First>
  void passes(const double* src, double* w, std::size_t stride, const First& first,
              double* means = nullptr);

  // Table slots before fixed effect q's in a coefficient vector, and their total.
  std::size_t means_offset(std::size_t q) const { return means_offset_[q]; }
  std::size_t means_stride() const { return means_offset_.back(); }

  SweepTail tail(std::size_t c) const {
    const ProjectionFe& fe = fes_[0];
    return {last_in_ + c * stride_, tables_[0].data() + c * fe.counts.size(), fe.codes.data(), n_,
            fe.counts.size() >= kPrefetchGroups, fe.scale};
  }

  // op(c, i, v) for every column c and row i, v = tail(c).at(i): rows in
  // order within a column, row chunks on the pool for large columns. For
  // per-row work that carries no running sum.
  template <class Op>
  void finish(const Op& op) const;

 private:
  // tables_[q] := group sums of the values that value(K, c0) yields for
  // column block c0..c0+K-1, then divided by the counts.
  template <class MakeValue>
  void sum_pass(std::size_t q, const MakeValue& make);

  std::size_t n_;
  std::span<const ProjectionFe> fes_;
  std::size_t ncols_;
  std::vector<std::vector<double>> tables_;  // per fixed effect, ncols tables of G
  std::vector<std::size_t> means_offset_;    // per fixed effect, then the total
  std::vector<double> partials_;             // chunk sums of running chunks
  const double* last_in_ = nullptr;
  std::size_t stride_ = 0;
};

template <class MakeValue>
void StackedSweep::sum_pass(std::size_t q, const MakeValue& make) {
  const ProjectionFe& fe = fes_[q];
  const std::size_t groups = fe.counts.size();
  std::vector<double>& table = tables_[q];
  std::fill(table.begin(), table.end(), 0.0);
  const std::int32_t* c = fe.codes.data();
  const bool far = groups >= kPrefetchGroups;
  const std::size_t runners = thread_pool_runners();
  if (ncols_ == 0) return;
  if (!fe.parallel) {
    // One running sum per group over all rows: the pool shares columns.
    const std::size_t tasks = std::min(runners, ncols_);
    const std::size_t per = (ncols_ + tasks - 1) / tasks;
    auto run = [&](std::size_t t) {
      const std::size_t end = std::min(ncols_, (t + 1) * per);
      for (std::size_t c0 = t * per; c0 < end; c0 += kSweepBlock) {
        sweep_detail::with_block(std::min(kSweepBlock, end - c0), [&](auto k) {
          constexpr std::size_t K = decltype(k)::value;
          double* out[K];
          for (std::size_t j = 0; j < K; ++j) out[j] = table.data() + (c0 + j) * groups;
          sweep_detail::sum_rows<K>(out, c, fe.runs, far, 0, n_, make(k, c0), fe.scale);
        });
      }
    };
    thread_pool_run((ncols_ + per - 1) / per, run);
  } else {
    // T contiguous row chunks, each summed from zero in row order and added
    // in chunk order; chunks run at most one per runner at a time. Chunk 0
    // sums straight into the table: 0.0 + p equals p for every sum that
    // started at +0.0. Chunks that start past the end hold no rows: adding
    // +0.0 to a sum that started at +0.0 changes nothing.
    const std::size_t t_size = thread_pool_size();
    const std::size_t chunk = n_ / t_size + (n_ % t_size != 0 ? 1 : 0);
    if (chunk != 0) {
      const std::size_t tasks = n_ / chunk + (n_ % chunk != 0 ? 1 : 0);
      const std::size_t slots = std::min(runners, tasks);
      // Columns per block: at most kSweepBlock, and the partial tables of a
      // block no larger than the rows (or one column's tables).
      const std::size_t width =
          std::max<std::size_t>(1, std::min(kSweepBlock, groups == 0 ? kSweepBlock : n_ / groups));
      const std::size_t need = checked_mul(checked_mul(slots, std::min(width, ncols_)), groups);
      if (partials_.size() < need) partials_.resize(need);
      for (std::size_t c0 = 0; c0 < ncols_; c0 += width) {
        const std::size_t kb = std::min(width, ncols_ - c0);
        for (std::size_t t0 = 0; t0 < tasks; t0 += slots) {
          const std::size_t wave = std::min(slots, tasks - t0);
          auto run = [&](std::size_t slot) {
            const std::size_t t = t0 + slot;
            double* part = partials_.data() + slot * kb * groups;
            if (t != 0) std::fill(part, part + kb * groups, 0.0);
            for (std::size_t b = 0; b < kb; b += kSweepBlock) {
              sweep_detail::with_block(std::min(kSweepBlock, kb - b), [&](auto k) {
                constexpr std::size_t K = decltype(k)::value;
                double* out[K];
                for (std::size_t j = 0; j < K; ++j)
                  out[j] = t == 0 ? table.data() + (c0 + b + j) * groups
                                  : part + (b + j) * groups;
                sweep_detail::sum_rows<K>(out, c, fe.runs, far, t * chunk,
                                          std::min(n_, (t + 1) * chunk), make(k, c0 + b),
                                          fe.scale);
              });
            }
          };
          thread_pool_run(wave, run);
          for (std::size_t slot = 0; slot < wave; ++slot) {
            if (t0 + slot == 0) continue;
            const double* part = partials_.data() + slot * kb * groups;
            for (std::size_t j = 0; j < kb; ++j) {
              double* s = table.data() + (c0 + j) * groups;
              const double* p = part + j * groups;
              for (std::size_t g = 0; g < groups; ++g) s[g] += p[g];
            }
          }
        }
      }
    }
  }
  const double* counts = fe.counts.data();
  for (std::size_t col = 0; col < ncols_; ++col) {
    double* s = table.data() + col * groups;
    for (std::size_t g = 0; g < groups; ++g) s[g] = s[g] / counts[g];
  }
}

template <class First>
void StackedSweep::passes(const double* src, double* w, std::size_t stride, const First& first,
                          double* means) {
  const std::size_t q_count = fes_.size();
  const std::size_t count = 2 * q_count - 1;
  auto fe_at = [q_count](std::size_t k) { return k < q_count ? k : 2 * q_count - 2 - k; };
  stride_ = stride;
  const std::size_t m = means_stride();
  if (means != nullptr) std::fill(means, means + m * ncols_, 0.0);
  auto collect = [&](std::size_t q) {
    if (means == nullptr) return;
    const std::size_t groups = fes_[q].counts.size();
    for (std::size_t c = 0; c < ncols_; ++c) {
      double* to = means + c * m + means_offset_[q];
      const double* from = tables_[q].data() + c * groups;
      for (std::size_t g = 0; g < groups; ++g) to[g] += from[g];
    }
  };

  sum_pass(0, [&](auto k, std::size_t c0) {
    return sweep_detail::FirstValue<decltype(k)::value, First>{first, c0};
  });
  collect(0);
  const double* in = src;
  for (std::size_t k = 1; k < count; ++k) {
    const ProjectionFe& prev = fes_[fe_at(k - 1)];
    const std::size_t prev_groups = prev.counts.size();
    const double* mean = tables_[fe_at(k - 1)].data();
    auto make = [&](auto kk, std::size_t c0, auto scaled) {
      constexpr std::size_t K = decltype(kk)::value;
      sweep_detail::SubtractValue<K, decltype(scaled)::value> v{};
      for (std::size_t j = 0; j < K; ++j) {
        v.in[j] = in + (c0 + j) * stride;
        v.w[j] = w + (c0 + j) * stride;
        v.mean[j] = mean + (c0 + j) * prev_groups;
      }
      v.codes = prev.codes.data();
      v.n = n_;
      v.far = prev_groups >= kPrefetchGroups;
      v.scale = prev.scale;
      return v;
    };
    if (prev.scale != nullptr) {
      sum_pass(fe_at(k), [&](auto kk, std::size_t c0) {
        return make(kk, c0, std::true_type{});
      });
    } else {
      sum_pass(fe_at(k), [&](auto kk, std::size_t c0) {
        return make(kk, c0, std::false_type{});
      });
    }
    collect(fe_at(k));
    in = w;
  }
  last_in_ = in;
}

template <class Op>
void StackedSweep::finish(const Op& op) const {
  const std::size_t tasks =
      n_ >= kProjectionParallelRows ? std::min(thread_pool_runners(), n_) : std::size_t{1};
  const std::size_t chunk = tasks == 0 ? 0 : (n_ + tasks - 1) / tasks;
  auto run = [&](std::size_t t) {
    const std::size_t begin = t * chunk;
    const std::size_t end = std::min(n_, begin + chunk);
    for (std::size_t col = 0; col < ncols_; ++col) {
      const SweepTail tl = tail(col);
      if (tl.scale != nullptr) {
        for (std::size_t i = begin; i < end; ++i) op(col, i, tl.scaled_at(i));
      } else {
        for (std::size_t i = begin; i < end; ++i) op(col, i, tl.at(i));
      }
    }
  };
  thread_pool_run(tasks, run);
}

}  // namespace kestrel
