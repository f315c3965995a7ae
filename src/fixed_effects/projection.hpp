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
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "runtime/check.hpp"
#include "codes/compact_codes.hpp"
#include "runtime/thread_pool.hpp"
#include "linalg/col_major_matrix.hpp"

namespace kestrel {

inline constexpr std::size_t kProjectionParallelRows = 200000;
inline constexpr std::size_t kProjectionParallelGroups = 32;

// Whether a projection splits its group sums over the pool (both bounds
// inclusive).
inline bool demean_col_uses_pool(std::size_t n, std::size_t n_groups) {
  return n >= kProjectionParallelRows && n_groups >= kProjectionParallelGroups;
}

// Removes one fixed effect from ncols contiguous columns of nrows values
// each (column-major data of at least nrows * ncols entries): every row loses
// the mean of its group, sums over rows in order, with the counts taken over
// the whole code column. The form (sequential or chunked) follows
// demean_col_uses_pool for the declared n_groups unless `allow_pool` is
// false, which forces the sequential form. Tables follow the groups that
// occur, so n_groups may be far larger than the data (up to 2^64 - 1).
// Requires codes.size() >= nrows and every code in 0..n_groups-1.
void demean_cols(std::span<double> data, std::size_t nrows, std::size_t ncols, CodeSpan codes,
                 std::size_t n_groups, bool allow_pool);

// ---------------------------------------------------------------------------
// Building blocks shared with the conjugate-gradient solver, which fuses the
// passes of consecutive projections.

// A fixed effect ready for projections over n rows. Every code of the first
// n rows lies in 0..counts.size()-1 (checked when it was made).
struct ProjectionFe {
  CodeSpan codes;
  std::span<const double> counts;
  bool parallel = false;
};

// Owner of a ProjectionFe built from a code column and its declared number of
// groups: codes renumbered when n_groups is out of proportion to the column,
// counts over the whole column. The form is chosen from the declared n_groups,
// so renumbering never changes a result.
struct ProjectionFeStorage {
  CompactCodes codes;
  std::vector<double> counts;
  bool parallel = false;
  ProjectionFe view() const { return {codes.codes(), counts, parallel}; }
};

// Validates (codes.size() >= n, every code in 0..n_groups-1) and builds.
ProjectionFeStorage projection_fe(CodeSpan codes, std::size_t n_groups, std::size_t n,
                                  bool allow_pool);

// Per-call scratch for chunk partial sums, grown on demand.
struct ProjectionScratch {
  std::vector<double> partials;
};

// Tables of at least this many groups outgrow the per-core cache, and the
// random reads and updates of a projection then wait on memory; they are
// prefetched this many rows ahead (the codes of later rows are known).
inline constexpr std::size_t kPrefetchGroups = std::size_t{1} << 16;
inline constexpr std::size_t kPrefetchAhead = 32;

// sums := group sums of value(i) over rows 0..n-1, each row's value computed
// once by value(i) (which may also write per-row outputs). Sequential: one
// running sum per group in row order. Parallel: T contiguous chunks, each
// summed from zero in row order, added into sums in chunk order; chunks run
// on the pool, at most one per runner at a time, so scratch stays at
// runners x G doubles. The codes must already be validated.
template <class Value>
void projection_sums(std::span<double> sums, CodeSpan codes, std::size_t n, bool parallel,
                     ProjectionScratch& scratch, Value&& value) {
  const std::size_t groups = sums.size();
  double* s = sums.data();
  const std::int32_t* c = codes.data();
  std::fill(sums.begin(), sums.end(), 0.0);
  // Rows begin..end-1 in order into `out`.
  auto scan = [&, far = groups >= kPrefetchGroups](double* out, std::size_t begin,
                                                   std::size_t end) {
    if (far) {
      for (std::size_t i = begin; i < end; ++i) {
        if (i + kPrefetchAhead < end) __builtin_prefetch(out + c[i + kPrefetchAhead], 1);
        out[c[i]] += value(i);
      }
    } else {
      for (std::size_t i = begin; i < end; ++i) out[c[i]] += value(i);
    }
  };
  if (!parallel) {
    scan(s, 0, n);
    return;
  }
  const std::size_t t_size = thread_pool_size();
  const std::size_t chunk = n / t_size + (n % t_size != 0 ? 1 : 0);
  if (chunk == 0) return;
  // Chunks that start past the end hold no rows: their sums are zeros, and
  // adding +0.0 to a sum that started at +0.0 changes nothing.
  const std::size_t tasks = n / chunk + (n % chunk != 0 ? 1 : 0);
  const std::size_t runners = std::min(thread_pool_runners(), tasks);
  const std::size_t need = checked_mul(runners, groups);
  if (scratch.partials.size() < need) scratch.partials.resize(need);
  for (std::size_t t0 = 0; t0 < tasks; t0 += runners) {
    const std::size_t wave = std::min(runners, tasks - t0);
    auto run = [&](std::size_t slot) {
      const std::size_t t = t0 + slot;
      // Chunk 0 sums straight into `sums`: 0.0 + p equals p for every sum
      // that started at +0.0.
      double* out = t == 0 ? s : scratch.partials.data() + slot * groups;
      if (t != 0) std::fill(out, out + groups, 0.0);
      scan(out, t * chunk, std::min(n, (t + 1) * chunk));
    };
    thread_pool_run(wave, run);
    for (std::size_t slot = 0; slot < wave; ++slot) {
      if (t0 + slot == 0) continue;
      const double* part = scratch.partials.data() + slot * groups;
      for (std::size_t g = 0; g < groups; ++g) s[g] += part[g];
    }
  }
}

// sums[g] := sums[g] / counts[g] for every group.
void projection_means(std::span<double> sums, std::span<const double> counts);

// The last subtraction of a sweep, left to the caller so that it can fuse it
// with its own per-row work: the swept value of row i is
// in[i] - mean[codes[i]], rows to be visited in order where order matters.
struct SweepTail {
  const double* in;
  const double* mean;
  const std::int32_t* codes;
  std::size_t n;
  bool far;  // the means table is large: prefetch ahead
  double at(std::size_t i) const {
    if (far && i + kPrefetchAhead < n) __builtin_prefetch(mean + codes[i + kPrefetchAhead]);
    return in[i] - mean[codes[i]];
  }
};

// One symmetric sweep of one column, with the passes of consecutive
// projections fused: each pass subtracts the previous projection's means and
// sums the result for the next one, so every value sees exactly the
// operations of separate demean_col calls, in the same order.
//   first(i): the column's value at row i before the sweep (may also write
//             it, e.g. update a search direction); afterwards src[i] holds it.
//   w:        n doubles receiving the intermediate values (may equal src).
// Returns the final subtraction, which the caller applies (its loop keeps
// running sums in registers, which a callback could not).
// tables[q] has fes[q].counts.size() doubles.
template <class First>
SweepTail projection_sweep(std::size_t n, std::span<const ProjectionFe> fes,
                           std::span<std::vector<double>> tables, ProjectionScratch& scratch,
                           const double* src, double* w, First&& first) {
  const std::size_t q_count = fes.size();
  const std::size_t passes = 2 * q_count - 1;
  auto fe_at = [q_count](std::size_t k) { return k < q_count ? k : 2 * q_count - 2 - k; };

  projection_sums(std::span<double>(tables[0]), fes[0].codes, n, fes[0].parallel, scratch, first);
  projection_means(tables[0], fes[0].counts);
  const double* in = src;
  for (std::size_t k = 1; k < passes; ++k) {
    const ProjectionFe& prev = fes[fe_at(k - 1)];
    const ProjectionFe& next = fes[fe_at(k)];
    const double* mean = tables[fe_at(k - 1)].data();
    const std::int32_t* pc = prev.codes.data();
    const bool far = prev.counts.size() >= kPrefetchGroups;
    projection_sums(std::span<double>(tables[fe_at(k)]), next.codes, n, next.parallel, scratch,
                    [&](std::size_t i) {
                      if (far && i + kPrefetchAhead < n)
                        __builtin_prefetch(mean + pc[i + kPrefetchAhead]);
                      const double v = in[i] - mean[pc[i]];
                      w[i] = v;
                      return v;
                    });
    projection_means(tables[fe_at(k)], next.counts);
    in = w;
  }
  return {in, tables[0].data(), fes[0].codes.data(), n,
          fes[0].counts.size() >= kPrefetchGroups};
}

}  // namespace kestrel
