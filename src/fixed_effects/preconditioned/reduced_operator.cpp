#include "fixed_effects/preconditioned/reduced_operator.hpp"

#include <algorithm>
#include <cstdint>
#include <cmath>
#include <limits>

#include "fixed_effects/projection.hpp"
#include "runtime/check.hpp"
#include "runtime/thread_pool.hpp"

namespace kestrel {

namespace {

using sweep_detail::with_block;

// The rest factors' codes and block offsets held by value, so that the row
// loops keep them in registers: R of them (R > 0), or any number (R == 0).
template <std::size_t R>
struct Rest {
  const std::int32_t* code[R];
  std::size_t off[R];
  Rest(const ReducedDesign& d) {  // NOLINT(cppcoreguidelines-pro-type-member-init)
    for (std::size_t q = 0; q < R; ++q) {
      code[q] = d.rest[q].data();
      off[q] = d.offset[q];
    }
  }
  // Sum over the rest factors (in order, from 0.0) of a[offset_q + code_q(i)].
  double gather(const double* a, std::size_t i) const {
    double s = 0.0;
    for (std::size_t q = 0; q < R; ++q) s += a[off[q] + static_cast<std::size_t>(code[q][i])];
    return s;
  }
  void scatter(double* out, std::size_t i, double u) const {
    for (std::size_t q = 0; q < R; ++q) out[off[q] + static_cast<std::size_t>(code[q][i])] += u;
  }
};

template <>
struct Rest<0> {
  std::vector<const std::int32_t*> code;
  std::vector<std::size_t> off;
  explicit Rest(const ReducedDesign& d) {
    for (std::size_t q = 0; q < d.rest.size(); ++q) {
      code.push_back(d.rest[q].data());
      off.push_back(d.offset[q]);
    }
  }
  double gather(const double* a, std::size_t i) const {
    double s = 0.0;
    for (std::size_t q = 0; q < code.size(); ++q)
      s += a[off[q] + static_cast<std::size_t>(code[q][i])];
    return s;
  }
  void scatter(double* out, std::size_t i, double u) const {
    for (std::size_t q = 0; q < code.size(); ++q)
      out[off[q] + static_cast<std::size_t>(code[q][i])] += u;
  }
};

// Calls f(rest) with the Rest type that fits the design.
template <class F>
void with_rest(const ReducedDesign& d, const F& f) {
  switch (d.rest.size()) {
    case 1: f(Rest<1>(d)); break;
    case 2: f(Rest<2>(d)); break;
    case 3: f(Rest<3>(d)); break;
    default: f(Rest<0>(d)); break;
  }
}

// Calls f(c0, K) for consecutive blocks of at most kSweepBlock columns,
// K as a compile-time constant.
template <class F>
void for_blocks(std::size_t cols, const F& f) {
  for (std::size_t c0 = 0; c0 < cols; c0 += kSweepBlock)
    with_block(std::min(kSweepBlock, cols - c0), [&](auto k) { f(c0, k); });
}

// Runs scan(t, tables, scalars) for every chunk t of the design, at most one
// per runner at a time. tables holds `cols` tables of `width` doubles:
// chunk 0 gets `out` itself, later chunks zeroed tables of their own, which
// are added into `out` in chunk order once their wave is done. scalars holds
// `cols` zeroed doubles per chunk, added in chunk order into `totals` (when
// given).
template <class Scan>
void chunked(const ReducedDesign& d, std::size_t cols, std::size_t width,
             std::span<double* const> out, std::span<double> totals, ReducedScratch& s,
             const Scan& scan) {
  for (double* o : out) std::fill(o, o + width, 0.0);
  const std::size_t chunks = d.chunks();
  s.scalars.assign(checked_mul(chunks, cols), 0.0);
  const std::size_t runners = std::min(thread_pool_runners(), chunks);
  if (chunks > 1 && width > 0) {
    const std::size_t need = checked_mul(checked_mul(runners, cols), width);
    if (s.partials.size() < need) s.partials.resize(need);
  }
  for (std::size_t t0 = 0; t0 < chunks; t0 += runners) {
    const std::size_t wave = std::min(runners, chunks - t0);
    auto run = [&](std::size_t slot) {
      const std::size_t t = t0 + slot;
      std::vector<double*> tables(cols, nullptr);
      for (std::size_t j = 0; j < cols && width > 0; ++j) {
        if (t == 0) {
          tables[j] = out[j];
        } else {
          tables[j] = s.partials.data() + (slot * cols + j) * width;
          std::fill(tables[j], tables[j] + width, 0.0);
        }
      }
      scan(t, tables.data(), s.scalars.data() + t * cols);
    };
    thread_pool_run(wave, run);
    if (width == 0) continue;
    for (std::size_t slot = 0; slot < wave; ++slot) {
      if (t0 + slot == 0) continue;
      for (std::size_t j = 0; j < cols; ++j) {
        const double* part = s.partials.data() + (slot * cols + j) * width;
        double* o = out[j];
        for (std::size_t g = 0; g < width; ++g) o[g] += part[g];
      }
    }
  }
  for (std::size_t j = 0; j < totals.size(); ++j) {
    double total = 0.0;
    for (std::size_t t = 0; t < chunks; ++t) total += s.scalars[t * cols + j];  // chunk order
    totals[j] = total;
  }
}

// The three products as row kernels over K columns. Each row's value v per
// column is reduced by its first-factor group mean, and u = v - mean is
// then used row by row:
//   Rhs:    v = x[i];               sum of u^2, u scattered into the table
//   Apply:  v = gather(p, i);       u scattered into the table
//   Finish: v = x[i] - gather(a, i); x[i] = u
//
// Weighted (Scaled): the rows hold sqrt(w) x and the dummies are scaled by
// s = sqrt(w): Finish's v is x[i] - s_i gather(a, i); group sums add s_i v,
// u = v - s_i mean, and Rhs scatters s_i u. Apply, whose s_i v and s_i u
// would be w_i gather(p, i) and w_i (gather(p, i) - mean), takes the weights
// themselves: v = gather(p, i), sums add w_i v, u = v - mean, w_i u
// scattered (two products per row in place of four).
enum class Op { Rhs, Apply, Finish };

template <Op op, std::size_t K, class RestT, bool Scaled = false>
struct Kernel {
  RestT rest;
  const double* in[K];  // x (Rhs, Finish) or coefficients p (Apply)
  const double* a[K];   // Finish: coefficients
  double* x[K];         // Finish: the rows written
  double* out[K];       // Rhs, Apply: tables
  double* squares;      // Rhs: K running sums
  double* means[K];     // Finish: the first factor's group means, when asked for
  const double* s = nullptr;  // Scaled: sqrt(w) per row
  const double* w = nullptr;  // Scaled: w per row

  double value(std::size_t j, std::size_t i) const {
    if constexpr (op == Op::Rhs) {
      return in[j][i];
    } else if constexpr (op == Op::Apply) {
      return rest.gather(in[j], i);
    } else {
      if constexpr (Scaled) return in[j][i] - s[i] * rest.gather(a[j], i);
      return in[j][i] - rest.gather(a[j], i);
    }
  }
  // What row i adds to its group's sum, and what is left of it once the
  // group's mean is removed.
  double summand(std::size_t i, double v) const {
    if constexpr (Scaled && op == Op::Apply) return w[i] * v;
    if constexpr (Scaled) return s[i] * v;
    return v;
  }
  double centre(std::size_t i, double v, double mean) const {
    if constexpr (Scaled && op != Op::Apply) return v - s[i] * mean;
    return v - mean;
  }
  // acc: the caller's running sums of squares (Rhs), kept in registers and
  // stored once per chunk by flush.
  void emit(std::size_t j, std::size_t i, double u, double* acc) const {
    if constexpr (op == Op::Rhs) {
      acc[j] += u * u;
      rest.scatter(out[j], i, Scaled ? s[i] * u : u);
    } else if constexpr (op == Op::Apply) {
      rest.scatter(out[j], i, Scaled ? w[i] * u : u);
    } else {
      x[j][i] = u;
    }
  }
  void flush(const double* acc) const {
    if constexpr (op == Op::Rhs)
      for (std::size_t j = 0; j < K; ++j) squares[j] = acc[j];
  }
  void record_mean(std::size_t j, std::size_t g, double mean) const {
    if constexpr (op == Op::Finish)
      if (means[j] != nullptr) means[j][g] = mean;
  }
};

// Runs this long or shorter keep their values for the second loop;
// longer ones compute them again (the same operations, so the same values).
constexpr std::size_t kRunBuffer = 64;

// The runs of chunk t: the mean of each run's values, then emit.
template <Op op, std::size_t K, class RestT, bool Scaled>
void over_runs(const ReducedDesign& d, std::size_t t, const Kernel<op, K, RestT, Scaled>& kern) {
  const std::size_t* start = d.run_start.data();
  const std::int32_t* first = d.first.data();
  const double* counts = d.first_counts.data();
  double buf[K][kRunBuffer];
  double acc[K];
  for (std::size_t j = 0; j < K; ++j) acc[j] = 0.0;
  for (std::size_t k = d.chunk_run[t]; k < d.chunk_run[t + 1]; ++k) {
    const std::size_t b = start[k];
    const std::size_t e = start[k + 1];
    const bool keep = e - b <= kRunBuffer;
    double sum[K];
    for (std::size_t j = 0; j < K; ++j) sum[j] = 0.0;
    for (std::size_t i = b; i < e; ++i) {
      for (std::size_t j = 0; j < K; ++j) {
        const double v = kern.value(j, i);
        if (keep) buf[j][i - b] = v;
        sum[j] += kern.summand(i, v);
      }
    }
    const auto g = static_cast<std::size_t>(first[b]);
    const double count = counts[g];
    double mean[K];
    for (std::size_t j = 0; j < K; ++j) {
      mean[j] = sum[j] / count;
      kern.record_mean(j, g, mean[j]);
    }
    for (std::size_t i = b; i < e; ++i) {
      for (std::size_t j = 0; j < K; ++j) {
        const double v = keep ? buf[j][i - b] : kern.value(j, i);
        kern.emit(j, i, kern.centre(i, v, mean[j]), acc);
      }
    }
  }
  kern.flush(acc);
}

// Rows b..e-1 in any order: group sums of the values into tab (K tables
// of G_1), then, once they are means, emit.
template <Op op, std::size_t K, class RestT, bool Scaled>
void sum_rows(const ReducedDesign& d, std::size_t b, std::size_t e,
              const Kernel<op, K, RestT, Scaled>& kern, double* const* tab) {
  const std::int32_t* c1 = d.first.data();
  for (std::size_t i = b; i < e; ++i) {
    const auto g = static_cast<std::size_t>(c1[i]);
    for (std::size_t j = 0; j < K; ++j) tab[j][g] += kern.summand(i, kern.value(j, i));
  }
}

template <Op op, std::size_t K, class RestT, bool Scaled>
void emit_rows(const ReducedDesign& d, std::size_t b, std::size_t e,
               const Kernel<op, K, RestT, Scaled>& kern, const double* const* mean) {
  const std::int32_t* c1 = d.first.data();
  double acc[K];
  for (std::size_t j = 0; j < K; ++j) acc[j] = 0.0;
  for (std::size_t i = b; i < e; ++i) {
    const auto g = static_cast<std::size_t>(c1[i]);
    for (std::size_t j = 0; j < K; ++j)
      kern.emit(j, i, kern.centre(i, kern.value(j, i), mean[j][g]), acc);
  }
  kern.flush(acc);
}

// Columns of one product: inputs (x or p), coefficients (Finish), tables
// (Rhs, Apply), sums of squares (Rhs).
struct Columns {
  std::size_t count = 0;
  const double* const* in = nullptr;
  const double* const* a = nullptr;
  double* const* x = nullptr;
  double* const* means = nullptr;  // Finish: where the first factor's means go (may be null)
};

template <Op op, std::size_t K, bool Scaled, class RestT>
Kernel<op, K, RestT, Scaled> make_kernel(const RestT& rest, const Columns& c, std::size_t c0,
                                         double* const* tab, double* scal, const double* s,
                                         const double* w) {
  Kernel<op, K, RestT, Scaled> k{rest, {}, {}, {}, {}, scal == nullptr ? nullptr : scal + c0, {},
                                 s, w};
  for (std::size_t j = 0; j < K; ++j) {
    k.means[j] = c.means != nullptr ? c.means[c0 + j] : nullptr;
    k.in[j] = c.in[c0 + j];
    k.a[j] = c.a != nullptr ? c.a[c0 + j] : nullptr;
    k.x[j] = c.x != nullptr ? c.x[c0 + j] : nullptr;
    k.out[j] = tab != nullptr ? tab[c0 + j] : nullptr;
  }
  return k;
}

template <Op op, bool Scaled>
void reduced_pass_as(const ReducedDesign& d, const Columns& c, std::size_t width,
                     std::span<double* const> out, std::span<double> totals, ReducedScratch& s);

// One product over all columns: a single pass with runs, otherwise the
// first factor's means (a chunked pass of their own) and then the rows.
template <Op op>
void reduced_pass(const ReducedDesign& d, const Columns& c, std::size_t width,
                  std::span<double* const> out, std::span<double> totals, ReducedScratch& s) {
  if (!d.scale.empty()) {
    reduced_pass_as<op, true>(d, c, width, out, totals, s);
  } else {
    reduced_pass_as<op, false>(d, c, width, out, totals, s);
  }
}

template <Op op, bool Scaled>
void reduced_pass_as(const ReducedDesign& d, const Columns& c, std::size_t width,
                     std::span<double* const> out, std::span<double> totals, ReducedScratch& s) {
  const std::size_t cols = c.count;
  const double* sc = Scaled ? d.scale.data() : nullptr;
  const double* wt = Scaled ? d.weights.data() : nullptr;
  with_rest(d, [&](const auto& rest) {
    const std::size_t g1 = d.first_counts.size();
    std::vector<double*> means;
    if (!d.runs) {
      s.first.resize(checked_mul(g1, cols));
      for (std::size_t j = 0; j < cols; ++j) means.push_back(s.first.data() + j * g1);
      chunked(d, cols, g1, means, {}, s, [&](std::size_t t, double* const* tab, double*) {
        for_blocks(cols, [&](std::size_t c0, auto kk) {
          constexpr std::size_t K = decltype(kk)::value;
          const auto kern = make_kernel<op, K, Scaled>(rest, c, c0, nullptr, nullptr, sc, wt);
          sum_rows(d, d.chunk_row[t], d.chunk_row[t + 1], kern, tab + c0);
        });
      });
      // Groups without rows give 0/0, never read (no row has their code).
      for (double* m : means)
        for (std::size_t g = 0; g < g1; ++g) m[g] = m[g] / d.first_counts[g];
      if (op == Op::Finish && c.means != nullptr)
        for (std::size_t j = 0; j < cols; ++j)
          if (c.means[j] != nullptr)
            for (std::size_t g = 0; g < g1; ++g)
              c.means[j][g] = d.first_counts[g] > 0.0 ? means[j][g] : 0.0;
    }
    chunked(d, cols, width, out, totals, s, [&](std::size_t t, double* const* tab, double* scal) {
      for_blocks(cols, [&](std::size_t c0, auto kk) {
        constexpr std::size_t K = decltype(kk)::value;
        const auto kern = make_kernel<op, K, Scaled>(rest, c, c0, width > 0 ? tab : nullptr,
                                                     op == Op::Rhs ? scal : nullptr, sc, wt);
        if (d.runs) {
          over_runs(d, t, kern);
        } else {
          emit_rows(d, d.chunk_row[t], d.chunk_row[t + 1], kern, means.data() + c0);
        }
      });
    });
  });
}

}  // namespace

ReducedDesign reduced_design(const FixedEffects& fe, std::size_t first_index) {
  check_index(first_index, fe.size());
  const std::size_t n = fe.rows();
  ReducedDesign d;
  d.n = n;
  d.first = fe.tables(first_index).codes();
  check_len(d.first.size(), n);
  const std::span<const double> sizes = fe.sizes(first_index);
  d.first_counts.assign(sizes.begin(), sizes.end());
  std::size_t runs = 0;
  if (fe.weighted()) {
    d.weights = fe.weights();
    d.scale = fe.roots();
  }
  for (std::size_t i = 0; i < n; ++i)
    if (i == 0 || d.first[i] != d.first[i - 1]) ++runs;
  std::size_t groups = 0;
  for (const double c : d.first_counts) groups += c > 0.0 ? 1 : 0;
  d.runs = runs == groups;  // no group comes back once left
  std::size_t m = 0;
  for (std::size_t q = 0; q < fe.size(); ++q) {
    if (q == first_index) continue;
    d.rest.push_back(fe.tables(q).codes());
    d.offset.push_back(m);
    m = checked_add(m, fe.tables(q).table_size);
  }
  d.offset.push_back(m);

  const std::size_t t_size = n >= kReducedParallelRows ? thread_pool_size() : 1;
  const std::size_t chunk = n / t_size + (n % t_size != 0 ? 1 : 0);
  if (d.runs) {
    d.run_start.reserve(checked_add(runs, 1));
    for (std::size_t i = 0; i < n; ++i)
      if (i == 0 || d.first[i] != d.first[i - 1]) d.run_start.push_back(i);
    d.run_start.push_back(n);
    // Chunk t takes the runs that start in [t chunk, (t+1) chunk).
    d.chunk_run.push_back(0);
    d.chunk_row.push_back(0);
    std::size_t k = 0;
    for (std::size_t t = 1; t < t_size; ++t) {
      const std::size_t row = std::min(n, t * chunk);
      while (k < runs && d.run_start[k] < row) ++k;
      d.chunk_run.push_back(k);
      d.chunk_row.push_back(d.run_start[k]);
    }
    d.chunk_run.push_back(runs);
    d.chunk_row.push_back(n);
  } else {
    for (std::size_t t = 0; t < t_size; ++t) d.chunk_row.push_back(std::min(n, t * chunk));
    d.chunk_row.push_back(n);
  }
  return d;
}

void reduced_rhs(const ReducedDesign& d, std::span<const double* const> x,
                 std::span<double* const> rhs, std::span<double> x2, ReducedScratch& scratch) {
  check_len(rhs.size(), x.size());
  check_len(x2.size(), x.size());
  const Columns c{x.size(), x.data(), nullptr, nullptr};
  reduced_pass<Op::Rhs>(d, c, d.m(), rhs.first(x.size()), x2.first(x.size()), scratch);
}

void reduced_apply(const ReducedDesign& d, std::span<const double* const> p,
                   std::span<double* const> out, ReducedScratch& scratch) {
  check_len(out.size(), p.size());
  const Columns c{p.size(), p.data(), nullptr, nullptr};
  reduced_pass<Op::Apply>(d, c, d.m(), out.first(p.size()), {}, scratch);
}

void reduced_finish(const ReducedDesign& d, std::span<double* const> x,
                    std::span<const double* const> a, ReducedScratch& scratch,
                    std::span<double* const> first_means) {
  const std::size_t cols = x.size();
  if (!d.rest.empty()) check_len(a.size(), cols);
  // With no rest factor the gathers add nothing: x - 0.0 is x. The
  // coefficient pointers are then never read.
  std::vector<const double*> in(x.begin(), x.end());
  std::vector<const double*> coef(cols, nullptr);
  for (std::size_t j = 0; j < cols && !d.rest.empty(); ++j) coef[j] = a[j];
  // Rows are written in place: every chunk writes its own rows only, and a
  // row's value is read before it is overwritten.
  std::vector<double*> means(cols, nullptr);
  for (std::size_t j = 0; j < cols && j < first_means.size(); ++j) {
    means[j] = first_means[j];
    if (means[j] != nullptr) std::fill(means[j], means[j] + d.first_counts.size(), 0.0);
  }
  const Columns c{cols, in.data(), coef.data(), x.data(), means.data()};
  reduced_pass<Op::Finish>(d, c, 0, {}, {}, scratch);
}

std::vector<double> reduced_diagonal(const ReducedDesign& d) {
  const std::size_t m = d.m();
  std::vector<double> diag(m, 0.0);
  if (d.rest.empty() || d.n == 0) return diag;
  // Rows grouped by the first factor: the runs themselves, or a counting
  // sort; groups then split into chunks of about n / T rows.
  std::vector<std::size_t> start;
  std::vector<std::size_t> order;
  std::vector<std::size_t> chunk_group;
  if (d.runs) {
    start = d.run_start;
    chunk_group = d.chunk_run;
  } else {
    const std::size_t g1 = d.first_counts.size();
    start.assign(checked_add(g1, 1), 0);
    for (std::size_t i = 0; i < d.n; ++i) ++start[static_cast<std::size_t>(d.first[i]) + 1];
    for (std::size_t g = 0; g < g1; ++g) start[g + 1] += start[g];
    order.resize(d.n);
    std::vector<std::size_t> next(start.begin(), start.end() - 1);
    for (std::size_t i = 0; i < d.n; ++i) order[next[static_cast<std::size_t>(d.first[i])]++] = i;
    const std::size_t chunks = d.chunks();
    chunk_group.push_back(0);
    std::size_t g = 0;
    for (std::size_t t = 1; t < chunks; ++t) {
      while (g < g1 && start[g] < d.chunk_row[t]) ++g;
      chunk_group.push_back(g);
    }
    chunk_group.push_back(g1);
  }
  const std::size_t chunks = chunk_group.size() - 1;
  // Every row of group g (n_g rows) in group a of factor q adds
  // 1 - c / n_g, c the rows g and a share: c (1 - c / n_g) = c - c^2 / n_g
  // in all. A group of q that holds whole groups of the first factor only
  // gets exact zeros (1 - n_g / n_g), its coefficient being free. Weighted,
  // rows count by their weights: row i adds w_i (1 - c / n_g), c and n_g
  // sums of weights.
  const double* w = d.weights.empty() ? nullptr : d.weights.data();
  std::vector<double> partial(checked_mul(chunks > 1 ? chunks - 1 : 0, m), 0.0);
  auto task = [&](std::size_t t) {
    double* out = t == 0 ? diag.data() : partial.data() + (t - 1) * m;
    std::vector<double> shared(m, 0.0);
    const std::size_t* rows = d.runs ? nullptr : order.data();
    for (std::size_t g = chunk_group[t]; g < chunk_group[t + 1]; ++g) {
      const std::size_t b = start[g];
      const std::size_t e = start[g + 1];
      if (b == e) continue;
      const double total = d.first_counts[static_cast<std::size_t>(d.first[rows ? rows[b] : b])];
      for (std::size_t q = 0; q < d.rest.size(); ++q) {
        const std::int32_t* cq = d.rest[q].data();
        double* sh = shared.data() + d.offset[q];
        double* o = out + d.offset[q];
        if (w != nullptr) {
          auto row = [&](std::size_t k) { return rows == nullptr ? k : rows[k]; };
          for (std::size_t k = b; k < e; ++k) sh[static_cast<std::size_t>(cq[row(k)])] += w[row(k)];
          for (std::size_t k = b; k < e; ++k) {
            const auto a = static_cast<std::size_t>(cq[row(k)]);
            o[a] += w[row(k)] * (1.0 - sh[a] / total);
          }
          for (std::size_t k = b; k < e; ++k) sh[static_cast<std::size_t>(cq[row(k)])] = 0.0;
        } else if (rows == nullptr) {
          for (std::size_t k = b; k < e; ++k) sh[static_cast<std::size_t>(cq[k])] += 1.0;
          for (std::size_t k = b; k < e; ++k) {
            const auto a = static_cast<std::size_t>(cq[k]);
            o[a] += 1.0 - sh[a] / total;
          }
          for (std::size_t k = b; k < e; ++k) sh[static_cast<std::size_t>(cq[k])] = 0.0;
        } else {
          for (std::size_t k = b; k < e; ++k) sh[static_cast<std::size_t>(cq[rows[k]])] += 1.0;
          for (std::size_t k = b; k < e; ++k) {
            const auto a = static_cast<std::size_t>(cq[rows[k]]);
            o[a] += 1.0 - sh[a] / total;
          }
          for (std::size_t k = b; k < e; ++k) sh[static_cast<std::size_t>(cq[rows[k]])] = 0.0;
        }
      }
    }
  };
  thread_pool_run(chunks, task);
  for (std::size_t t = 1; t < chunks; ++t) {  // chunk order
    const double* part = partial.data() + (t - 1) * m;
    for (std::size_t i = 0; i < m; ++i) diag[i] += part[i];
  }
  return diag;
}

}  // namespace kestrel
