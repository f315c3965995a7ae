#include "fixed_effects/preconditioned/preconditioned_demean.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <vector>

#include "runtime/check.hpp"
#include "fixed_effects/preconditioned/block_preconditioner.hpp"
#include "fixed_effects/preconditioned/reduced_operator.hpp"
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

// The conjugate-gradient state of one column, in coefficient space.
struct Column {
  std::span<double> rhs, a, r, z, p, q;
  double x2 = 0.0;   // ||(I - P_1) x||^2
  double rz = 0.0;   // r'z
  double e2 = 0.0;   // ||e||^2 for the current a
  bool active = true;
  bool converged = false;
};

double floor_norm(double e2) { return std::fmax(e2, 1e-16); }

void check_inputs(std::span<double> data, std::size_t nrows, std::size_t ncols,
                  std::span<const CodeSpan> codes, std::span<const std::size_t> n_groups) {
  check_len(data.size(), checked_mul(nrows, ncols));
  check_len(n_groups.size(), codes.size());
  for (std::size_t q = 0; q < codes.size(); ++q) {
    if (n_groups[q] > nrows) panic("preconditioned_demean: more groups than rows");
    check_len(codes[q].size(), nrows);
    for (std::size_t i = 0; i < nrows; ++i) check_code(codes[q][i], n_groups[q]);
  }
}

}  // namespace

SolverReport preconditioned_demean(std::span<double> data, std::size_t nrows, std::size_t ncols,
                                   std::span<const CodeSpan> codes,
                                   std::span<const std::size_t> n_groups, double tol,
                                   std::uint64_t max_iter, IterationObserver* observer) {
  check_inputs(data, nrows, ncols, codes, n_groups);
  SolverReport report;
  if (codes.empty() || nrows == 0 || ncols == 0) {
    report.converged = true;
    return report;
  }
  // The largest factor (the first of equals) is eliminated exactly.
  std::size_t first = 0;
  for (std::size_t q = 1; q < codes.size(); ++q)
    if (n_groups[q] > n_groups[first]) first = q;
  const ReducedDesign design = reduced_design(nrows, codes, n_groups, first);
  ReducedScratch scratch;
  if (codes.size() == 1) {
    for (std::size_t c = 0; c < ncols; ++c) reduced_first_only(design, data.data() + c * nrows, scratch);
    report.converged = true;
    return report;
  }
  if (max_iter == 0) return report;

  const auto t0 = std::chrono::steady_clock::now();
  std::vector<std::size_t> rest_groups;
  for (std::size_t q = 0; q < codes.size(); ++q)
    if (q != first) rest_groups.push_back(n_groups[q]);
  const std::size_t data_bytes = checked_mul(checked_mul(nrows, ncols), sizeof(double));
  const BlockPreconditioner pre = block_preconditioner(design, rest_groups, data_bytes / 2, kSeed);
  report.setup_seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

  const std::size_t m = design.m();
  const WorkBuffer store = work_buffer(checked_mul(checked_mul(m, ncols), 6));
  std::vector<Column> cols(ncols);
  const double tol2 = tol * tol;
  for (std::size_t c = 0; c < ncols; ++c) {
    Column& k = cols[c];
    double* base = store.get() + c * 6 * m;
    k.rhs = {base, m};
    k.a = {base + m, m};
    k.r = {base + 2 * m, m};
    k.z = {base + 3 * m, m};
    k.p = {base + 4 * m, m};
    k.q = {base + 5 * m, m};
    k.x2 = reduced_rhs(design, data.data() + c * nrows, k.rhs, scratch);
    std::fill(k.a.begin(), k.a.end(), 0.0);
    std::copy(k.rhs.begin(), k.rhs.end(), k.r.begin());
    block_preconditioner_apply(pre, k.r, k.z);
    std::copy(k.z.begin(), k.z.end(), k.p.begin());
    k.rz = dot(k.r, k.z);
    k.e2 = k.x2;
    if (!std::isfinite(k.rz)) {
      k.active = false;
    } else if (k.rz <= tol2 * floor_norm(k.e2)) {
      k.active = false;
      k.converged = true;
    }
  }

  std::uint64_t iter = 0;
  auto any_active = [&] {
    return std::any_of(cols.begin(), cols.end(), [](const Column& k) { return k.active; });
  };
  while (any_active() && iter < max_iter) {
    double worst = 0.0;
    for (Column& k : cols) {
      if (!k.active) continue;
      reduced_apply(design, k.p, k.q, scratch);
      const double pq = dot(k.p, k.q);
      if (!(pq > 0.0) || !std::isfinite(pq)) {  // breakdown: a keeps the last step
        k.active = false;
        continue;
      }
      const double alpha = k.rz / pq;
      for (std::size_t i = 0; i < m; ++i) {
        k.a[i] = k.a[i] + alpha * k.p[i];
        k.r[i] = k.r[i] - alpha * k.q[i];
      }
      block_preconditioner_apply(pre, k.r, k.z);
      const double rz = dot(k.r, k.z);
      // ||e||^2 = ||x~||^2 - rhs'a - a'r for e = x~ - A a, A'A = S, A'x~ = rhs.
      k.e2 = k.x2 - dot(k.rhs, k.a) - dot(k.a, k.r);
      if (!std::isfinite(rz)) {
        k.active = false;
        continue;
      }
      const double beta = rz / k.rz;
      k.rz = rz;
      for (std::size_t i = 0; i < m; ++i) k.p[i] = k.z[i] + beta * k.p[i];
      const double ratio = std::sqrt(std::fmax(rz, 0.0) / floor_norm(k.e2));
      if (k.rz <= tol2 * floor_norm(k.e2)) {
        k.active = false;
        k.converged = true;
      } else {
        worst = std::fmax(worst, ratio);
      }
    }
    ++iter;
    if (observer != nullptr) observer->iteration(iter, worst);
  }
  report.iterations = iter;

  // Only now is the data written: an interrupted solve leaves it as it was.
  report.converged = true;
  for (std::size_t c = 0; c < ncols; ++c) {
    reduced_finish(design, data.data() + c * nrows, cols[c].a, scratch);
    report.converged = report.converged && cols[c].converged;
  }
  return report;
}

}  // namespace kestrel
