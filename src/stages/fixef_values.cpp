#include "stages/fixef_values.hpp"

#include <algorithm>
#include <cmath>

#include "fixed_effects/preconditioned/preconditioned_demean.hpp"
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
                         std::span<const double> weights, const SolveOptions& options) {
  const std::size_t n = r.size();
  const Dummies d = dummies(n, codes, n_groups);
  check_len(preference.size(), codes.size());
  for (std::size_t q = 0; q < codes.size(); ++q) check_len(preference[q].size(), n_groups[q]);

  FixefValues out;
  out.references.assign(codes.size(), 0);
  const std::span<const double> w = weights;
  if (!w.empty()) check_len(w.size(), n);
  std::vector<double> alpha(d.m());
  if (codes.size() == 1) {
    std::vector<double> b(d.m());
    if (w.empty()) {
      transpose_apply(d, r.data(), b);
      for (std::size_t g = 0; g < alpha.size(); ++g) alpha[g] = b[g] / d.counts[g];
    } else {
      // Weighted group means: sum w r / sum w, rows in order.
      std::vector<double> wr(n);
      for (std::size_t i = 0; i < n; ++i) wr[i] = w[i] * r[i];
      transpose_apply(d, wr.data(), b);
      std::vector<double> totals(d.m());
      transpose_apply(d, w.data(), totals);
      for (std::size_t g = 0; g < alpha.size(); ++g) alpha[g] = b[g] / totals[g];
    }
  } else if (!codes.empty()) {
    // The demeaning solver's reduced system (largest fixed effect eliminated,
    // graph-preconditioned once the diagonal stalls) gives one least-squares
    // solution; the normalisation below picks the reported one.
    // The solver's norms are sums of squares: r goes in with its largest
    // magnitude scaled to [0.5, 1) by a power of two (exact), so that values of
    // 1e200 or 1e-200 neither overflow nor vanish, and its values come back
    // scaled the other way.
    double largest = 0.0;
    for (const double v : r) largest = std::fmax(largest, std::fabs(v));
    int exponent = 0;
    if (std::isfinite(largest) && largest > 0.0) (void)std::frexp(largest, &exponent);
    const double hi = std::ldexp(1.0, -exponent / 2);
    const double lo = std::ldexp(1.0, -exponent - (-exponent / 2));
    std::vector<double> work(n);
    for (std::size_t i = 0; i < n; ++i) work[i] = r[i] * hi * lo;
    const FixedEffects fe(codes, n_groups, n, w);
    // Weighted: the solver takes the rows scaled by sqrt(w) (its weighted form).
    if (fe.weighted())
      for (std::size_t i = 0; i < n; ++i) work[i] = fe.roots()[i] * work[i];
    std::vector<std::vector<double>> values;
    SolveOptions solve;
    solve.tol = options.tol;
    solve.max_iter = options.max_iter;
    solve.observer = options.observer;
    solve.coefficients = &values;
    const SolveReport report = preconditioned_demean(work, 1, fe, solve);
    out.iterations = report.diagonal_iterations + report.graph_iterations;
    out.converged = report.converged;
    // One column: the fixed effects' values concatenated in order.
    for (std::size_t g = 0; g < values[0].size(); ++g)
      alpha[g] = std::ldexp(values[0][g], exponent);
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
