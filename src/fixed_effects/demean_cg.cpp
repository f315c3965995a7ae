#include "fixed_effects/demean_cg.hpp"

#include <cmath>
#include <vector>

#include "check.hpp"
#include "fixed_effects/projection.hpp"

namespace kestrel {

void demean_cg_in_place(ColMajorMatrix& m, std::span<const CodeSpan> codes,
                        std::span<const std::size_t> n_groups, std::uint64_t max_iter,
                        double tol) {
  const std::size_t n = m.nrows;
  const std::size_t total = checked_mul(n, m.ncols);
  check_len(m.data.size(), total);
  if (codes.empty()) return;
  check_len(n_groups.size(), codes.size());

  std::vector<ProjectionFeStorage> storage;
  std::vector<ProjectionFe> fes;
  std::vector<std::vector<double>> tables;
  storage.reserve(codes.size());
  for (std::size_t q = 0; q < codes.size(); ++q) {
    storage.push_back(projection_fe(codes[q], n_groups[q], n, true));
    fes.push_back(storage.back().view());
    tables.emplace_back(fes.back().counts.size());
  }
  if (max_iter == 0) return;  // the data itself, as the iteration never starts

  ProjectionScratch scratch;
  double* x = m.data.data();
  std::vector<double> r(total);
  std::vector<double> p(total);
  std::vector<double> q(total);
  std::vector<double> w(n);  // one column at a time: columns are independent in a sweep

  // r = sweep(x) - x, p = r, and the first rr and xx. Every inner product
  // below is a single running sum over the stacked vector in index order:
  // the fused loops keep that order because columns are visited in order
  // and each column's rows are delivered in order.
  double rr = 0.0;
  double xx = 0.0;
  for (std::size_t c = 0; c < m.ncols; ++c) {
    const double* xc = x + c * n;
    double* rc = r.data() + c * n;
    double* pc = p.data() + c * n;
    projection_sweep(
        n, std::span<const ProjectionFe>(fes), tables, scratch, xc, w.data(),
        [xc](std::size_t i) { return xc[i]; },
        [&](std::size_t i, double v) {
          const double ri = v - xc[i];
          rc[i] = ri;
          pc[i] = ri;
          rr += ri * ri;
          xx += xc[i] * xc[i];
        });
  }

  const double tol2 = tol * tol;
  bool update_p = false;  // p = p * beta + r is applied in the next sweep's first pass
  double beta = 0.0;
  for (std::uint64_t iter = 0;;) {
    // fmax, not std::max: a NaN norm falls back to the floor.
    if (tol2 * std::fmax(xx, 1e-16) > rr) break;

    // q = p - sweep(p), pq = p.q
    double pq = 0.0;
    for (std::size_t c = 0; c < m.ncols; ++c) {
      double* pc = p.data() + c * n;
      const double* rc = r.data() + c * n;
      double* qc = q.data() + c * n;
      projection_sweep(
          n, std::span<const ProjectionFe>(fes), tables, scratch, pc, w.data(),
          [pc, rc, update_p, beta](std::size_t i) {
            if (update_p) pc[i] = pc[i] * beta + rc[i];
            return pc[i];
          },
          [&](std::size_t i, double v) {
            const double qi = pc[i] - v;
            qc[i] = qi;
            pq += pc[i] * qi;
          });
    }
    update_p = false;
    if (std::fabs(pq) < 1e-30) break;  // breakdown: x keeps the previous step

    const double alpha = rr / pq;
    double rr_new = 0.0;
    xx = 0.0;  // the next test's norm, of the x written here
    for (std::size_t i = 0; i < total; ++i) {
      x[i] = x[i] + alpha * p[i];
      r[i] = r[i] - alpha * q[i];
      rr_new += r[i] * r[i];
      xx += x[i] * x[i];
    }
    if (!std::isfinite(rr_new)) break;  // x keeps this step's update

    beta = rr_new / rr;
    update_p = true;
    rr = rr_new;
    if (++iter == max_iter) break;
  }
}

ColMajorMatrix demean_cg_slices(const ColMajorMatrix& m, std::span<const CodeSpan> codes,
                                std::span<const std::size_t> n_groups, std::uint64_t max_iter,
                                double tol) {
  ColMajorMatrix out;
  out.nrows = m.nrows;
  out.ncols = m.ncols;
  const std::size_t total = checked_mul(m.nrows, m.ncols);
  check_len(m.data.size(), total);
  out.data.assign(m.data.begin(), m.data.begin() + static_cast<std::ptrdiff_t>(total));
  demean_cg_in_place(out, codes, n_groups, max_iter, tol);
  return out;
}

}  // namespace kestrel
