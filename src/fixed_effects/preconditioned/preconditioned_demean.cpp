#include "fixed_effects/preconditioned/preconditioned_demean.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "fixed_effects/accuracy.hpp"
#include "fixed_effects/preconditioned/block_preconditioner.hpp"
#include "fixed_effects/preconditioned/reduced_operator.hpp"
#include "runtime/check.hpp"
#include "runtime/thread_pool.hpp"
#include "runtime/work_buffer.hpp"

namespace kestrel {

namespace {

// Fixed: the factorization, and so every result, must not vary between runs.
constexpr std::uint64_t kSeed = 0x6b65737472656c31ull;

double dot(std::span<const double> a, std::span<const double> b) {
  double s = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) s += a[i] * b[i];  // index order
  return s;
}

double sum_squares(std::span<const double> v) {
  double s = 0.0;
  for (const double x : v) s += x * x;  // index order
  return s;
}

// The recurrence's residual drifts from the true one by rounding that grows
// with the steps taken, a tiny fraction of the starting residual even on
// hard designs. A claim of convergence is checked against the true residual
// when the target lies this far below the starting residual (columns inside
// or near the span, or a tolerance near rounding), where the drift could
// matter; above it, the check would only cost a pass.
constexpr double kVerifyBelow = 1e-18;

// Verifications with the true residual that may send a column back to
// iterate before it counts as unconverged.
constexpr unsigned kMaxVerifications = 3;

// The conjugate-gradient state of one column, in coefficient space.
struct Column {
  std::span<double> rhs, a, r, z, p, q;
  double x2 = 0.0;  // ||(I - P_1) x||^2
  double floor2 = 0.0;  // kScaleFloor^2 x2: the stopping test's least norm
  double rounding2 = 0.0;  // kRoundingFloor^2 ||x||^2: r'z this small is rounding
  double rz = 0.0;  // r'z
  double e2 = 0.0;  // ||e||^2 for the current a
  bool active = true;
  bool converged = false;
  unsigned verifications = 0;  // true-residual checks so far
  double rz0 = 0.0;  // r'z at a = 0
  bool moved = false;  // a has left 0 (at 0 the recurrence's residual is the true one)
  // r'z of the last kStallWindow + 1 iterations of the current stage, oldest first.
  std::vector<double> history;
  // Stagnation: the residual level last reached by halving, and when.
  double level = std::numeric_limits<double>::infinity();
  std::uint64_t level_at = 0;

  double norm2() const { return std::fmax(e2, floor2); }
  // Whether the stopping rule holds (marks the column done). A residual at
  // the rounding level of the column itself cannot shrink further: where
  // the largest fixed effect absorbs (nearly) all of the column, what is
  // left of it is rounding, and relative to that the iteration would chase
  // noise.
  bool settle(double tol2) {
    if (!std::isfinite(rz)) {
      active = false;
    } else if (rz < tol2 * norm2() || (tol2 > 0.0 && rz <= rounding2)) {
      active = false;
      converged = true;
    }
    return !active;
  }
  // Average residual ratio over the window above kStallRatio.
  bool stalled() const {
    if (history.size() <= kStallWindow) return false;
    const double limit = std::pow(kStallRatio * kStallRatio, kStallWindow);
    return history.back() > limit * history.front();
  }
  void remember() {
    history.push_back(rz);
    if (history.size() > kStallWindow + 1) history.erase(history.begin());
  }
  // Whether the residual has failed to halve for kStagnation iterations
  // (then it stops, not converged): iterating on at the rounding floor of an
  // unreachable tolerance would change nothing.
  bool stagnant(double residual, std::uint64_t iter) {
    if (residual <= 0.5 * level) {
      level = residual;
      level_at = iter;
    }
    return iter - level_at >= kStagnation;
  }
};

// z := M^+ r for the stage's preconditioner.
struct Preconditioner {
  std::vector<double> inverse_diagonal;  // stage 1
  std::optional<BlockPreconditioner> graph;  // stage 2

  void apply(std::span<const double> r, std::span<double> z) const {
    if (graph) {
      block_preconditioner_apply(*graph, r, z);
      return;
    }
    for (std::size_t i = 0; i < r.size(); ++i) z[i] = inverse_diagonal[i] * r[i];
  }
};

// Restarts a column's iteration under the current preconditioner.
void restart(Column& k, const Preconditioner& m) {
  m.apply(k.r, k.z);
  std::copy(k.z.begin(), k.z.end(), k.p.begin());
  k.rz = dot(k.r, k.z);
  k.history.clear();
  k.remember();
  k.level = std::numeric_limits<double>::infinity();
}

}  // namespace

SolveReport preconditioned_demean(std::span<double> data, std::size_t ncols,
                                  const FixedEffects& fe, const SolveOptions& options) {
  const std::size_t nrows = fe.rows();
  const std::span<const CodeSpan> codes = fe.codes();
  check_len(data.size(), checked_mul(nrows, ncols));
  SolveReport report;
  report.stage = codes.size() >= 2   ? DemeanStage::Diagonal
                 : codes.size() == 1 ? DemeanStage::Exact
                                     : DemeanStage::None;
  report.converged = false;
  if (!options.column_raw_sums.empty()) check_len(options.column_raw_sums.size(), ncols);
  const std::vector<std::size_t> coef_offset = options.coefficients != nullptr
                                                   ? fe.coefficient_offsets()
                                                   : std::vector<std::size_t>();
  if (options.coefficients != nullptr)
    options.coefficients->assign(ncols, std::vector<double>(coef_offset.back(), 0.0));
  if (codes.empty() || nrows == 0 || ncols == 0) {
    report.converged = true;
    return report;
  }
  // Tables follow the groups that occur (codes renumbered where the declared
  // number is out of proportion to the rows).
  std::vector<std::size_t> table;
  for (std::size_t q = 0; q < codes.size(); ++q) table.push_back(fe.tables(q).table_size);
  // The largest factor (the first of equals) is eliminated exactly.
  std::size_t first = 0;
  for (std::size_t q = 1; q < codes.size(); ++q)
    if (table[q] > table[first]) first = q;
  const ReducedDesign design = reduced_design(fe, first);
  // Coefficients of fixed effect q, from table slots to the caller's codes
  // (renumbered columns map through their rows).
  auto to_caller = [&](std::size_t q, const double* from, double* to) {
    if (!fe.tables(q).renumbered) {
      std::copy(from, from + table[q], to);
      return;
    }
    const CodeSpan c = fe.tables(q).codes();
    for (std::size_t i = 0; i < nrows; ++i)
      to[static_cast<std::size_t>(codes[q][i])] = from[static_cast<std::size_t>(c[i])];
  };
  // The first factor's means of every column, where the caller wants them.
  std::vector<std::vector<double>> column_means(
      options.coefficients != nullptr ? ncols : 0, std::vector<double>(table[first]));
  std::vector<double*> means_at;
  for (std::vector<double>& v : column_means) means_at.push_back(v.data());
  ReducedScratch scratch;
  std::vector<double*> xs(ncols);
  for (std::size_t c = 0; c < ncols; ++c) xs[c] = data.data() + c * nrows;
  if (codes.size() == 1) {
    reduced_finish(design, xs, {}, scratch, means_at);
    for (std::size_t c = 0; c < column_means.size(); ++c)
      to_caller(0, column_means[c].data(), (*options.coefficients)[c].data());
    report.converged = true;
    return report;
  }
  if (options.max_iter == 0) return report;

  const std::size_t m = design.m();
  const WorkBuffer store = work_buffer(checked_mul(checked_mul(m, ncols), 6));
  std::vector<Column> cols(ncols);
  std::vector<double*> rhs(ncols);
  for (std::size_t c = 0; c < ncols; ++c) {
    Column& k = cols[c];
    double* base = store.get() + c * 6 * m;
    k.rhs = {base, m};
    k.a = {base + m, m};
    k.r = {base + 2 * m, m};
    k.z = {base + 3 * m, m};
    k.p = {base + 4 * m, m};
    k.q = {base + 5 * m, m};
    rhs[c] = base;
  }
  std::vector<double> x2(ncols);
  {
    std::vector<const double*> in(xs.begin(), xs.end());
    reduced_rhs(design, in, rhs, x2, scratch);
  }

  std::vector<std::size_t> rest_groups;
  for (std::size_t q = 0; q < codes.size(); ++q)
    if (q != first) rest_groups.push_back(table[q]);
  Preconditioner pre;
  auto build_graph = [&] {
    const auto t0 = std::chrono::steady_clock::now();
    const std::size_t data_bytes = checked_mul(checked_mul(nrows, ncols), sizeof(double));
    pre.graph = block_preconditioner(design, rest_groups, data_bytes, kSeed);
    report.setup_seconds +=
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    report.stage = DemeanStage::Graph;
  };
  {
    const std::vector<double> diag = reduced_diagonal(design);
    pre.inverse_diagonal.resize(m);
    // A zero diagonal marks a coefficient no row can tell apart from others
    // (its group lies within one group of the largest factor): left at 0.
    for (std::size_t i = 0; i < m; ++i)
      pre.inverse_diagonal[i] = diag[i] > 0.0 ? 1.0 / diag[i] : 0.0;
  }

  const double tol2 = options.tol * options.tol;
  for (std::size_t c = 0; c < ncols; ++c) {
    Column& k = cols[c];
    k.x2 = x2[c];
    k.floor2 = kScaleFloor * kScaleFloor * k.x2;
    const double raw2 = options.column_raw_sums.empty()
                            ? sum_squares(data.subspan(c * nrows, nrows))
                            : options.column_raw_sums[c];
    // An overflowing sum says nothing of the level (callers scale such columns).
    k.rounding2 = std::isfinite(raw2) ? kRoundingFloor * kRoundingFloor * raw2 : 0.0;
    std::fill(k.a.begin(), k.a.end(), 0.0);
    std::copy(k.rhs.begin(), k.rhs.end(), k.r.begin());
    restart(k, pre);
    k.rz0 = k.rz;
    k.e2 = k.x2;
    k.settle(tol2);
  }

  // Preconditioning several columns: one task per column.
  auto precondition = [&](const std::vector<Column*>& act) {
    auto task = [&](std::size_t j) { pre.apply(act[j]->r, act[j]->z); };
    if (pre.graph && act.size() > 1) {
      thread_pool_run(act.size(), task);
    } else {
      for (std::size_t j = 0; j < act.size(); ++j) task(j);
    }
  };

  std::uint64_t iter = 0;
  std::vector<Column*> act;
  std::vector<const double*> ps;
  std::vector<double*> qs;
  auto gather = [&](auto&& pick) {
    act.clear();
    for (Column& k : cols)
      if (pick(k)) act.push_back(&k);
  };
  for (;;) {
    // Iterate until every column has settled or the limit is reached.
    for (;;) {
      gather([](const Column& k) { return k.active; });
      if (act.empty() || iter == options.max_iter) break;
      ps.clear();
      qs.clear();
      for (Column* k : act) {
        ps.push_back(k->p.data());
        qs.push_back(k->q.data());
      }
      reduced_apply(design, ps, qs, scratch);
      for (Column* k : act) {
        const double pq = dot(k->p, k->q);
        if (!(pq > 0.0) || !std::isfinite(pq)) {  // breakdown: a keeps the last step
          k->active = false;
          continue;
        }
        const double alpha = k->rz / pq;
        k->moved = true;
        for (std::size_t i = 0; i < m; ++i) {
          k->a[i] = k->a[i] + alpha * k->p[i];
          k->r[i] = k->r[i] - alpha * k->q[i];
        }
      }
      std::erase_if(act, [](const Column* k) { return !k->active; });
      precondition(act);
      double worst = 0.0;
      bool stall = false;
      for (Column* k : act) {
        const double rz = dot(k->r, k->z);
        // ||e||^2 = ||x~||^2 - rhs'a - a'r for e = x~ - A a, A'A = S, A'x~ = rhs.
        k->e2 = k->x2 - dot(k->rhs, k->a) - dot(k->a, k->r);
        const double beta = rz / k->rz;
        k->rz = rz;
        if (k->settle(tol2)) continue;
        for (std::size_t i = 0; i < m; ++i) k->p[i] = k->z[i] + beta * k->p[i];
        const double residual = std::sqrt(std::fmax(rz, 0.0) / k->norm2());
        worst = std::fmax(worst, residual);
        k->remember();
        stall = stall || k->stalled();
        if (pre.graph && k->stagnant(residual, iter + 1)) k->active = false;
      }
      ++iter;
      if (pre.graph) {
        ++report.graph_iterations;
      } else {
        ++report.diagonal_iterations;
      }
      if (options.observer != nullptr) options.observer->iteration(iter, worst);
      if (stall && !pre.graph) {
        build_graph();
        for (Column& k : cols)
          if (k.active) restart(k, pre);
      }
    }
    // The recurrence's residual drifts from the true one, and near the
    // rounding level (a column inside the fixed effects' span) it can
    // claim convergence for coefficients that are far off. Every column
    // that claims it is checked against its true residual rhs - S a; one
    // that fails goes back to iterating from there.
    gather([&](const Column& k) {
      return k.converged && k.moved && k.verifications < kMaxVerifications &&
             tol2 * k.norm2() < kVerifyBelow * k.rz0;
    });
    if (act.empty()) break;
    ps.clear();
    qs.clear();
    for (Column* k : act) {
      ps.push_back(k->a.data());
      qs.push_back(k->q.data());
    }
    reduced_apply(design, ps, qs, scratch);
    bool again = false;
    for (Column* k : act) {
      ++k->verifications;
      for (std::size_t i = 0; i < m; ++i) k->r[i] = k->rhs[i] - k->q[i];
      pre.apply(k->r, k->z);
      k->rz = dot(k->r, k->z);
      k->e2 = k->x2 - dot(k->rhs, k->a) - dot(k->a, k->r);
      k->active = true;
      k->converged = false;
      if (k->settle(tol2)) {
        k->verifications = kMaxVerifications;  // done for good
        continue;
      }
      if (k->verifications == kMaxVerifications) {  // keeps failing: unconverged
        k->active = false;
        continue;
      }
      restart(*k, pre);
      again = again || iter < options.max_iter;
    }
    if (!again) break;
  }
  for (const Column& k : cols)
    report.limit_reached = report.limit_reached || (k.active && iter == options.max_iter);

  // Only now is the data written: an interrupted solve leaves it as it was.
  std::vector<const double*> as(ncols);
  report.converged = true;
  for (std::size_t c = 0; c < ncols; ++c) {
    as[c] = cols[c].a.data();
    report.converged = report.converged && cols[c].converged;
  }
  if (options.coefficients == nullptr) {
    reduced_finish(design, xs, as, scratch);
    return report;
  }
  reduced_finish(design, xs, as, scratch, means_at);
  for (std::size_t c = 0; c < ncols; ++c) {
    double* out = (*options.coefficients)[c].data();
    to_caller(first, column_means[c].data(), out + coef_offset[first]);
    for (std::size_t q = 0, k = 0; q < codes.size(); ++q) {
      if (q == first) continue;
      to_caller(q, cols[c].a.data() + design.offset[k++], out + coef_offset[q]);
    }
  }
  return report;
}

}  // namespace kestrel
