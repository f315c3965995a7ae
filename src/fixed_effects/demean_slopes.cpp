#include "fixed_effects/demean_slopes.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "fixed_effects/accuracy.hpp"
#include "fixed_effects/preconditioned/pair_laplacian.hpp"
#include "runtime/check.hpp"
#include "runtime/thread_pool.hpp"

namespace kestrel {

namespace {

// Eigenvalues below this fraction of the largest of a level's equilibrated
// Gram matrix (whose diagonal is 1) are collinearity, not signal: a slope
// variable constant in the level beside its intercept leaves one of about
// 1e-16.
constexpr double kRankTolerance = 1e-9;

// The graph preconditioner (graph_preconditioner): its draws' seed, bytes
// per graph entry with the slack of growing lists, the least memory it may
// take, and the fewest levels for which it is worth building (below, the
// level-by-level preconditioner converges in a few iterations anyway).
constexpr std::uint64_t kGraphSeed = 0x6b65737472656c32ull;
constexpr std::size_t kGraphEntryBytes = 32;
constexpr std::size_t kMinGraphShare = std::size_t{1} << 20;
constexpr std::size_t kGraphMinGroups = 64;

// a (k x k, row-major, symmetric) becomes diagonal, its eigenvalues, and v
// the eigenvectors as columns, by cyclic Jacobi rotations (k is the handful
// of terms of one level).
void symmetric_eigen(std::vector<double>& a, std::vector<double>& v, std::size_t k) {
  v.assign(k * k, 0.0);
  for (std::size_t i = 0; i < k; ++i) v[i * k + i] = 1.0;
  for (int sweep = 0; sweep < 64; ++sweep) {
    double off = 0.0;
    double diag = 0.0;
    for (std::size_t i = 0; i < k; ++i) {
      diag += a[i * k + i] * a[i * k + i];
      for (std::size_t j = i + 1; j < k; ++j) off += a[i * k + j] * a[i * k + j];
    }
    if (!(off > 1e-32 * diag)) return;  // also on NaN: nothing sensible to rotate
    for (std::size_t p = 0; p < k; ++p) {
      for (std::size_t q = p + 1; q < k; ++q) {
        const double apq = a[p * k + q];
        if (apq == 0.0) continue;
        const double theta = (a[q * k + q] - a[p * k + p]) / (2.0 * apq);
        const double t = std::fabs(theta) > 1e150
                             ? 0.5 / theta
                             : std::copysign(1.0, theta) /
                                   (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
        const double c = 1.0 / std::sqrt(t * t + 1.0);
        const double s = t * c;
        for (std::size_t r = 0; r < k; ++r) {
          const double arp = a[r * k + p];
          const double arq = a[r * k + q];
          a[r * k + p] = c * arp - s * arq;
          a[r * k + q] = s * arp + c * arq;
        }
        for (std::size_t r = 0; r < k; ++r) {
          const double apr = a[p * k + r];
          const double aqr = a[q * k + r];
          a[p * k + r] = c * apr - s * aqr;
          a[q * k + r] = s * apr + c * aqr;
        }
        for (std::size_t r = 0; r < k; ++r) {
          const double vrp = v[r * k + p];
          const double vrq = v[r * k + q];
          v[r * k + p] = c * vrp - s * vrq;
          v[r * k + q] = s * vrp + c * vrq;
        }
      }
    }
  }
}

// One fixed effect's terms: its codes, its intercept (1, or sqrt(w) when
// weighted) and its slope variables (s per row, row-major, times sqrt(w)),
// and per level the pseudo-inverse of their Gram matrix (k * k values).
struct TermBlock {
  CodeSpan codes;
  std::size_t groups = 0;
  std::size_t k = 0;       // terms: the intercept, if kept, then the slopes
  std::size_t s = 0;       // slope variables
  bool intercept = true;
  const double* root = nullptr;  // sqrt(w) per row, or null (unweighted)
  std::size_t offset = 0;  // of its coefficients among the iterated ones
  std::vector<double> slopes;
  std::vector<double> pinv;
  std::size_t rank = 0;

  std::size_t level(std::size_t r) const { return static_cast<std::size_t>(codes[r]); }
  // Sum over the terms of row r of term value times c[j].
  double fit(std::size_t r, const double* c) const {
    double f = 0.0;
    if (intercept) f = (root != nullptr ? root[r] : 1.0) * *c++;
    const double* x = slopes.data() + r * s;
    for (std::size_t j = 0; j < s; ++j) f += x[j] * c[j];
    return f;
  }
  // c[j] += term value j of row r times v.
  void add(std::size_t r, double v, double* c) const {
    if (intercept) *c++ += root != nullptr ? root[r] * v : v;
    const double* x = slopes.data() + r * s;
    for (std::size_t j = 0; j < s; ++j) c[j] += x[j] * v;
  }
  void terms(std::size_t r, double* t) const {
    if (intercept) *t++ = root != nullptr ? root[r] : 1.0;
    const double* x = slopes.data() + r * s;
    for (std::size_t j = 0; j < s; ++j) t[j] = x[j];
  }
};

TermBlock term_block(CodeSpan codes, std::size_t groups, const SlopeTerms& terms, std::size_t n,
                     std::span<const double> roots) {
  TermBlock b;
  b.codes = codes;
  b.groups = groups;
  b.intercept = terms.intercept;
  b.s = terms.slopes.size();
  b.k = (terms.intercept ? 1 : 0) + b.s;
  b.root = roots.empty() ? nullptr : roots.data();
  if (b.k == 0) panic("a fixed effect without terms");
  if (!roots.empty()) check_len(roots.size(), n);
  check_len(codes.size(), n);
  for (const std::span<const double> x : terms.slopes) check_len(x.size(), n);
  b.slopes.resize(checked_mul(n, b.s));
  for (std::size_t r = 0; r < n; ++r) {
    const double root = roots.empty() ? 1.0 : roots[r];
    for (std::size_t j = 0; j < b.s; ++j) b.slopes[r * b.s + j] = root * terms.slopes[j][r];
  }
  const std::size_t kk = b.k * b.k;
  std::vector<double> gram(checked_mul(groups, kk), 0.0);
  std::vector<double> t(b.k);
  for (std::size_t r = 0; r < n; ++r) {
    const std::size_t g = check_code(codes[r], groups);
    b.terms(r, t.data());
    double* m = gram.data() + g * kk;
    for (std::size_t i = 0; i < b.k; ++i)
      for (std::size_t j = 0; j < b.k; ++j) m[i * b.k + j] += t[i] * t[j];
  }
  b.pinv.assign(gram.size(), 0.0);
  std::vector<double> d(b.k);
  std::vector<double> a(kk);
  std::vector<double> v;
  for (std::size_t g = 0; g < groups; ++g) {
    const double* m = gram.data() + g * kk;
    double largest = 0.0;
    for (std::size_t i = 0; i < b.k; ++i) largest = std::fmax(largest, m[i * b.k + i]);
    if (!(largest > 0.0) || !std::isfinite(largest)) continue;  // no rows, or all zero
    // Equilibrated to a unit diagonal, so that the rank test does not depend
    // on the variables' units; a term that is zero in the level (a slope
    // variable of zeros) is left out.
    for (std::size_t i = 0; i < b.k; ++i) {
      const double mii = m[i * b.k + i];
      d[i] = mii > 1e-300 * largest ? 1.0 / std::sqrt(mii) : 0.0;
    }
    for (std::size_t i = 0; i < b.k; ++i)
      for (std::size_t j = 0; j < b.k; ++j) a[i * b.k + j] = m[i * b.k + j] * d[i] * d[j];
    symmetric_eigen(a, v, b.k);
    double top = 0.0;
    for (std::size_t i = 0; i < b.k; ++i) top = std::fmax(top, a[i * b.k + i]);
    double* p = b.pinv.data() + g * kk;
    for (std::size_t e = 0; e < b.k; ++e) {
      const double lambda = a[e * b.k + e];
      if (!(lambda > kRankTolerance * top)) continue;
      ++b.rank;
      for (std::size_t i = 0; i < b.k; ++i)
        for (std::size_t j = 0; j < b.k; ++j)
          p[i * b.k + j] += d[i] * v[i * b.k + e] * v[j * b.k + e] * d[j] / lambda;
    }
  }
  return b;
}

// g := D' v, in row order.
void apply_dt(std::span<const TermBlock> blocks, const double* v, std::size_t n,
              std::vector<double>& g) {
  std::fill(g.begin(), g.end(), 0.0);
  for (const TermBlock& b : blocks)
    for (std::size_t r = 0; r < n; ++r) b.add(r, v[r], g.data() + b.offset + b.level(r) * b.k);
}

// z := M+ g: the factored graph Laplacian when there is one, else level by
// level.
void precondition(std::span<const TermBlock> blocks, const LaplacianFactor* graph,
                  const std::vector<double>& g, std::vector<double>& z) {
  if (graph != nullptr) {
    std::copy(g.begin(), g.end(), z.begin());
    laplacian_factor_solve(*graph, z);
    return;
  }
  for (const TermBlock& b : blocks) {
    const std::size_t kk = b.k * b.k;
    for (std::size_t l = 0; l < b.groups; ++l) {
      const double* p = b.pinv.data() + l * kk;
      const double* gl = g.data() + b.offset + l * b.k;
      double* zl = z.data() + b.offset + l * b.k;
      for (std::size_t i = 0; i < b.k; ++i) {
        double s = 0.0;
        for (std::size_t j = 0; j < b.k; ++j) s += p[i * b.k + j] * gl[j];
        zl[i] = s;
      }
    }
  }
}

double dot(const double* a, const double* b, std::size_t n) {
  double s = 0.0;
  for (std::size_t i = 0; i < n; ++i) s += a[i] * b[i];
  return s;
}

// Per level, its terms' coefficients from their sums: pinv times sums.
void level_coefficients(const TermBlock& b, const std::vector<double>& sums,
                        std::vector<double>& coef) {
  const std::size_t kk = b.k * b.k;
  for (std::size_t l = 0; l < b.groups; ++l) {
    const double* p = b.pinv.data() + l * kk;
    for (std::size_t i = 0; i < b.k; ++i) {
      double s = 0.0;
      for (std::size_t j = 0; j < b.k; ++j) s += p[i * b.k + j] * sums[l * b.k + j];
      coef[l * b.k + i] = s;
    }
  }
}

// v := v less its projection on the eliminated fixed effect's terms, level by
// level (sums: scratch of groups * k values, coef: the same).
void project_out(const TermBlock& b, double* v, std::size_t n, std::vector<double>& sums,
                 std::vector<double>& coef) {
  std::fill(sums.begin(), sums.end(), 0.0);
  for (std::size_t r = 0; r < n; ++r) b.add(r, v[r], sums.data() + b.level(r) * b.k);
  level_coefficients(b, sums, coef);
  for (std::size_t r = 0; r < n; ++r) v[r] -= b.fit(r, coef.data() + b.level(r) * b.k);
}

// One column's conjugate gradient on the system left once the largest fixed
// effect is eliminated: S beta = D_B' M_A y, with S = D_B' M_A D_B, M_A the
// projection off the eliminated fixed effect A, D_B the other fixed effects'
// terms, preconditioned by their blocks (the inverses of D_B'D_B's level
// blocks). Its residual M_A (y - D_B beta) is the column's.
struct ColumnSolve {
  double* res = nullptr;  // the column in the data
  std::vector<double> q, beta, g, z, p, sums, coef;
  double yy = 0.0;
  double floor2 = 0.0;
  double rz = 0.0;
  double rr = 0.0;
  std::uint64_t iter = 0;
  bool done = false;
  bool converged = false;
  bool limit = false;
};

struct Problem {
  const TermBlock* eliminated = nullptr;
  std::span<const TermBlock> others;
  std::size_t n = 0;
  std::size_t n_coef = 0;  // of the others
  double tol2 = 0.0;
  std::uint64_t max_iter = 0;
  const LaplacianFactor* graph = nullptr;  // see graph_preconditioner
};

// The stopping test on the current state; true when the column is done.
// c.rr: the residual's sum of squares, up to date.
bool finished(const Problem& pb, ColumnSolve& c) {
  if (!std::isfinite(c.rz)) return c.done = true;
  if (c.rz <= pb.tol2 * std::fmax(c.rr, c.floor2) ||
      c.rz <= kRoundingFloor * kRoundingFloor * c.yy) {
    c.converged = true;
    return c.done = true;
  }
  if (c.iter >= pb.max_iter) {
    c.limit = true;
    return c.done = true;
  }
  return false;
}

// scale: the column's centred sum of squares, or null (its own sum of squares).
void start_column(const Problem& pb, ColumnSolve& c, const double* scale) {
  const std::size_t n = pb.n;
  c.q.resize(n);
  c.yy = dot(c.res, c.res, n);
  c.floor2 = kScaleFloor * kScaleFloor * (scale != nullptr ? *scale : c.yy);
  c.sums.resize(pb.eliminated->groups * pb.eliminated->k);
  c.coef.resize(c.sums.size());
  project_out(*pb.eliminated, c.res, n, c.sums, c.coef);
  c.beta.assign(pb.n_coef, 0.0);
  c.g.resize(pb.n_coef);
  c.z.resize(pb.n_coef);
  if (pb.others.empty()) {  // one fixed effect: projected exactly
    c.converged = c.done = true;
    return;
  }
  apply_dt(pb.others, c.res, n, c.g);
  precondition(pb.others, pb.graph, c.g, c.z);
  c.p = c.z;
  c.rz = dot(c.g.data(), c.z.data(), pb.n_coef);
  c.rr = dot(c.res, c.res, n);
  finished(pb, c);
}

// One iteration in three passes over the rows: q = D_B p with its sums on
// A's levels; q less its projection on A, with q.q; the residual's update
// with its sum of squares and D_B' of it.
void step_column(const Problem& pb, ColumnSolve& c) {
  const std::size_t n = pb.n;
  const TermBlock& a = *pb.eliminated;
  std::fill(c.sums.begin(), c.sums.end(), 0.0);
  for (std::size_t r = 0; r < n; ++r) {
    double qr = 0.0;
    for (const TermBlock& b : pb.others) qr += b.fit(r, c.p.data() + b.offset + b.level(r) * b.k);
    c.q[r] = qr;
    a.add(r, qr, c.sums.data() + a.level(r) * a.k);
  }
  level_coefficients(a, c.sums, c.coef);
  double pq = 0.0;
  for (std::size_t r = 0; r < n; ++r) {
    const double qr = c.q[r] - a.fit(r, c.coef.data() + a.level(r) * a.k);
    c.q[r] = qr;
    pq += qr * qr;
  }
  if (!(pq > 0.0) || !std::isfinite(pq)) {  // breakdown
    c.done = true;
    return;
  }
  const double alpha = c.rz / pq;
  for (std::size_t i = 0; i < pb.n_coef; ++i) c.beta[i] += alpha * c.p[i];
  std::fill(c.g.begin(), c.g.end(), 0.0);
  double rr = 0.0;
  for (std::size_t r = 0; r < n; ++r) {
    const double v = c.res[r] - alpha * c.q[r];
    c.res[r] = v;
    rr += v * v;
    for (const TermBlock& b : pb.others) b.add(r, v, c.g.data() + b.offset + b.level(r) * b.k);
  }
  precondition(pb.others, pb.graph, c.g, c.z);
  const double rz_next = dot(c.g.data(), c.z.data(), pb.n_coef);
  const double factor = rz_next / c.rz;
  for (std::size_t i = 0; i < pb.n_coef; ++i) c.p[i] = c.z[i] + factor * c.p[i];
  c.rz = rz_next;
  c.rr = rr;
  ++c.iter;
  finished(pb, c);
}

// With one other fixed effect, intercepts only, beside an eliminated one that
// keeps its intercept (id[year] + firm), S = D_B' M_A D_B is at most the
// Laplacian L that the pair leaves on B without A's slopes (M_A projects out
// more), and equals it where the slopes take nothing: L's factor (exact on
// ring and chain designs, sampled where the fill would grow) preconditions S
// far better than its diagonal blocks on weakly linked designs, where the
// level-by-level preconditioner needs thousands of iterations. Both share
// the null space of B's constant per connected component. Empty when the
// design is of another kind or the graph would not fit in memory_bytes.
template <class Row>
std::vector<LaplacianFactor> graph_factor(const TermBlock& a, const TermBlock& b, std::size_t n,
                                          std::span<const double> weights,
                                          std::size_t memory_bytes) {
  std::vector<LaplacianFactor> out;
  const GroupRows<Row> rows = group_rows<Row>(a.codes, n, a.groups);
  const std::size_t scratch = rows.rows.size() * sizeof(Row);
  const std::size_t share = std::max(memory_bytes > scratch ? memory_bytes - scratch : 0,
                                     kMinGraphShare);
  PairLaplacianOptions po;
  po.seed = kGraphSeed;
  po.exact_entry_budget = share / (3 * kGraphEntryBytes / 2);
  po.entry_limit = share / kGraphEntryBytes;
  po.memory_bytes = share;
  po.weights = weights.empty() ? nullptr : weights.data();
  PairLaplacian pl = pair_laplacian(rows, b.codes, b.groups, po);
  if (!pl.complete) return out;
  LaplacianFactorOptions fo;
  fo.seed = kGraphSeed;
  fo.stream = 1;
  fo.exact_entry_budget = share / kGraphEntryBytes;
  if (pl.thinned) fo.max_exact_degree = 4;
  out.push_back(laplacian_factor(std::move(pl.graph), fo));
  return out;
}

std::vector<LaplacianFactor> graph_preconditioner(const TermBlock& a,
                                                  std::span<const TermBlock> others,
                                                  std::size_t n, std::span<const double> weights,
                                                  std::size_t memory_bytes) {
  if (others.size() != 1 || !a.intercept || !others[0].intercept || others[0].k != 1 ||
      others[0].groups < kGraphMinGroups)
    return {};
  if (n <= std::numeric_limits<std::uint32_t>::max())
    return graph_factor<std::uint32_t>(a, others[0], n, weights, memory_bytes);
  return graph_factor<std::uint64_t>(a, others[0], n, weights, memory_bytes);
}

// Columns are independent: on large problems each runs as a pool task, all
// in step (one iteration per batch), so the observer sees every iteration on
// the calling thread. Each column's arithmetic is the same on any thread.
constexpr std::size_t kParallelRows = 100000;

template <class F>
void for_columns(std::vector<ColumnSolve>& cols, std::vector<std::size_t>& active, std::size_t n,
                 F&& f) {
  auto task = [&](std::size_t t) { f(cols[active[t]]); };
  if (active.size() > 1 && n >= kParallelRows && thread_pool_runners() > 1)
    thread_pool_run(active.size(), task);
  else
    for (std::size_t t = 0; t < active.size(); ++t) task(t);
}

}  // namespace

SlopeReport demean_slopes_columns(std::span<double> data, std::size_t ncols,
                                  const FixedEffects& fe, std::span<const SlopeTerms> terms,
                                  const SolveOptions& options) {
  const std::size_t n = fe.rows();
  check_len(data.size(), checked_mul(n, ncols));
  if (terms.size() != fe.size()) panic("one set of slope terms per fixed effect");
  if (fe.empty()) panic("slopes without a fixed effect");
  if (!options.column_scales.empty()) check_len(options.column_scales.size(), ncols);
  SlopeReport out;
  out.report.stage = DemeanStage::Cg;
  std::vector<TermBlock> blocks;
  for (std::size_t q = 0; q < fe.size(); ++q) {
    blocks.push_back(term_block(fe.codes()[q], fe.n_groups()[q], terms[q], n, fe.roots()));
    out.level_ranks.push_back(blocks.back().rank);
  }
  // The fixed effect with the most coefficients is eliminated (the first of
  // equals); the others' coefficients are laid out in order.
  std::size_t e = 0;
  for (std::size_t q = 1; q < blocks.size(); ++q)
    if (blocks[q].groups * blocks[q].k > blocks[e].groups * blocks[e].k) e = q;
  TermBlock eliminated = std::move(blocks[e]);
  blocks.erase(blocks.begin() + static_cast<std::ptrdiff_t>(e));
  Problem pb;
  for (TermBlock& b : blocks) {
    b.offset = pb.n_coef;
    pb.n_coef = checked_add(pb.n_coef, checked_mul(b.groups, b.k));
  }
  pb.eliminated = &eliminated;
  pb.others = blocks;
  pb.n = n;
  pb.tol2 = options.tol * options.tol;
  pb.max_iter = options.max_iter;
  // Memory for the graph: as much as the data take, as the other solvers.
  const std::vector<LaplacianFactor> graph =
      graph_preconditioner(eliminated, blocks, n, fe.weights(), data.size() * sizeof(double));
  if (!graph.empty()) pb.graph = &graph.front();

  std::vector<ColumnSolve> cols(ncols);
  std::vector<std::size_t> active(ncols);
  for (std::size_t c = 0; c < ncols; ++c) {
    cols[c].res = data.data() + c * n;
    active[c] = c;
  }
  for_columns(cols, active, n, [&](ColumnSolve& c) {
    const std::size_t j = static_cast<std::size_t>(&c - cols.data());
    start_column(pb, c, options.column_scales.empty() ? nullptr : &options.column_scales[j]);
  });
  std::uint64_t iter = 0;
  while (true) {
    active.clear();
    double worst = 0.0;
    for (std::size_t c = 0; c < ncols; ++c) {
      if (cols[c].done) continue;
      active.push_back(c);
      if (cols[c].rr > 0.0) worst = std::fmax(worst, std::sqrt(std::fmax(cols[c].rz, 0.0) / cols[c].rr));
    }
    if (iter > 0 && options.observer != nullptr) options.observer->iteration(iter, worst);
    if (active.empty()) break;
    for_columns(cols, active, n, [&](ColumnSolve& c) { step_column(pb, c); });
    ++iter;
  }
  for (const ColumnSolve& c : cols) {
    out.report.cg_iterations = std::max(out.report.cg_iterations, c.iter);
    if (!c.converged) {
      out.report.converged = false;
      if (c.limit) out.report.limit_reached = true;
    }
  }
  return out;
}

}  // namespace kestrel
