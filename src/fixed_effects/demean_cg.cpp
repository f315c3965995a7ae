#include "fixed_effects/demean_cg.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "runtime/check.hpp"
#include "fixed_effects/projection.hpp"
#include "runtime/thread_pool.hpp"
#include "runtime/work_buffer.hpp"

namespace kestrel {

namespace {

// The per-row loops that carry an ordered running sum live in small
// functions of their own, so that the sums stay in registers: inside the
// large solver body the compiler kept them in memory, adding a store and a
// reload to every step of the chain.

// r = swept x - x, p = r; returns the running sums of r_i^2 and x_i^2.
[[gnu::noinline]] void finish_residual(std::size_t n, const SweepTail& tail, const double* x,
                                       double* r, double* p, double& rr, double& xx) {
  double rr_c = rr;
  double xx_c = xx;
  if (tail.scale != nullptr) {
    for (std::size_t i = 0; i < n; ++i) {
      const double ri = tail.scaled_at(i) - x[i];
      r[i] = ri;
      p[i] = ri;
      rr_c += ri * ri;
      xx_c += x[i] * x[i];
    }
    rr = rr_c;
    xx = xx_c;
    return;
  }
  for (std::size_t i = 0; i < n; ++i) {
    const double ri = tail.at(i) - x[i];
    r[i] = ri;
    p[i] = ri;
    rr_c += ri * ri;
    xx_c += x[i] * x[i];
  }
  rr = rr_c;
  xx = xx_c;
}

// q = p - swept p; returns the running sum of p_i * q_i continued from pq.
[[gnu::noinline]] double finish_direction(std::size_t n, const SweepTail& tail, const double* p,
                                         double* q, double pq) {
  if (tail.scale != nullptr) {
    for (std::size_t i = 0; i < n; ++i) {
      const double qi = p[i] - tail.scaled_at(i);
      q[i] = qi;
      pq += p[i] * qi;
    }
    return pq;
  }
  for (std::size_t i = 0; i < n; ++i) {
    const double qi = p[i] - tail.at(i);
    q[i] = qi;
    pq += p[i] * qi;
  }
  return pq;
}

// Running sum of v_i^2 in index order.
[[gnu::noinline]] double sum_squares(std::size_t total, const double* v) {
  double s = 0.0;
  for (std::size_t i = 0; i < total; ++i) s += v[i] * v[i];
  return s;
}

// Running sum of a_i * b_i in index order.
[[gnu::noinline]] double dot_ordered(std::size_t total, const double* a, const double* b) {
  double s = 0.0;
  for (std::size_t i = 0; i < total; ++i) s += a[i] * b[i];
  return s;
}

// v -= alpha d (subtract) or v += alpha d, returning the running sum of v_i^2 (in index order).
[[gnu::noinline]] double axpy_norm(std::size_t total, double alpha, double* v, const double* d,
                                   bool subtract) {
  double s = 0.0;
  if (subtract) {
    for (std::size_t i = 0; i < total; ++i) {
      v[i] = v[i] - alpha * d[i];
      s += v[i] * v[i];
    }
  } else {
    for (std::size_t i = 0; i < total; ++i) {
      v[i] = v[i] + alpha * d[i];
      s += v[i] * v[i];
    }
  }
  return s;
}

// x += alpha p with xx = x.x, and r -= alpha q with rr_new = r.r. The two
// updates share nothing, so on large problems they run as two pool tasks:
// each ordered sum is still a single chain over the whole vector.
void step(std::size_t total, double alpha, double* x, double* r, const double* p,
          const double* q, double& rr_new, double& xx) {
  double sums[2] = {0.0, 0.0};
  auto task = [&](std::size_t t) {
    sums[t] = t == 0 ? axpy_norm(total, alpha, x, p, false) : axpy_norm(total, alpha, r, q, true);
  };
  if (total >= kProjectionParallelRows) {
    thread_pool_run(2, task);
  } else {
    task(0);
    task(1);
  }
  xx = sums[0];
  rr_new = sums[1];
}

}  // namespace

SolveReport demean_cg_columns(std::span<double> data, std::size_t ncols, const FixedEffects& fe,
                              const SolveOptions& options, const CgRun& run,
                              std::span<double> spare) {
  const std::uint64_t max_iter = options.max_iter;
  const double tol = options.tol;
  const std::size_t n = fe.rows();
  const std::size_t total = checked_mul(n, ncols);
  check_len(data.size(), total);
  SolveReport outcome;
  outcome.stage = DemeanStage::Cg;
  if (fe.empty()) return outcome;
  outcome.converged = false;

  std::vector<ProjectionFe> fes;
  fes.reserve(fe.size());
  for (std::size_t q = 0; q < fe.size(); ++q) fes.push_back(projection_fe(fe, q, true));
  // The coefficients found so far: zero until the first step.
  // (Only asked for: declared numbers of groups may be far beyond memory.)
  std::size_t n_coef = 0;
  if (run.coefficients != nullptr) {
    n_coef = fe.coefficient_offsets().back();
    run.coefficients->assign(checked_mul(n_coef, ncols), 0.0);
  }
  if (max_iter == 0) return outcome;  // the data itself, as the iteration never starts

  StackedSweep sweep(n, std::span<const ProjectionFe>(fes), ncols);
  // With coefficients: every vector of the iteration lies in x0 + span(D)
  // (x) or in span(D) (r, p, q), and its coefficients follow it through the
  // same recurrences, in table space (the sweep's groups): x = x0 - D cx.
  const bool track = run.coefficients != nullptr;
  const std::size_t mt = sweep.means_stride();
  std::vector<double> cx(track ? mt * ncols : 0, 0.0);
  std::vector<double> cr(cx.size());
  std::vector<double> cp(cx.size());
  std::vector<double> cq(cx.size());
  double* x = data.data();
  // Every entry is written before it is read, so no zero fill. A sweep's
  // intermediate values go to the vector its last subtraction overwrites
  // row by row (r for the first sweep, q afterwards).
  const WorkBuffer r_buf = work_buffer(total);
  const WorkBuffer p_buf = work_buffer(total);
  const WorkBuffer q_buf = spare.size() >= total ? WorkBuffer() : work_buffer(total);
  double* r = r_buf.get();
  double* p = p_buf.get();
  double* q = q_buf ? q_buf.get() : spare.data();
  // Each ordered running sum (r.r, x.x, p.q) is a single chain over the
  // stacked vector in index order. With one runner, or one column, the last
  // subtraction carries it row by row; otherwise the subtraction is shared
  // over the pool and the chain follows in a pass of its own.
  const bool shared_tail = ncols > 1 && thread_pool_runners() > 1 && n >= kProjectionParallelRows;

  // r = sweep(x) - x, p = r, and the first rr and xx.
  double rr = 0.0;
  double xx = 0.0;
  sweep.passes(x, r, n, [x, n](std::size_t c, std::size_t i) { return x[c * n + i]; },
               track ? cr.data() : nullptr);
  // r = swept x - x = -D (means subtracted)
  for (std::size_t k = 0; k < cr.size(); ++k) {
    cr[k] = -cr[k];
    cp[k] = cr[k];
  }
  if (shared_tail) {
    sweep.finish([x, r, p, n](std::size_t c, std::size_t i, double v) {
      const std::size_t at = c * n + i;
      const double ri = v - x[at];
      r[at] = ri;
      p[at] = ri;
    });
    double sums[2] = {0.0, 0.0};
    auto task = [&](std::size_t t) { sums[t] = sum_squares(total, t == 0 ? r : x); };
    thread_pool_run(2, task);
    rr = sums[0];
    xx = sums[1];
  } else {
    for (std::size_t c = 0; c < ncols; ++c)
      finish_residual(n, sweep.tail(c), x + c * n, r + c * n, p + c * n, rr, xx);
  }

  const double tol2 = tol * tol;
  bool update_p = false;  // p = p * beta + r is applied in the next sweep's first pass
  double beta = 0.0;
  // Where the demeaned data are (nearly) zero, a test relative to the
  // iterate's norm cannot be met: r then reaches the rounding level of the
  // data themselves, after which p is noise, p.q cancels and the steps blow
  // the noise up into a wrong answer that the relative test accepts. Two
  // rules keep the iteration out of that regime: the residual counts as
  // converged once it is within kRoundingFloor of the data's own norm (the
  // initial x.x), and, since the iterate's norm can only fall in exact
  // arithmetic (the error decreases monotonically and stays orthogonal to
  // the limit), a step that raises it by more than rounding ends the
  // iteration unconverged. No test holds an absolute number: data of tiny
  // units are demeaned as data of any other.
  const double rounding_floor = kRoundingFloor * kRoundingFloor * xx;
  const double floor2 = run.floor_norm2;
  // fmax, not std::max: a NaN norm falls back to the floor.
  auto done = [&] {
    return tol2 * std::fmax(xx, floor2) > rr || rr < rounding_floor || (rr == 0.0 && tol2 > 0.0);
  };
  for (std::uint64_t& iter = outcome.cg_iterations;;) {
    if (done()) {
      outcome.converged = true;
      break;
    }

    // q = p - sweep(p), pq = p.q
    double pq = 0.0;
    sweep.passes(p, q, n, [p, r, n, update_p, beta](std::size_t c, std::size_t i) {
      double* pi = p + c * n + i;
      if (update_p) *pi = *pi * beta + r[c * n + i];
      return *pi;
    }, track ? cq.data() : nullptr);
    if (track && update_p)
      for (std::size_t k = 0; k < cp.size(); ++k) cp[k] = cp[k] * beta + cr[k];
    if (shared_tail) {
      sweep.finish([p, q, n](std::size_t c, std::size_t i, double v) {
        const std::size_t at = c * n + i;
        q[at] = p[at] - v;
      });
      pq = dot_ordered(total, p, q);
    } else {
      for (std::size_t c = 0; c < ncols; ++c)
        pq = finish_direction(n, sweep.tail(c), p + c * n, q + c * n, pq);
    }
    if (!(pq > 0.0)) break;  // breakdown: x keeps the previous step

    const double alpha = rr / pq;
    double rr_new = 0.0;
    const double xx_before = xx;
    step(total, alpha, x, r, p, q, rr_new, xx);  // xx: the next test's norm
    for (std::size_t k = 0; k < cx.size(); ++k) {  // x += alpha p, r -= alpha q
      cx[k] = cx[k] - alpha * cp[k];
      cr[k] = cr[k] - alpha * cq[k];
    }
    if (!std::isfinite(rr_new)) break;  // x keeps this step's update
    if (xx > xx_before * (1.0 + kGrowthLimit)) {  // x keeps this step's update
      ++iter;
      break;
    }

    beta = rr_new / rr;
    update_p = true;
    rr = rr_new;
    ++iter;
    if (options.observer != nullptr)
      options.observer->iteration(iter, rr > 0.0 ? std::sqrt(rr / std::fmax(xx, floor2)) : 0.0);
    if (iter == max_iter) {
      outcome.converged = done();
      outcome.limit_reached = !outcome.converged;
      break;
    }
  }
  if (track) {
    // Back from table slots to the caller's codes (renumbered columns map
    // through their rows; groups without rows keep 0).
    std::vector<double>& out = *run.coefficients;
    for (std::size_t c = 0; c < ncols; ++c) {
      std::size_t at = c * n_coef;
      for (std::size_t f = 0; f < fe.size(); ++f) {
        const double* from = cx.data() + c * mt + sweep.means_offset(f);
        double* to = out.data() + at;
        const CompactCodes& table = fe.tables(f);
        if (!table.renumbered) {
          // A slot without rows holds its sweep's 0/0; its coefficient is 0.
          const std::span<const double> sizes = fe.sizes(f);
          for (std::size_t g = 0; g < table.table_size; ++g)
            to[g] = sizes[g] > 0.0 ? from[g] : 0.0;
        } else {
          const CodeSpan used = table.codes();
          const CodeSpan codes = fe.codes()[f];
          for (std::size_t i = 0; i < n; ++i)
            to[static_cast<std::size_t>(codes[i])] = from[static_cast<std::size_t>(used[i])];
        }
        at += fe.n_groups()[f];
      }
    }
  }
  return outcome;
}

}  // namespace kestrel
