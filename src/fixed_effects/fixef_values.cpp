#include "fixed_effects/fixef_values.hpp"

#include <algorithm>
#include <cmath>

#include "fixed_effects/union_find.hpp"
#include "runtime/check.hpp"

namespace kestrel {

namespace {

// The dummies D of Q fixed effects over n rows, their values stacked: fixed
// effect q owns entries offset[q] .. offset[q+1]-1.
struct Dummies {
  std::size_t n = 0;
  std::span<const CodeSpan> codes;
  std::vector<std::size_t> offset;
  std::vector<double> counts;  // m: rows per group
  std::size_t m() const { return offset.back(); }
};

Dummies dummies(std::size_t n, std::span<const CodeSpan> codes,
                std::span<const std::size_t> n_groups) {
  check_len(n_groups.size(), codes.size());
  Dummies d;
  d.n = n;
  d.codes = codes;
  d.offset.push_back(0);
  for (std::size_t q = 0; q < codes.size(); ++q)
    d.offset.push_back(checked_add(d.offset.back(), n_groups[q]));
  d.counts.assign(d.m(), 0.0);
  for (std::size_t q = 0; q < codes.size(); ++q) {
    check_len(codes[q].size(), n);
    double* counts = d.counts.data() + d.offset[q];
    for (std::size_t i = 0; i < n; ++i) counts[check_code(codes[q][i], n_groups[q])] += 1.0;
  }
  for (const double c : d.counts)
    if (c == 0.0) panic("fixef_values: a group without rows");
  return d;
}

// out := D'v, each group's sum over its rows in row order.
void transpose_apply(const Dummies& d, const double* v, std::span<double> out) {
  std::fill(out.begin(), out.end(), 0.0);
  for (std::size_t q = 0; q < d.codes.size(); ++q) {
    double* o = out.data() + d.offset[q];
    const std::int32_t* c = d.codes[q].data();
    for (std::size_t i = 0; i < d.n; ++i) o[c[i]] += v[i];
  }
}

// out := D'D p in one pass: each row's fitted value, then its share of every
// group sum, rows in order.
void normal_apply(const Dummies& d, std::span<const double> p, std::span<double> out) {
  std::fill(out.begin(), out.end(), 0.0);
  const std::size_t q_count = d.codes.size();
  for (std::size_t i = 0; i < d.n; ++i) {
    double u = 0.0;
    for (std::size_t q = 0; q < q_count; ++q)
      u += p[d.offset[q] + static_cast<std::size_t>(d.codes[q][i])];
    for (std::size_t q = 0; q < q_count; ++q)
      out[d.offset[q] + static_cast<std::size_t>(d.codes[q][i])] += u;
  }
}

double dot(std::span<const double> a, std::span<const double> b) {
  double s = 0.0;
  for (std::size_t j = 0; j < a.size(); ++j) s += a[j] * b[j];  // index order
  return s;
}

// z := rho / counts, returning rho'z.
double precondition(std::span<const double> rho, std::span<const double> counts,
                    std::span<double> z) {
  double s = 0.0;
  for (std::size_t j = 0; j < rho.size(); ++j) {
    z[j] = rho[j] / counts[j];
    s += rho[j] * z[j];
  }
  return s;
}

// Preconditioned conjugate gradient on D'D alpha = b from alpha = 0.
void solve_normal(const Dummies& d, std::span<const double> b, std::span<double> alpha,
                  const FixefValuesOptions& options, FixefValues& out) {
  const std::size_t m = d.m();
  std::vector<double> rho(b.begin(), b.end()), z(m), p(m), q(m);
  std::fill(alpha.begin(), alpha.end(), 0.0);
  double rz = precondition(rho, d.counts, z);
  const double rz0 = rz;
  const double stop = options.tol * options.tol * rz0;
  std::copy(z.begin(), z.end(), p.begin());
  out.converged = !(rz > stop);  // also true for b = 0
  while (!out.converged && out.iterations < options.max_iter) {
    normal_apply(d, p, q);
    const double pq = dot(p, q);
    if (!(pq > 0.0) || !std::isfinite(pq)) break;  // breakdown: alpha keeps the last step
    const double a = rz / pq;
    for (std::size_t j = 0; j < m; ++j) {
      alpha[j] = alpha[j] + a * p[j];
      rho[j] = rho[j] - a * q[j];
    }
    const double rz_next = precondition(rho, d.counts, z);
    if (!std::isfinite(rz_next)) break;
    const double beta = rz_next / rz;
    rz = rz_next;
    for (std::size_t j = 0; j < m; ++j) p[j] = z[j] + beta * p[j];
    ++out.iterations;
    out.converged = rz <= stop;
    if (options.observer != nullptr)
      options.observer->iteration(out.iterations, std::sqrt(rz / rz0));
  }
}

// Whether level a is preferred to level b as a reference (ties: the lower level).
bool preferred(CodeSpan preference, std::size_t a, std::size_t b) {
  return preference[a] < preference[b] || (preference[a] == preference[b] && a < b);
}

// Two fixed effects: one reference of the second per connected component.
void normalise_pair(const Dummies& d, std::span<const CodeSpan> preference, FixefValues& out) {
  const std::size_t g1 = d.offset[1];
  const std::size_t g2 = d.offset[2] - g1;
  UnionFind components(g1 + g2);
  for (std::size_t i = 0; i < d.n; ++i)
    components.unite(static_cast<std::size_t>(d.codes[0][i]),
                     g1 + static_cast<std::size_t>(d.codes[1][i]));
  constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  std::vector<std::size_t> reference(g1 + g2, kNone);  // by root
  for (std::size_t g = 0; g < g2; ++g) {
    std::size_t& ref = reference[components.find(g1 + g)];
    if (ref == kNone || preferred(preference[1], g, ref)) ref = g;
  }
  std::vector<double> shift(g1 + g2, 0.0);  // by root
  std::size_t count = 0;
  for (std::size_t v = 0; v < g1 + g2; ++v) {
    if (reference[v] == kNone) continue;
    shift[v] = out.values[1][reference[v]];
    ++count;
  }
  for (std::size_t g = 0; g < g2; ++g) out.values[1][g] -= shift[components.find(g1 + g)];
  for (std::size_t h = 0; h < g1; ++h) out.values[0][h] += shift[components.find(h)];
  // The references are exactly 0, not a difference that rounds near it.
  for (std::size_t v = 0; v < g1 + g2; ++v)
    if (reference[v] != kNone) out.values[1][reference[v]] = 0.0;
  out.references[1] = count;
}

// Three or more: one reference per fixed effect after the first.
void normalise_each(const Dummies& d, std::span<const CodeSpan> preference, FixefValues& out) {
  for (std::size_t q = 1; q < d.codes.size(); ++q) {
    std::vector<double>& v = out.values[q];
    std::size_t ref = 0;
    for (std::size_t g = 1; g < v.size(); ++g)
      if (preferred(preference[q], g, ref)) ref = g;
    const double shift = v[ref];
    for (double& x : v) x -= shift;
    v[ref] = 0.0;
    for (double& x : out.values[0]) x += shift;
    out.references[q] = 1;
  }
}

}  // namespace

FixefValues fixef_values(std::span<const double> r, std::span<const CodeSpan> codes,
                         std::span<const std::size_t> n_groups,
                         std::span<const CodeSpan> preference,
                         const FixefValuesOptions& options) {
  const std::size_t n = r.size();
  const Dummies d = dummies(n, codes, n_groups);
  check_len(preference.size(), codes.size());
  for (std::size_t q = 0; q < codes.size(); ++q) check_len(preference[q].size(), n_groups[q]);

  FixefValues out;
  out.references.assign(codes.size(), 0);
  std::vector<double> b(d.m());
  transpose_apply(d, r.data(), b);
  std::vector<double> alpha(d.m());
  if (codes.size() == 1) {
    for (std::size_t g = 0; g < alpha.size(); ++g) alpha[g] = b[g] / d.counts[g];
  } else if (!codes.empty()) {
    solve_normal(d, b, alpha, options, out);
  }
  for (std::size_t q = 0; q < codes.size(); ++q)
    out.values.emplace_back(alpha.begin() + static_cast<std::ptrdiff_t>(d.offset[q]),
                            alpha.begin() + static_cast<std::ptrdiff_t>(d.offset[q + 1]));
  if (codes.size() == 2)
    normalise_pair(d, preference, out);
  else if (codes.size() > 2)
    normalise_each(d, preference, out);
  return out;
}

}  // namespace kestrel
