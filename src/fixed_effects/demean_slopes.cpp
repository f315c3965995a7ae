#include "fixed_effects/demean_slopes.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <queue>
#include <utility>

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

// The graph preconditioner (build_graph): its draws' seed, bytes
// per graph entry with the slack of growing lists, the least memory it may
// take, the fewest levels for which it is worth building (below, the
// level-by-level preconditioner converges in a few iterations anyway) and
// the most levels one level may meet (a clique of d levels costs d^2).
constexpr std::uint64_t kGraphSeed = 0x6b65737472656c32ull;
constexpr std::size_t kGraphEntryBytes = 32;
constexpr std::size_t kMinGraphShare = std::size_t{1} << 20;
constexpr std::size_t kGraphMinGroups = 64;
constexpr std::size_t kGraphMaxDegree = 256;
constexpr std::size_t kGraphBytesPerRow = 32;
// Pairs per chunk of S's products and the most chunks (see PairChunks); rows
// per chunk when the pairs are built, and the scratch their chunks may take.
constexpr std::size_t kPairsPerChunk = std::size_t{1} << 16;
constexpr std::size_t kMaxPairChunks = 16;
constexpr std::size_t kRowsPerPairChunk = std::size_t{1} << 16;
constexpr std::size_t kPairScratchBytes = std::size_t{64} << 20;
// The longest step (rz / p'Sp) taken with the graph's factor; see step_column.
constexpr double kGraphLongestStep = 1e6;

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

// y := p x for one level's k x k pseudo-inverse p (row-major).
void solve_level(const double* p, const double* x, double* y, std::size_t k) {
  for (std::size_t i = 0; i < k; ++i) {
    double s = 0.0;
    for (std::size_t j = 0; j < k; ++j) s += p[i * k + j] * x[j];
    y[i] = s;
  }
}

// z := the level blocks' pseudo-inverses times g (the level-by-level
// preconditioner).
void block_precondition(std::span<const TermBlock> blocks, const std::vector<double>& g,
                        std::vector<double>& z) {
  for (const TermBlock& b : blocks)
    for (std::size_t l = 0; l < b.groups; ++l)
      solve_level(b.pinv.data() + l * b.k * b.k, g.data() + b.offset + l * b.k,
                  z.data() + b.offset + l * b.k, b.k);
}

double dot(const double* a, const double* b, std::size_t n) {
  double s = 0.0;
  for (std::size_t i = 0; i < n; ++i) s += a[i] * b[i];
  return s;
}

// Per level, its terms' coefficients from their sums: pinv times sums.
void level_coefficients(const TermBlock& b, const std::vector<double>& sums,
                        std::vector<double>& coef) {
  for (std::size_t l = 0; l < b.groups; ++l)
    solve_level(b.pinv.data() + l * b.k * b.k, sums.data() + l * b.k, coef.data() + l * b.k,
                b.k);
}

// With one other fixed effect B, intercepts only, beside an eliminated one A
// that keeps its intercept (id[year] + firm), S = D_B' M_A D_B is a sum over
// A's levels of small blocks among the B-levels each meets: for level a with
// Gram pseudo-inverse P and, per B-level f it meets, u_f the sum of a's terms
// (times B's, sqrt(w) when weighted) over its rows in f,
// S_a = diag(m_af) - [u_f' P u_g], m_af the rows' weight. Its rows sum to
// zero (1 is among a's terms); without slopes it is the pair's clique
// n_af n_ag / n_a, a graph Laplacian, but slopes make some off-diagonal
// entries positive. S itself is sparse where the design is weakly linked
// (ring and chain designs, where the level-by-level preconditioner needs
// thousands of iterations) and is then factored exactly (SignedFactor);
// where its fill would pass the memory, the Laplacian of its negative
// entries is factored instead (exact or sampled, laplacian_factor.hpp). On
// well-mixed designs S is dense, the graph is given up while it is built and
// the level blocks serve (they converge in a few iterations there).
struct SignedGraph {
  std::vector<std::vector<std::pair<std::uint32_t, double>>> adj;  // off-diagonal entries
  std::vector<double> diag;
  std::size_t entries = 0;
};

// What S = D_B' M_A D_B needs of the rows when B is one fixed effect with a
// single term: per level a of A, the B-levels f it meets (in order of first
// row) and u_af, the sums over their rows of A's terms times B's term; per
// B-level its mass m_f, the sum of B's term squared. S p is then
// diag(m) p - sum_a U_a' P_a U_a p, a pass over the pairs instead of three
// over the rows.
struct PairSums {
  std::size_t k = 0;                 // A's terms
  std::vector<std::size_t> start;    // per A-level, into level and u
  std::vector<std::uint32_t> level;  // B-level of each pair
  std::vector<double> u;             // k per pair
  std::vector<double> mass;          // per B-level

  std::size_t bytes() const {
    return start.size() * sizeof(std::size_t) + level.size() * sizeof(std::uint32_t) +
           (u.size() + mass.size()) * sizeof(double);
  }
};

// The pairs of A's levels [first, last): their start offsets from 0, B-levels,
// sums, and B's masses over those levels' rows (where: a B-level's scratch
// slot, all unseen on entry and on return).
template <class Row>
void pair_part(const TermBlock& a, const TermBlock& b, const GroupRows<Row>& rows,
               std::size_t first, std::size_t last, PairSums& part,
               std::vector<std::uint32_t>& where) {
  constexpr std::uint32_t kUnseen = std::numeric_limits<std::uint32_t>::max();
  const std::size_t k = a.k;
  std::vector<double> t(k);
  // At most a pair a row: reserved once (on weakly mixed panels nearly so).
  const std::size_t n_rows = rows.start[last] - rows.start[first];
  part.start.reserve(last - first + 1);
  part.start.push_back(0);
  part.level.reserve(n_rows);
  part.u.reserve(checked_mul(n_rows, k));
  part.mass.assign(b.groups, 0.0);
  for (std::size_t l = first; l < last; ++l) {
    const std::size_t begin = part.level.size();
    for (std::size_t j = rows.start[l]; j < rows.start[l + 1]; ++j) {
      const std::size_t r = rows.row(j);
      const std::size_t f = b.level(r);
      if (where[f] == kUnseen) {
        where[f] = static_cast<std::uint32_t>(part.level.size() - begin);
        part.level.push_back(static_cast<std::uint32_t>(f));
        part.u.resize(part.u.size() + k, 0.0);
      }
      a.terms(r, t.data());
      double bv = 0.0;
      b.terms(r, &bv);
      double* uf = part.u.data() + (begin + where[f]) * k;
      for (std::size_t i = 0; i < k; ++i) uf[i] += t[i] * bv;
      part.mass[f] += bv * bv;
    }
    for (std::size_t j = begin; j < part.level.size(); ++j) where[part.level[j]] = kUnseen;
    part.start.push_back(part.level.size());
  }
}

// The pairs, built in chunks of A's levels fixed by the sizes (pool tasks;
// never by the threads, so that B's masses are summed in the same order on
// any number of threads) and joined in order.
template <class Row>
PairSums pair_sums(const TermBlock& a, const TermBlock& b, const GroupRows<Row>& rows) {
  const std::size_t n = rows.start.back();
  std::size_t chunks = std::clamp<std::size_t>(n / kRowsPerPairChunk, 1, kMaxPairChunks);
  // Each chunk's scratch: a slot and a mass per B-level.
  const std::size_t scratch = checked_mul(b.groups, sizeof(std::uint32_t) + sizeof(double));
  if (scratch > 0) chunks = std::min(chunks, std::max<std::size_t>(1, kPairScratchBytes / scratch));
  std::vector<std::size_t> bounds{0};
  for (std::size_t c = 1; c < chunks; ++c) {
    std::size_t l = bounds.back();
    while (l < a.groups && rows.start[l] < n / chunks * c) ++l;
    bounds.push_back(l);
  }
  bounds.push_back(a.groups);
  std::vector<PairSums> parts(chunks);
  auto task = [&](std::size_t c) {
    std::vector<std::uint32_t> where(b.groups, std::numeric_limits<std::uint32_t>::max());
    pair_part(a, b, rows, bounds[c], bounds[c + 1], parts[c], where);
  };
  if (chunks > 1 && thread_pool_runners() > 1) {
    thread_pool_run(chunks, task);
  } else {
    for (std::size_t c = 0; c < chunks; ++c) task(c);
  }
  if (chunks == 1) {
    parts.front().k = a.k;
    return std::move(parts.front());
  }
  PairSums ps;
  ps.k = a.k;
  std::size_t pairs = 0;
  for (const PairSums& part : parts) pairs += part.level.size();
  ps.start.reserve(a.groups + 1);
  ps.level.reserve(pairs);
  ps.u.reserve(checked_mul(pairs, a.k));
  ps.start.push_back(0);
  ps.mass.assign(b.groups, 0.0);
  for (const PairSums& part : parts) {
    const std::size_t offset = ps.level.size();
    for (std::size_t l = 1; l < part.start.size(); ++l) ps.start.push_back(offset + part.start[l]);
    ps.level.insert(ps.level.end(), part.level.begin(), part.level.end());
    ps.u.insert(ps.u.end(), part.u.begin(), part.u.end());
    for (std::size_t f = 0; f < b.groups; ++f) ps.mass[f] += part.mass[f];
  }
  return ps;
}

// S p for several columns at once, reading the pairs once for all of them:
// A's levels in chunks fixed by the sizes (never by the threads, so that the
// sums come in the same order on any number of threads), each chunk summing
// its levels' share into its own buffer, the chunks then taken from
// diag(m) p in chunk order.
struct PairChunks {
  std::vector<std::size_t> level_start;  // chunk c: A-levels [start[c], start[c + 1])
  std::vector<std::vector<double>> acc;  // per chunk: columns * B-levels
};

PairChunks pair_chunks(const PairSums& ps, std::size_t ncols, std::size_t memory_bytes) {
  PairChunks ch;
  const std::size_t m = ps.mass.size();
  const std::size_t pairs = ps.level.size();
  std::size_t chunks = std::clamp<std::size_t>(pairs / kPairsPerChunk, 1, kMaxPairChunks);
  const std::size_t per = checked_mul(checked_mul(ncols, m), sizeof(double));
  if (per > 0) chunks = std::min(chunks, std::max<std::size_t>(1, memory_bytes / per));
  const std::size_t levels = ps.start.size() - 1;
  ch.level_start.push_back(0);
  for (std::size_t c = 1; c < chunks; ++c) {
    // The first level at or past c/chunks of the pairs.
    const std::size_t target = pairs / chunks * c;
    std::size_t l = ch.level_start.back();
    while (l < levels && ps.start[l] < target) ++l;
    ch.level_start.push_back(l);
  }
  ch.level_start.push_back(levels);
  ch.acc.resize(chunks);
  for (std::vector<double>& v : ch.acc) v.assign(ncols * m, 0.0);
  return ch;
}

// q_i := S p_i for the columns p[i], q[i] (n_cols of them).
void pair_apply(const TermBlock& a, const PairSums& ps, PairChunks& ch,
                std::span<const double* const> p, std::span<double* const> q) {
  const std::size_t k = ps.k;
  const std::size_t m = ps.mass.size();
  const std::size_t nc = p.size();
  const std::size_t chunks = ch.acc.size();
  auto task = [&](std::size_t c) {
    double* acc = ch.acc[c].data();
    std::fill(acc, acc + nc * m, 0.0);
    std::vector<double> t(nc * k), h(nc * k);
    for (std::size_t l = ch.level_start[c]; l < ch.level_start[c + 1]; ++l) {
      std::fill(t.begin(), t.end(), 0.0);
      for (std::size_t j = ps.start[l]; j < ps.start[l + 1]; ++j) {
        const std::size_t f = ps.level[j];
        const double* u = ps.u.data() + j * k;
        for (std::size_t i = 0; i < nc; ++i) {
          const double pf = p[i][f];
          for (std::size_t e = 0; e < k; ++e) t[i * k + e] += u[e] * pf;
        }
      }
      const double* pinv = a.pinv.data() + l * k * k;
      for (std::size_t i = 0; i < nc; ++i) solve_level(pinv, t.data() + i * k, h.data() + i * k, k);
      for (std::size_t j = ps.start[l]; j < ps.start[l + 1]; ++j) {
        const std::size_t f = ps.level[j];
        const double* u = ps.u.data() + j * k;
        for (std::size_t i = 0; i < nc; ++i) acc[i * m + f] += dot(u, h.data() + i * k, k);
      }
    }
  };
  if (chunks > 1 && thread_pool_runners() > 1) {
    thread_pool_run(chunks, task);
  } else {
    for (std::size_t c = 0; c < chunks; ++c) task(c);
  }
  for (std::size_t i = 0; i < nc; ++i)
    for (std::size_t f = 0; f < m; ++f) {
      double v = ps.mass[f] * p[i][f];
      for (std::size_t c = 0; c < chunks; ++c) v -= ch.acc[c][i * m + f];
      q[i][f] = v;
    }
}

// S's entries from the pairs, or an empty graph when a level meets more
// than kGraphMaxDegree B-levels or the entries pass entry_limit.
SignedGraph signed_graph(const TermBlock& a, const PairSums& ps, std::size_t entry_limit) {
  SignedGraph g;
  const std::size_t k = ps.k;
  const std::size_t groups = ps.mass.size();
  constexpr std::uint32_t kUnseen = std::numeric_limits<std::uint32_t>::max();
  std::vector<double> h(k);
  // Entries of a B-level's list by neighbour, while a level's block is added.
  std::vector<std::uint32_t> slot(groups, kUnseen);
  g.adj.resize(groups);
  g.diag = ps.mass;
  for (std::size_t l = 0; l + 1 < ps.start.size(); ++l) {
    const std::size_t first = ps.start[l];
    const std::size_t d = ps.start[l + 1] - first;
    if (d > kGraphMaxDegree) return {};
    const double* p = a.pinv.data() + l * k * k;
    for (std::size_t x = 0; x < d; ++x) {
      const double* ux = ps.u.data() + (first + x) * k;
      solve_level(p, ux, h.data(), k);
      const std::uint32_t fx = ps.level[first + x];
      g.diag[fx] -= dot(h.data(), ux, k);
      auto& list = g.adj[fx];
      for (std::size_t e = 0; e < list.size(); ++e) slot[list[e].first] = static_cast<std::uint32_t>(e);
      for (std::size_t y = 0; y < d; ++y) {
        if (y == x) continue;
        const double v = -dot(h.data(), ps.u.data() + (first + y) * k, k);
        const std::uint32_t fy = ps.level[first + y];
        if (slot[fy] != kUnseen) {
          list[slot[fy]].second += v;
        } else {
          slot[fy] = static_cast<std::uint32_t>(list.size());
          list.emplace_back(fy, v);
          ++g.entries;
        }
      }
      for (const auto& e : list) slot[e.first] = kUnseen;
    }
    if (g.entries > entry_limit) return {};
  }
  return g;
}

// L D L' of a symmetric positive semidefinite matrix by elimination in
// minimum-degree order (ties: lowest vertex), every update exact. A pivot
// below kNullPivot of its row's original diagonal is a direction of the
// null space (the last level of each connected component): its value is 0
// in the solve, which then solves consistent systems.
struct SignedFactor {
  std::vector<std::uint32_t> order;
  std::vector<double> pivot;
  std::vector<std::size_t> col_start;
  std::vector<std::uint32_t> col_vertex;
  std::vector<double> col_value;  // the entry of L
};

constexpr double kNullPivot = 1e-9;

// False when the live entries pass entry_limit (the factor is then not
// worth its memory).
bool signed_factor(SignedGraph&& g, std::size_t entry_limit, SignedFactor& out) {
  const std::size_t nv = g.diag.size();
  const std::vector<double> original = g.diag;
  using Item = std::pair<std::size_t, std::uint32_t>;
  std::priority_queue<Item, std::vector<Item>, std::greater<Item>> queue;
  for (std::size_t v = 0; v < nv; ++v) queue.emplace(g.adj[v].size(), static_cast<std::uint32_t>(v));
  std::vector<char> done(nv, 0);
  constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
  std::vector<std::uint32_t> slot(nv, kNone);
  std::size_t live = g.entries;
  out.col_start.assign(1, 0);
  while (!queue.empty()) {
    const auto [degree, v] = queue.top();
    queue.pop();
    if (done[v] || degree != g.adj[v].size()) continue;  // a stale entry
    done[v] = 1;
    auto nb = std::move(g.adj[v]);
    g.adj[v] = {};
    live -= nb.size();
    const double d = g.diag[v];
    const bool null = !(d > kNullPivot * original[v]);
    out.order.push_back(v);
    out.pivot.push_back(null ? 0.0 : d);
    // v leaves its neighbours' lists.
    for (const auto& [u, a_uv] : nb) {
      auto& list = g.adj[u];
      for (std::size_t e = 0; e < list.size(); ++e) {
        if (list[e].first == v) {
          list[e] = list.back();
          list.pop_back();
          --live;
          break;
        }
      }
    }
    if (!null) {
      // The Schur complement: a_uw -= a_uv a_wv / d over v's neighbours.
      for (const auto& [u, a_uv] : nb) {
        const double f = a_uv / d;
        out.col_vertex.push_back(u);
        out.col_value.push_back(f);
        g.diag[u] -= f * a_uv;
        auto& list = g.adj[u];
        for (std::size_t e = 0; e < list.size(); ++e) slot[list[e].first] = static_cast<std::uint32_t>(e);
        for (const auto& [w, a_wv] : nb) {
          if (w == u) continue;
          const double delta = -f * a_wv;
          if (slot[w] != kNone) {
            list[slot[w]].second += delta;
          } else {
            slot[w] = static_cast<std::uint32_t>(list.size());
            list.emplace_back(w, delta);
            ++live;
          }
        }
        for (const auto& e : list) slot[e.first] = kNone;
      }
      for (const auto& [u, a_uv] : nb) queue.emplace(g.adj[u].size(), u);
    } else {
      for (const auto& [u, a_uv] : nb) queue.emplace(g.adj[u].size(), u);
    }
    out.col_start.push_back(out.col_vertex.size());
    if (live + out.col_vertex.size() > entry_limit) return false;
  }
  return true;
}

void signed_factor_solve(const SignedFactor& f, std::span<double> b) {
  const std::size_t steps = f.order.size();
  for (std::size_t s = 0; s < steps; ++s) {
    const double bv = b[f.order[s]];
    for (std::size_t e = f.col_start[s]; e < f.col_start[s + 1]; ++e)
      b[f.col_vertex[e]] -= f.col_value[e] * bv;
  }
  for (std::size_t s = 0; s < steps; ++s) {
    const std::uint32_t v = f.order[s];
    b[v] = f.pivot[s] > 0.0 ? b[v] / f.pivot[s] : 0.0;
  }
  for (std::size_t s = steps; s-- > 0;) {
    const std::uint32_t v = f.order[s];
    double x = b[v];
    for (std::size_t e = f.col_start[s]; e < f.col_start[s + 1]; ++e)
      x -= f.col_value[e] * b[f.col_vertex[e]];
    b[v] = x;
  }
}

struct GraphPreconditioner {
  bool exact = false;
  bool laplacian = false;
  SignedFactor signed_factor;
  LaplacianFactor laplacian_factor;

  bool any() const { return exact || laplacian; }
  // Iterations after which a column goes on without it: an exact factor
  // finishes in a few; a sampled or partial one may take a few hundred
  // where the level blocks would take thousands.
  std::uint64_t patience() const { return exact ? 10 : 300; }
  void apply(const std::vector<double>& g, std::vector<double>& z) const {
    std::copy(g.begin(), g.end(), z.begin());
    if (exact) {
      signed_factor_solve(signed_factor, z);
    } else {
      laplacian_factor_solve(laplacian_factor, z);
    }
  }
};

// z := M+ g: the graph's factor when there is one, else level by level.
void precondition(std::span<const TermBlock> blocks, const GraphPreconditioner* graph,
                  const std::vector<double>& g, std::vector<double>& z) {
  if (graph != nullptr) {
    graph->apply(g, z);
  } else {
    block_precondition(blocks, g, z);
  }
}

// The graph preconditioner of S from the pairs (the graph is worth its cost
// only when B has enough levels and A keeps its intercept, so that S is
// Laplacian-like).
void build_graph(GraphPreconditioner& pre, const TermBlock& a, const PairSums& ps,
                 std::size_t memory_bytes) {
  if (!a.intercept || ps.mass.size() < kGraphMinGroups) return;
  const std::size_t share = std::max(memory_bytes > ps.bytes() ? memory_bytes - ps.bytes() : 0,
                                     kMinGraphShare);
  const std::size_t entry_limit = share / kGraphEntryBytes;
  SignedGraph g = signed_graph(a, ps, entry_limit);
  if (g.adj.empty()) return;
  // The Laplacian of the negative entries, kept aside in case the exact
  // factor's fill passes the memory.
  LaplacianGraph laplacian(ps.mass.size());
  for (std::size_t v = 0; v < g.adj.size(); ++v)
    for (const auto& [u, value] : g.adj[v])
      if (u > v && value < 0.0) laplacian.add(static_cast<std::uint32_t>(v), u, -value);
  if (signed_factor(std::move(g), entry_limit, pre.signed_factor)) {
    pre.exact = true;
    return;
  }
  pre.signed_factor = {};
  LaplacianFactorOptions fo;
  fo.seed = kGraphSeed;
  fo.exact_entry_budget = entry_limit;
  pre.laplacian_factor = laplacian_factor(std::move(laplacian), fo);
  pre.laplacian = true;
}

// Rows grouped by level: the runs themselves when the rows come sorted by
// level (a panel by unit), else a counting sort.
template <class Row>
GroupRows<Row> rows_by_level(CodeSpan codes, std::size_t n, std::size_t groups) {
  for (std::size_t i = 1; i < n; ++i)
    if (codes[i] < codes[i - 1]) return group_rows<Row>(codes, n, groups);
  GroupRows<Row> out;
  out.start.assign(checked_add(groups, 1), 0);
  for (std::size_t i = 0; i < n; ++i) ++out.start[static_cast<std::size_t>(codes[i]) + 1];
  for (std::size_t g = 0; g < groups; ++g) out.start[g + 1] += out.start[g];
  return out;
}

// The pairs, when the other fixed effects are one with a single term (B
// levels numbered in 32 bits).
PairSums reduced_pairs(const TermBlock& a, std::span<const TermBlock> others, std::size_t n) {
  if (others.size() != 1 || others[0].k != 1 ||
      others[0].groups >= std::numeric_limits<std::uint32_t>::max())
    return {};
  if (n <= std::numeric_limits<std::uint32_t>::max())
    return pair_sums(a, others[0], rows_by_level<std::uint32_t>(a.codes, n, a.groups));
  return pair_sums(a, others[0], rows_by_level<std::uint64_t>(a.codes, n, a.groups));
}

// One column's conjugate gradient on the system left once the largest fixed
// effect is eliminated: S beta = D_B' M_A y, with S = D_B' M_A D_B, M_A the
// projection off the eliminated fixed effect A, D_B the other fixed effects'
// terms, preconditioned by their blocks (the inverses of D_B'D_B's level
// blocks). Its residual M_A (y - D_B beta) is the column's.
struct ColumnSolve {
  double* res = nullptr;  // the column in the data
  // q: M_A D_B p by rows, or S p by the pairs (then res is M_A y until
  // finish_column).
  std::vector<double> q, beta, g, z, p, sums, coef;
  std::vector<double> coef_y;  // y's coefficients on A's terms (kept when asked for)
  double yy = 0.0;
  double floor2 = 0.0;
  double rz = 0.0;
  double rr = 0.0;
  std::uint64_t iter = 0;
  bool done = false;
  bool converged = false;
  bool limit = false;
  bool plain = false;  // the graph given up for this column
};

struct Problem {
  const TermBlock* eliminated = nullptr;
  std::span<const TermBlock> others;
  std::size_t n = 0;
  std::size_t n_coef = 0;  // of the others
  double tol2 = 0.0;
  std::uint64_t max_iter = 0;
  const GraphPreconditioner* graph = nullptr;  // see build_graph
  const PairSums* pairs = nullptr;             // see PairSums
  bool coefficients = false;                   // whether the caller wants them
};

// The stopping test on the current state; true when the column is done.
// c.rr: the residual's sum of squares, up to date.
bool small(const Problem& pb, const ColumnSolve& c, double rz) {
  return rz <= pb.tol2 * std::fmax(c.rr, c.floor2) ||
         rz <= kRoundingFloor * kRoundingFloor * c.yy;
}

bool finished(const Problem& pb, ColumnSolve& c) {
  if (!std::isfinite(c.rz)) return c.done = true;
  if (small(pb, c, c.rz)) {
    // The graph's factor is blind to the directions it took for null ones;
    // the level blocks see every direction: a column is done when both say
    // so, so that a direction wrongly taken for null (a tiny pivot) leaves
    // the column unconverged instead of wrong.
    if (pb.graph != nullptr && !c.plain) {
      std::vector<double> z(c.g.size());
      block_precondition(pb.others, c.g, z);
      if (!small(pb, c, dot(c.g.data(), z.data(), c.g.size()))) {
        if (c.iter >= pb.max_iter) c.limit = true;
        return c.done = c.limit;
      }
    }
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
  const TermBlock& a = *pb.eliminated;
  c.q.resize(pb.pairs != nullptr ? pb.n_coef : n);
  c.sums.assign(a.groups * a.k, 0.0);
  c.coef.resize(c.sums.size());
  c.beta.assign(pb.n_coef, 0.0);
  c.g.assign(pb.n_coef, 0.0);
  c.z.resize(pb.n_coef);
  // Two passes: y'y with y's sums on A's levels; then M_A y, its sum of
  // squares and D_B' of it.
  double yy = 0.0;
  for (std::size_t r = 0; r < n; ++r) {
    yy += c.res[r] * c.res[r];
    a.add(r, c.res[r], c.sums.data() + a.level(r) * a.k);
  }
  c.yy = yy;
  c.floor2 = kScaleFloor * kScaleFloor * (scale != nullptr ? *scale : c.yy);
  level_coefficients(a, c.sums, c.coef);
  if (pb.coefficients) c.coef_y = c.coef;
  double rr = 0.0;
  for (std::size_t r = 0; r < n; ++r) {
    const double v = c.res[r] - a.fit(r, c.coef.data() + a.level(r) * a.k);
    c.res[r] = v;
    rr += v * v;
    for (const TermBlock& b : pb.others) b.add(r, v, c.g.data() + b.offset + b.level(r) * b.k);
  }
  if (pb.others.empty()) {  // one fixed effect: projected exactly
    c.converged = c.done = true;
    return;
  }
  precondition(pb.others, pb.graph, c.g, c.z);
  c.p = c.z;
  c.rz = dot(c.g.data(), c.z.data(), pb.n_coef);
  c.rr = rr;
  finished(pb, c);
}

// p'Sp, with q = S p by the pairs, or in two passes over the rows (q = D_B p
// with its sums on A's levels; q less its projection on A), q then being
// M_A D_B p for the residual's update.
double curvature(const Problem& pb, ColumnSolve& c) {
  const TermBlock& a = *pb.eliminated;
  if (pb.pairs != nullptr)  // q = S p, for all columns at once (pair_apply)
    return dot(c.p.data(), c.q.data(), pb.n_coef);
  const std::size_t n = pb.n;
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
  return pq;
}

// One iteration: by the pairs, the gradient and the residual's sum of
// squares follow in coefficient space (||M_A(y - D_B beta)||^2 changes by
// -2 alpha p'g + alpha^2 p'Sp); by rows, the residual is updated with its
// sum of squares and D_B' of it in a third pass.
void step_column(const Problem& pb, ColumnSolve& c) {
  const std::size_t n = pb.n;
  const double pq = curvature(pb, c);
  if (pb.graph != nullptr && !c.plain && !(pq * kGraphLongestStep > c.rz)) {
    // A step longer than any a factor of S takes (about 1 when exact): the
    // direction lies in what the factor wrongly sees of S's near null space
    // (weakly identified levels, rounding), and taking it would blow up
    // the coefficients. The level blocks go on from here, no step taken.
    c.plain = true;
    block_precondition(pb.others, c.g, c.z);
    c.p = c.z;
    c.rz = dot(c.g.data(), c.z.data(), pb.n_coef);
    ++c.iter;
    finished(pb, c);
    return;
  }
  if (!(pq > 0.0) || !std::isfinite(pq)) {  // breakdown
    c.done = true;
    return;
  }
  const double alpha = c.rz / pq;
  for (std::size_t i = 0; i < pb.n_coef; ++i) c.beta[i] += alpha * c.p[i];
  double rr = 0.0;
  if (pb.pairs != nullptr) {
    const double pg = dot(c.p.data(), c.g.data(), pb.n_coef);
    for (std::size_t i = 0; i < pb.n_coef; ++i) c.g[i] -= alpha * c.q[i];
    rr = std::fmax(c.rr - 2.0 * alpha * pg + alpha * alpha * pq, 0.0);
  } else {
    std::fill(c.g.begin(), c.g.end(), 0.0);
    for (std::size_t r = 0; r < n; ++r) {
      const double v = c.res[r] - alpha * c.q[r];
      c.res[r] = v;
      rr += v * v;
      for (const TermBlock& b : pb.others) b.add(r, v, c.g.data() + b.offset + b.level(r) * b.k);
    }
  }
  // A graph that has not finished the column within its patience is not
  // serving it (a null direction misjudged, a sampled factor far from S):
  // the level blocks go on from here, with a fresh direction.
  const bool give_up = pb.graph != nullptr && !c.plain && c.iter + 1 >= pb.graph->patience();
  if (give_up) c.plain = true;
  precondition(pb.others, c.plain ? nullptr : pb.graph, c.g, c.z);
  const double rz_next = dot(c.g.data(), c.z.data(), pb.n_coef);
  const double factor = give_up ? 0.0 : rz_next / c.rz;
  for (std::size_t i = 0; i < pb.n_coef; ++i) c.p[i] = c.z[i] + factor * c.p[i];
  c.rz = rz_next;
  c.rr = rr;
  ++c.iter;
  finished(pb, c);
}

// c.coef := the coefficients of D_B beta on A's terms, level by level: its
// sums on A's levels from the pairs when there are some, else from a pass
// over the rows.
void beta_coefficients(const Problem& pb, ColumnSolve& c) {
  const TermBlock& a = *pb.eliminated;
  if (pb.pairs != nullptr) {
    const PairSums& ps = *pb.pairs;
    for (std::size_t l = 0; l + 1 < ps.start.size(); ++l) {
      double* sl = c.sums.data() + l * a.k;
      std::fill(sl, sl + a.k, 0.0);
      for (std::size_t j = ps.start[l]; j < ps.start[l + 1]; ++j) {
        const double bf = c.beta[ps.level[j]];
        const double* u = ps.u.data() + j * a.k;
        for (std::size_t e = 0; e < a.k; ++e) sl[e] += u[e] * bf;
      }
    }
  } else {
    std::fill(c.sums.begin(), c.sums.end(), 0.0);
    for (std::size_t r = 0; r < pb.n; ++r) {
      double v = 0.0;
      for (const TermBlock& b : pb.others) v += b.fit(r, c.beta.data() + b.offset + b.level(r) * b.k);
      a.add(r, v, c.sums.data() + a.level(r) * a.k);
    }
  }
  level_coefficients(a, c.sums, c.coef);
}

// By the pairs, the column's residual at the end: M_A y - M_A D_B beta, in
// one pass over the rows.
void finish_column(const Problem& pb, ColumnSolve& c) {
  if (pb.pairs == nullptr || c.iter == 0) return;
  const std::size_t n = pb.n;
  const TermBlock& a = *pb.eliminated;
  const TermBlock& b = pb.others.front();
  beta_coefficients(pb, c);  // from the pairs: one pass over the rows in all
  for (std::size_t r = 0; r < n; ++r)
    c.res[r] -= b.fit(r, c.beta.data() + b.level(r)) - a.fit(r, c.coef.data() + a.level(r) * a.k);
}

// A column's coefficients, every fixed effect's in order (level by level,
// its terms within a level): the others' are beta; A's solve its level
// systems for y - D_B beta, y's share kept from the start and D_B beta's
// found again (beta_coefficients: no pass over the rows with the pairs).
std::vector<double> column_coefficients(const Problem& pb, ColumnSolve& c, std::size_t e) {
  std::vector<double> coef_a = c.coef_y;
  if (!pb.others.empty()) {
    beta_coefficients(pb, c);
    for (std::size_t i = 0; i < coef_a.size(); ++i) coef_a[i] -= c.coef[i];
  }
  std::vector<double> out;
  out.reserve(coef_a.size() + c.beta.size());
  std::size_t next = 0;  // the others' blocks, in order
  for (std::size_t q = 0; q <= pb.others.size(); ++q) {
    if (q == e) {
      out.insert(out.end(), coef_a.begin(), coef_a.end());
      continue;
    }
    const TermBlock& b = pb.others[next++];
    const auto first = c.beta.begin() + static_cast<std::ptrdiff_t>(b.offset);
    out.insert(out.end(), first, first + static_cast<std::ptrdiff_t>(b.groups * b.k));
  }
  return out;
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
  // Each fixed effect's terms on its own (pool tasks on large problems).
  std::vector<TermBlock> blocks(fe.size());
  auto build = [&](std::size_t q) {
    blocks[q] = term_block(fe.codes()[q], fe.n_groups()[q], terms[q], n, fe.roots());
  };
  if (blocks.size() > 1 && n >= kParallelRows && thread_pool_runners() > 1) {
    thread_pool_run(blocks.size(), build);
  } else {
    for (std::size_t q = 0; q < blocks.size(); ++q) build(q);
  }
  for (const TermBlock& b : blocks) out.level_ranks.push_back(b.rank);
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
  pb.coefficients = options.coefficients != nullptr;
  const PairSums pairs = reduced_pairs(eliminated, blocks, n);
  if (!pairs.start.empty()) pb.pairs = &pairs;
  GraphPreconditioner graph;
  // Memory for the graph: the pairs' size (at most a pair a row), and not less than
  // the data's, whatever the number of columns (one column must not get a weaker
  // preconditioner than three).
  if (pb.pairs != nullptr)
    build_graph(graph, eliminated, pairs,
                std::max(data.size() * sizeof(double), checked_mul(n, kGraphBytesPerRow)));
  if (graph.any()) pb.graph = &graph;
  // The chunks' buffers: within the data's size, as the graph.
  PairChunks chunks;
  if (pb.pairs != nullptr) chunks = pair_chunks(pairs, ncols, data.size() * sizeof(double));

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
    if (pb.pairs != nullptr) {
      std::vector<const double*> ps;
      std::vector<double*> qs;
      for (const std::size_t c : active) {
        ps.push_back(cols[c].p.data());
        qs.push_back(cols[c].q.data());
      }
      pair_apply(eliminated, pairs, chunks, ps, qs);
    }
    for_columns(cols, active, n, [&](ColumnSolve& c) { step_column(pb, c); });
    ++iter;
  }
  if (pb.pairs != nullptr) {
    active.resize(ncols);
    for (std::size_t c = 0; c < ncols; ++c) active[c] = c;
    for_columns(cols, active, n, [&](ColumnSolve& c) { finish_column(pb, c); });
  }
  if (options.coefficients != nullptr) {
    options.coefficients->assign(ncols, {});
    for (std::size_t j = 0; j < ncols; ++j)
      (*options.coefficients)[j] = column_coefficients(pb, cols[j], e);
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
