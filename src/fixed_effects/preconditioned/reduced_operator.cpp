#include "fixed_effects/preconditioned/reduced_operator.hpp"

#include <algorithm>

#include "runtime/check.hpp"
#include "runtime/thread_pool.hpp"

namespace kestrel {

namespace {

// table := sum over row chunks of scan(chunk table, begin, end), each chunk
// table starting at zero, chunks added in order; sums[t] receives what
// chunk t's scan returns, and the chunk scalars are added in order too.
template <class Scan>
double chunked_sums(std::size_t n, std::size_t chunks, std::span<double> table,
                    ReducedScratch& s, Scan&& scan) {
  const std::size_t size = table.size();
  std::fill(table.begin(), table.end(), 0.0);
  if (chunks <= 1 || n == 0) return scan(table.data(), std::size_t{0}, n);
  const std::size_t chunk = n / chunks + (n % chunks != 0 ? 1 : 0);
  const std::size_t tasks = n / chunk + (n % chunk != 0 ? 1 : 0);
  const std::size_t runners = std::min(thread_pool_runners(), tasks);
  const std::size_t need = checked_mul(runners, size);
  if (s.partials.size() < need) s.partials.resize(need);
  s.chunk_sums.assign(tasks, 0.0);
  for (std::size_t t0 = 0; t0 < tasks; t0 += runners) {
    const std::size_t wave = std::min(runners, tasks - t0);
    auto run = [&](std::size_t slot) {
      const std::size_t t = t0 + slot;
      // Chunk 0 adds straight into the table: 0.0 + p equals p.
      double* out = t == 0 ? table.data() : s.partials.data() + slot * size;
      if (t != 0) std::fill(out, out + size, 0.0);
      s.chunk_sums[t] = scan(out, t * chunk, std::min(n, (t + 1) * chunk));
    };
    thread_pool_run(wave, run);
    for (std::size_t slot = 0; slot < wave; ++slot) {
      if (t0 + slot == 0) continue;
      const double* part = s.partials.data() + slot * size;
      for (std::size_t g = 0; g < size; ++g) table[g] += part[g];
    }
  }
  double total = 0.0;
  for (const double v : s.chunk_sums) total += v;  // chunk order
  return total;
}

// Rows' values v_i = x_i - sum_q a[offset_q + code_q(i)] (q in order); x may
// be null (then v_i = +sum: the rows of D_r a) and a null (then v_i = x_i).
struct RowValue {
  const ReducedDesign& d;
  const double* x;
  const double* a;

  double operator()(std::size_t i) const {
    double v = x != nullptr ? x[i] : 0.0;
    if (a != nullptr) {
      double s = 0.0;
      for (std::size_t q = 0; q < d.rest.size(); ++q)
        s += a[d.offset[q] + static_cast<std::size_t>(d.rest[q][i])];
      v = x != nullptr ? v - s : s;
    }
    return v;
  }
};

// first_means := group means of value(i) over the first factor.
template <class Value>
void first_means(const ReducedDesign& d, const Value& value, ReducedScratch& s) {
  const std::size_t g1 = d.first_counts.size();
  s.first_means.resize(g1);
  const std::int32_t* c1 = d.first.data();
  chunked_sums(d.n, d.chunks, std::span<double>(s.first_means), s,
               [&](double* out, std::size_t begin, std::size_t end) {
                 for (std::size_t i = begin; i < end; ++i)
                   out[static_cast<std::size_t>(c1[i])] += value(i);
                 return 0.0;
               });
  for (std::size_t g = 0; g < g1; ++g) s.first_means[g] = s.first_means[g] / d.first_counts[g];
}

// out := D_r' (value - P_1 value); returns the sum of squares of
// value - P_1 value (first_means must hold the means of value).
template <class Value>
double scatter_rest(const ReducedDesign& d, const Value& value, std::span<double> out,
                    ReducedScratch& s) {
  const std::int32_t* c1 = d.first.data();
  const double* mean = s.first_means.data();
  // first_means is read concurrently and not resized meanwhile.
  return chunked_sums(d.n, d.chunks, out, s, [&](double* table, std::size_t begin, std::size_t end) {
    double ss = 0.0;
    for (std::size_t i = begin; i < end; ++i) {
      const double u = value(i) - mean[static_cast<std::size_t>(c1[i])];
      ss += u * u;
      for (std::size_t q = 0; q < d.rest.size(); ++q)
        table[d.offset[q] + static_cast<std::size_t>(d.rest[q][i])] += u;
    }
    return ss;
  });
}

}  // namespace

ReducedDesign reduced_design(std::size_t n, std::span<const CodeSpan> codes,
                             std::span<const std::size_t> n_groups, std::size_t first_index) {
  check_index(first_index, codes.size());
  check_len(n_groups.size(), codes.size());
  ReducedDesign d;
  d.n = n;
  d.first = codes[first_index];
  d.first_counts.assign(n_groups[first_index], 0.0);
  for (std::size_t i = 0; i < n; ++i) d.first_counts[static_cast<std::size_t>(d.first[i])] += 1.0;
  std::size_t m = 0;
  for (std::size_t q = 0; q < codes.size(); ++q) {
    if (q == first_index) continue;
    d.rest.push_back(codes[q]);
    d.offset.push_back(m);
    m = checked_add(m, n_groups[q]);
  }
  d.offset.push_back(m);
  d.chunks = n >= kReducedParallelRows ? thread_pool_size() : 1;
  return d;
}

double reduced_rhs(const ReducedDesign& d, const double* x, std::span<double> rhs,
                   ReducedScratch& scratch) {
  check_len(rhs.size(), d.m());
  const RowValue value{d, x, nullptr};
  first_means(d, value, scratch);
  return scatter_rest(d, value, rhs.first(d.m()), scratch);
}

void reduced_apply(const ReducedDesign& d, std::span<const double> p, std::span<double> out,
                   ReducedScratch& scratch) {
  check_len(p.size(), d.m());
  check_len(out.size(), d.m());
  const RowValue value{d, nullptr, p.data()};
  first_means(d, value, scratch);
  scatter_rest(d, value, out.first(d.m()), scratch);
}

void reduced_finish(const ReducedDesign& d, double* x, std::span<const double> a,
                    ReducedScratch& scratch) {
  const bool with_rest = !d.rest.empty();
  if (with_rest) check_len(a.size(), d.m());
  const RowValue value{d, x, with_rest ? a.data() : nullptr};
  first_means(d, value, scratch);
  const std::int32_t* c1 = d.first.data();
  const double* mean = scratch.first_means.data();
  // Rows are written in place: every chunk writes its own rows only, and a
  // row's value is read before it is overwritten.
  std::span<double> none;
  chunked_sums(d.n, d.chunks, none, scratch, [&](double*, std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) x[i] = value(i) - mean[static_cast<std::size_t>(c1[i])];
    return 0.0;
  });
}

}  // namespace kestrel
